// The four exports every framework library provides, as the loader resolves them.
// For an interface named N (ProviderCatalogApi, ClientApi): N + "Create",
// N + "Destroy", N + "Revision", and the unprefixed "GetDllBuildType".
#pragma once

#include <cstdint>
#include <string>

namespace Vexa::Proxy {

// Creates the one interface object from the configuration text; null on failure,
// may throw a member of the exception family.
template <class T>
using CreateExport = T* (*)(std::string& configuration);
// Releases an object made by the create export of the same library; never throws.
template <class T>
using DestroyExport = void (*)(T* instance);
// The interface revision the library implements.
using RevisionExport = std::uint32_t (*)();
// Build-type word; bit 9 marks a build configuration the tools cannot use.
using BuildTypeExport = std::uint32_t (*)();

constexpr std::uint32_t kIncompatibleBuildBit = 0x200;

}  // namespace Vexa::Proxy

// Marks a library's export: C linkage, visible from the shared object.
#ifdef _WIN32
#define VEXA_LIBRARY_EXPORT extern "C" __declspec(dllexport)
#else
#define VEXA_LIBRARY_EXPORT extern "C" __attribute__((visibility("default")))
#endif
