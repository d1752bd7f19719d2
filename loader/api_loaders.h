// The loaders of the two framework libraries: each finds its library in the
// framework's install directory, binds it through DllProxy and accepts only the
// interface revisions it was written for.
#pragma once

#include <cstdint>
#include <filesystem>

#include "loader/dll_proxy.h"
#include "interfaces/client_api_interface.h"
#include "interfaces/provider_catalog_api_interface.h"

namespace Vexa {

// Library: the interface, its export prefix (kName) and the library's file name.
template <class Library>
class ApiLoader : public DllProxy<typename Library::Interface> {
public:
    using Interface = typename Library::Interface;
    static constexpr const char* kFileName = Library::kFileName;

    ApiLoader() : DllProxy<Interface>(Library::kName), minRevision(3), maxRevision(3) {}
    // fileName is the bare library file name. Throws VexaException (code 1) when the
    // install directory is not found, and what the build-type or revision export
    // threw, translated; IncompatibleVersion and a throwing revision export leave the
    // library bound.
    LoadError Load(const std::filesystem::path& fileName);

private:
    std::uint32_t minRevision;
    std::uint32_t maxRevision;
};

struct ProviderCatalogApiLibrary {
    using Interface = Proxy::ProviderCatalogApi;
    static constexpr const char* kName = "ProviderCatalogApi";
    static constexpr const char* kFileName = "Orbisk.dll";
};

struct ClientApiLibrary {
    using Interface = Proxy::ClientApi;
    static constexpr const char* kName = "ClientApi";
    static constexpr const char* kFileName = "Tessaly.dll";
};

extern template class ApiLoader<ProviderCatalogApiLibrary>;
extern template class ApiLoader<ClientApiLibrary>;
using ProviderCatalogApiLoader = ApiLoader<ProviderCatalogApiLibrary>;
using ClientApiLoader = ApiLoader<ClientApiLibrary>;

}  // namespace Vexa
