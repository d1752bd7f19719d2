// The loaders of the two framework libraries: each finds its library in the
// framework's install directory, binds it through DllProxy and accepts only the
// interface revisions it was written for.
#pragma once

#include <cstdint>
#include <filesystem>

#include "common/dll_proxy.h"
#include "interfaces/client_api.h"
#include "interfaces/provider_catalog_api.h"

namespace Vexa {

class ProviderCatalogApiLoader : public DllProxy<Proxy::ProviderCatalogApi> {
public:
    using Interface = Proxy::ProviderCatalogApi;
    static constexpr const char* kFileName = "Orbisk.dll";

    ProviderCatalogApiLoader();
    // fileName is the bare library file name. Throws VexaException (code 1) when the
    // install directory is not found, and what the build-type or revision export
    // threw, translated; IncompatibleVersion and a throwing revision export leave the
    // library bound.
    LoadError Load(const std::filesystem::path& fileName) override;

private:
    std::uint32_t minRevision;
    std::uint32_t maxRevision;
};

class ClientApiLoader : public DllProxy<Proxy::ClientApi> {
public:
    using Interface = Proxy::ClientApi;
    static constexpr const char* kFileName = "Tessaly.dll";

    ClientApiLoader();
    // As ProviderCatalogApiLoader::Load.
    LoadError Load(const std::filesystem::path& fileName) override;

private:
    std::uint32_t minRevision;
    std::uint32_t maxRevision;
};

}  // namespace Vexa
