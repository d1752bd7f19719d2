#include "shared/provider_catalog_file.h"

#include <optional>
#include <string>
#include <utility>

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Framework {

namespace {

constexpr int kFormat = 1;

}  // namespace

ProviderCatalogFile::ProviderCatalogFile(const fs::path& directory)
    : store(directory, kFileName, kLockFileName, "Provider catalog") {}

std::vector<json> ProviderCatalogFile::Read() const { return Entries(store.Read()); }

std::vector<json> ProviderCatalogFile::Entries(std::optional<json> document) const {
    if (!document) return {};
    if (!document->is_object() || document->value("format", json()) != kFormat)
        store.Damaged("not a format " + std::to_string(kFormat) + " catalog");
    auto providers = document->find("providers");
    if (providers == document->end() || !providers->is_array()) store.Damaged("no providers list");

    std::vector<json> entries;
    for (json& entry : *providers) {
        auto path = entry.find("path");
        auto name = entry.find("name");
        if (!entry.is_object() || path == entry.end() || !path->is_string() ||
            name == entry.end() || !name->is_string())
            store.Damaged("entry " + std::to_string(entries.size()) + " lacks a path or a name");
        entries.push_back(std::move(entry));
    }
    return entries;
}

void ProviderCatalogFile::Update(const std::function<bool(std::vector<json>&)>& change) {
    store.Update([&](std::optional<json>& document) {
        std::vector<json> entries = Entries(std::move(document));
        if (!change(entries)) return false;
        document = json{{"format", kFormat}, {"providers", std::move(entries)}};
        return true;
    });
}

json MakeProviderEntry(const fs::path& provider) {
    // UTF-8 on every platform: on Windows string() would give the C library's narrow
    // form, which is neither UTF-8 nor able to hold every character of a path.
    return json{{"path", provider.u8string()}, {"name", provider.stem().u8string()}};
}

fs::path ProviderEntryPath(const json& entry) { return fs::u8path(entry.at("path").get<std::string>()); }

}  // namespace Vexa::Framework
