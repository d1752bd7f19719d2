#include "shared/provider_catalog_file.h"

#include <optional>
#include <string>

#include "interfaces/exception_family.h"
#include "shared/catalog_io.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Framework {

namespace {

constexpr int kFormat = 1;

// Deeper than any catalog this library writes (an entry's members sit at level 3), and
// far below what writing a document out, which recurses once per level, can survive.
constexpr int kMaxDepth = 128;

[[noreturn]] void ThrowCorrupt(const fs::path& file, const std::string& why) {
    throw FrameworkException("Provider catalog " + file.string() + " is damaged (" + why +
                                 "); it is left as it is until repaired or removed",
                             kFrameworkFailure);
}

}  // namespace

ProviderCatalogFile::ProviderCatalogFile(const fs::path& directory)
    : directory(directory),
      file(directory / kFileName),
      lockFile(directory / kLockFileName),
      tempPrefix(directory / (std::string(kFileName) + ".tmp-")) {}

std::vector<json> ProviderCatalogFile::Read() const {
    const std::optional<std::string> text = CatalogIo::ReadWhole(file, ThrowCorrupt);
    if (!text) return {};

    json document;
    try {
        // A hostile or damaged file nested too deep would crash whoever writes or
        // prints it; it is refused as damaged, like any other unusable catalog.
        document = json::parse(*text, [this](int depth, json::parse_event_t, json&) {
            if (depth > kMaxDepth) ThrowCorrupt(file, "nested deeper than " + std::to_string(kMaxDepth) + " levels");
            return true;
        });
    } catch (const json::parse_error& error) {
        ThrowCorrupt(file, std::string("not valid JSON: ") + error.what());
    }
    if (!document.is_object() || document.value("format", json()) != kFormat)
        ThrowCorrupt(file, "not a format " + std::to_string(kFormat) + " catalog");
    auto providers = document.find("providers");
    if (providers == document.end() || !providers->is_array())
        ThrowCorrupt(file, "no providers list");

    std::vector<json> entries;
    for (json& entry : *providers) {
        auto path = entry.find("path");
        auto name = entry.find("name");
        if (!entry.is_object() || path == entry.end() || !path->is_string() ||
            name == entry.end() || !name->is_string())
            ThrowCorrupt(file, "entry " + std::to_string(entries.size()) +
                                   " lacks a path or a name");
        entries.push_back(std::move(entry));
    }
    return entries;
}

void ProviderCatalogFile::Update(const std::function<bool(std::vector<json>&)>& change) {
    CatalogIo::WriterLock lock(lockFile);
    RemoveLeftovers();
    std::vector<json> entries = Read();
    if (change(entries)) Write(entries);
}

void ProviderCatalogFile::Write(const std::vector<json>& entries) const {
    std::string text = json{{"format", kFormat}, {"providers", entries}}.dump(2) + "\n";
    // Refused before anything changes: once written, a catalog beyond the readers' limit
    // could be neither listed nor repaired by the writers, who read it first.
    if (!CatalogIo::FitsCatalogLimit(text.size()))
        throw LimitExceededException("Provider catalog " + file.string() + " would take " +
                                         std::to_string(text.size()) + " bytes, more than the " +
                                         std::to_string(CatalogIo::kMaxCatalogBytes) +
                                         " its readers accept; it is left as it is",
                                     kLimitExceeded);
    CatalogIo::ReplaceDurably(tempPrefix, file, directory, text);
}

// Only the holder of the writers' lock has a temporary file, so any found while holding
// it is the leftover of a writer that was killed or failed. Removing a name never
// follows it, whatever was planted there.
void ProviderCatalogFile::RemoveLeftovers() const {
    const std::string prefix = tempPrefix.filename().string();
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) fs::remove(it->path(), error);
        error.clear();
    }
}

json MakeProviderEntry(const fs::path& provider) {
    // UTF-8 on every platform: on Windows string() would give the C library's narrow
    // form, which is neither UTF-8 nor able to hold every character of a path.
    return json{{"path", provider.u8string()}, {"name", provider.stem().u8string()}};
}

fs::path ProviderEntryPath(const json& entry) { return fs::u8path(entry.at("path").get<std::string>()); }

}  // namespace Vexa::Framework
