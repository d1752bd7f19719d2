// Orbisk's provider catalog: the implementation of Vexa::Proxy::ProviderCatalogApi
// over the catalog file of the library's install directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "interfaces/provider_catalog_api_interface.h"
#include "shared/provider_catalog_file.h"

namespace Vexa::Framework {

class ProviderCatalog final : public Proxy::ProviderCatalogApi {
public:
    explicit ProviderCatalog(const std::filesystem::path& installDirectory);
    ~ProviderCatalog() override = default;

    // Adds an existing regular file, by its absolute path, at the end of the catalog;
    // a path already listed keeps its one entry and its place.
    void RegisterProvider(const std::filesystem::path& provider) override;
    // Removes the entry of that path; a path not listed is an error.
    void UnregisterProvider(const std::filesystem::path& provider) override;
    // One compact JSON object per entry, in registration order.
    std::vector<std::string> QueryProviders() override;

private:
    ProviderCatalogFile catalog;
};

}  // namespace Vexa::Framework
