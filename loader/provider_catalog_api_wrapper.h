// Vexa::ProviderCatalogApi: opens the framework's provider catalog (finds the install
// directory, verifies and loads Orbisk.dll, creates the interface object) on
// construction and closes it on destruction. Every operation forwards to the
// interface object inside the exception boundary.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Vexa {

class ProviderCatalogApi {
public:
    // Throws VexaException (code 1) when the framework is not found, FrameworkException
    // (code 100) when Orbisk.dll cannot be bound or creates no instance, or what the
    // create export threw, translated.
    ProviderCatalogApi();
    ~ProviderCatalogApi();

    ProviderCatalogApi(const ProviderCatalogApi&) = delete;
    ProviderCatalogApi& operator=(const ProviderCatalogApi&) = delete;

    void RegisterProvider(const std::filesystem::path& provider);
    void UnregisterProvider(const std::filesystem::path& provider);
    std::vector<std::string> QueryProviders();

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Vexa
