// The provider catalog interface that Orbisk.dll implements, as vexareg calls it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vexa::Proxy {

class ProviderCatalogApi {
protected:
    // Slot 0. Protected: an instance is released only through the destroy export of
    // the library that made it, never deleted by a caller.
    virtual ~ProviderCatalogApi() = default;

public:
    // Slots 1 and 2: report success by returning, failure by throwing a member of the
    // exception family.
    virtual void RegisterProvider(const std::filesystem::path& provider) = 0;
    virtual void UnregisterProvider(const std::filesystem::path& provider) = 0;
    // Slot 3: the catalog entries in print order, each one complete JSON text (UTF-8).
    virtual std::vector<std::string> QueryProviders() = 0;
};

}  // namespace Vexa::Proxy
