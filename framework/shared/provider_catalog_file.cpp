#include "shared/provider_catalog_file.h"

#include <optional>
#include <string>

#include "common/exceptions.h"
#include "shared/catalog_io.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Framework {

namespace {

constexpr int kFormat = 1;

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
      tempFile(directory / (std::string(kFileName) + ".tmp")) {}

std::vector<json> ProviderCatalogFile::Read() const {
    const std::optional<std::string> text =
        CatalogIo::ReadWhole(file, [](const fs::path& damaged) { ThrowCorrupt(damaged, "not a regular file"); });
    if (!text) return {};

    json document;
    try {
        document = json::parse(*text);
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
    std::vector<json> entries = Read();
    if (change(entries)) Write(entries);
}

void ProviderCatalogFile::Write(const std::vector<json>& entries) const {
    std::string text = json{{"format", kFormat}, {"providers", entries}}.dump(2) + "\n";
    CatalogIo::ReplaceDurably(tempFile, file, directory, text);
}

json MakeProviderEntry(const fs::path& provider) {
    return json{{"path", provider.string()}, {"name", provider.stem().string()}};
}

fs::path ProviderEntryPath(const json& entry) { return entry.at("path").get<std::string>(); }

}  // namespace Vexa::Framework
