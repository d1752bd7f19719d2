// The export contract of Orbisk.dll: create, destroy and revision of the provider
// catalog interface, and the build-type word.
#include <string>

#include "interfaces/export_contract.h"
#include "orbisk/provider_catalog.h"
#include "shared/framework_constants.h"
#include "shared/library_directory.h"

using Vexa::Framework::ProviderCatalog;
using Vexa::Proxy::ProviderCatalogApi;

// The configuration text is not used: the catalog always lives next to the library.
VEXA_LIBRARY_EXPORT ProviderCatalogApi* ProviderCatalogApiCreate(std::string& /*configuration*/) {
    return new ProviderCatalog(Vexa::Framework::LibraryDirectory());
}

VEXA_LIBRARY_EXPORT void ProviderCatalogApiDestroy(ProviderCatalogApi* instance) {
    delete static_cast<ProviderCatalog*>(instance);
}

VEXA_LIBRARY_EXPORT std::uint32_t ProviderCatalogApiRevision() {
    return Vexa::Framework::kInterfaceRevision;
}

VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() { return Vexa::Framework::kBuildType; }
