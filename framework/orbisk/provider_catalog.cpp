#include "orbisk/provider_catalog.h"

#include <algorithm>
#include <system_error>

#include "interfaces/exception_family.h"
#include "shared/framework_constants.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Vexa::Framework {

namespace {

// The form in which a provider is listed: absolute and without "." or ".." steps, so
// that the same file named two ways keeps one entry. Symbolic links are kept as given.
fs::path CatalogPath(const fs::path& provider) {
    if (provider.empty()) throw InvalidArgumentException("Provider path is empty", kInvalidArgument);
    std::error_code error;
    fs::path absolute = fs::absolute(provider, error);
    if (error)
        throw InvalidArgumentException(
            "Cannot make provider path absolute: " + provider.u8string() + ": " + error.message(),
            kInvalidArgument);
    fs::path normal = absolute.lexically_normal();
    // The catalog is UTF-8 JSON; a path that is not UTF-8 could never be written out.
    // (On Windows u8string converts from the wide form; elsewhere it is the bytes as they are.)
    try {
        (void)json(normal.u8string()).dump();
    } catch (const json::type_error&) {
        throw InvalidArgumentException("Provider path is not valid UTF-8: " + normal.u8string(),
                                       kInvalidArgument);
    }
    return normal;
}

bool Lists(const std::vector<json>& entries, const fs::path& provider) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const json& entry) { return ProviderEntryPath(entry) == provider; });
}

}  // namespace

ProviderCatalog::ProviderCatalog(const fs::path& installDirectory) : catalog(installDirectory) {}

void ProviderCatalog::RegisterProvider(const fs::path& provider) {
    fs::path path = CatalogPath(provider);
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (!fs::exists(status))
        throw ProviderNotFoundException("Provider library not found: " + path.u8string(), kNotFound);
    if (!fs::is_regular_file(status))
        throw InvalidArgumentException("Provider is not a regular file: " + path.u8string(),
                                       kInvalidArgument);

    catalog.Update([&](std::vector<json>& entries) {
        if (Lists(entries, path)) return false;
        entries.push_back(MakeProviderEntry(path));
        return true;
    });
}

void ProviderCatalog::UnregisterProvider(const fs::path& provider) {
    fs::path path = CatalogPath(provider);
    catalog.Update([&](std::vector<json>& entries) {
        auto found = std::find_if(entries.begin(), entries.end(), [&](const json& entry) {
            return ProviderEntryPath(entry) == path;
        });
        if (found == entries.end())
            throw ProviderNotFoundException("Provider is not registered: " + path.u8string(),
                                            kNotFound);
        entries.erase(found);
        return true;
    });
}

std::vector<std::string> ProviderCatalog::QueryProviders() {
    std::vector<std::string> texts;
    for (const json& entry : catalog.Read()) texts.push_back(entry.dump());
    return texts;
}

}  // namespace Vexa::Framework
