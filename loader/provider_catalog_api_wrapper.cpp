#include "loader/provider_catalog_api_wrapper.h"

#include "loader/api_loaders.h"
#include "loader/interface_binding.h"

namespace Vexa {

class ProviderCatalogApi::Impl : public InterfaceBinding<ProviderCatalogApiLoader> {
public:
    using InterfaceBinding::InterfaceBinding;
};

// The catalog library is created with an empty configuration.
ProviderCatalogApi::ProviderCatalogApi() : impl(std::make_unique<Impl>(std::string())) {}

ProviderCatalogApi::~ProviderCatalogApi() = default;

void ProviderCatalogApi::RegisterProvider(const std::filesystem::path& provider) {
    impl->Forward([&](Proxy::ProviderCatalogApi& api) { api.RegisterProvider(provider); });
}

void ProviderCatalogApi::UnregisterProvider(const std::filesystem::path& provider) {
    impl->Forward([&](Proxy::ProviderCatalogApi& api) { api.UnregisterProvider(provider); });
}

std::vector<std::string> ProviderCatalogApi::QueryProviders() {
    return impl->Forward([](Proxy::ProviderCatalogApi& api) { return api.QueryProviders(); });
}

}  // namespace Vexa
