#include "shared/json_state_file.h"

#include <system_error>
#include <utility>

#include "interfaces/exception_family.h"
#include "shared/catalog_io.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Framework {

namespace {

// Deeper than any document this library writes (a catalog entry's members sit at level
// 3), and far below what writing a document out, which recurses once per level, can
// survive.
constexpr int kMaxDepth = 128;

}  // namespace

JsonStateFile::JsonStateFile(const fs::path& directory, const std::string& fileName,
                             const std::string& lockFileName, std::string kind)
    : directory(directory),
      file(directory / fileName),
      lockFile(directory / lockFileName),
      tempPrefix(directory / (fileName + ".tmp-")),
      kind(std::move(kind)) {}

void JsonStateFile::Damaged(const std::string& why) const {
    throw FrameworkException(kind + " " + file.string() + " is damaged (" + why +
                                 "); it is left as it is until repaired or removed",
                             kFrameworkFailure);
}

std::optional<json> JsonStateFile::Read() const {
    const std::optional<std::string> text =
        CatalogIo::ReadWhole(file, [this](const fs::path&, const std::string& why) { Damaged(why); });
    if (!text) return std::nullopt;
    try {
        // A hostile or damaged file nested too deep would crash whoever writes or
        // prints it; it is refused as damaged, like any other unusable document.
        return json::parse(*text, [this](int depth, json::parse_event_t, json&) {
            if (depth > kMaxDepth) Damaged("nested deeper than " + std::to_string(kMaxDepth) + " levels");
            return true;
        });
    } catch (const json::parse_error& error) {
        Damaged(std::string("not valid JSON: ") + error.what());
    }
}

void JsonStateFile::Update(const std::function<bool(std::optional<json>&)>& change) {
    CatalogIo::WriterLock lock(lockFile);
    RemoveLeftovers();
    std::optional<json> document = Read();
    if (change(document) && document) Write(*document);
}

void JsonStateFile::Write(const json& document) const {
    std::string text = document.dump(2) + "\n";
    // Refused before anything changes: once written, a file beyond the readers' limit
    // could be neither read nor repaired by the writers, who read it first.
    if (!CatalogIo::FitsCatalogLimit(text.size()))
        throw LimitExceededException(kind + " " + file.string() + " would take " + std::to_string(text.size()) +
                                         " bytes, more than the " + std::to_string(CatalogIo::kMaxCatalogBytes) +
                                         " its readers accept; it is left as it is",
                                     kLimitExceeded);
    CatalogIo::ReplaceDurably(tempPrefix, file, directory, text);
}

// Only the holder of the writers' lock has a temporary file, so any found while holding
// it is the leftover of a writer that was killed or failed. Removing a name never
// follows it, whatever was planted there.
void JsonStateFile::RemoveLeftovers() const {
    const std::string prefix = tempPrefix.filename().string();
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0) fs::remove(it->path(), error);
        error.clear();
    }
}

}  // namespace Vexa::Framework
