// The export contract of a framework library, honoured or broken on purpose. Each test
// library compiles this file with definitions that choose its shape:
//   VEXA_TEST_PROVIDER_CATALOG        implement ProviderCatalogApi (else ClientApi)
//   VEXA_TEST_UNPREFIXED              export Create/Destroy/Revision without the prefix
//   VEXA_TEST_OMIT_CREATE             no create export
//   VEXA_TEST_OMIT_BUILD_TYPE         no GetDllBuildType
//   VEXA_TEST_BUILD_TYPE=<word>       the build-type word (default 0x1)
//   VEXA_TEST_REVISION=<n>            the interface revision (default 3)
//   VEXA_TEST_CREATE_RETURNS_NULL     the create export returns no object
//   VEXA_TEST_PRIVATE_RUNTIME         linked with a private copy of the C++ runtime
//   VEXA_TEST_GNU_UNIQUE              count and record creations in a static local of an
//                                     inline function (built without -fno-gnu-unique, which
//                                     pins the library)
// At run time, environment variables make an export throw what they describe (see
// throw_described.h): VEXA_TEST_CREATE_THROW, VEXA_TEST_DESTROY_THROW (after the
// object is deleted), VEXA_TEST_REVISION_THROW and VEXA_TEST_BUILD_TYPE_THROW.
// Loading and unloading are recorded too, so a test sees whether any code of the
// library ran and whether the library really left the process.
#include <cstdint>
#include <string>

#include "interfaces/export_contract.h"
#include "record.h"
#include "recording_apis.h"
#include "throw_described.h"

#ifndef VEXA_TEST_BUILD_TYPE
#define VEXA_TEST_BUILD_TYPE 0x1
#endif
#ifndef VEXA_TEST_REVISION
#define VEXA_TEST_REVISION 3
#endif

#ifdef VEXA_TEST_PROVIDER_CATALOG
using Api = Vexa::Proxy::ProviderCatalogApi;
#define VEXA_TEST_PREFIXED(suffix) ProviderCatalogApi##suffix
[[maybe_unused]] static Api* NewApi() { return NewRecordingProviderCatalogApi(); }
static void DeleteApi(Api* api) { DeleteRecordingProviderCatalogApi(api); }
#else
using Api = Vexa::Proxy::ClientApi;
#define VEXA_TEST_PREFIXED(suffix) ClientApi##suffix
[[maybe_unused]] static Api* NewApi() { return NewRecordingClientApi(); }
static void DeleteApi(Api* api) { DeleteRecordingClientApi(api); }
#endif

#ifdef VEXA_TEST_UNPREFIXED
#define VEXA_TEST_EXPORT_NAME(suffix) suffix
#else
#define VEXA_TEST_EXPORT_NAME(suffix) VEXA_TEST_PREFIXED(suffix)
#endif

#ifdef VEXA_TEST_PRIVATE_RUNTIME
// The private C++ runtime's own (hidden) copy: frees its emergency exception pool,
// which GCC 12's runtime allocates when it is loaded and never frees, so that the
// sanitizer build sees no leak each time the library leaves the process.
namespace __gnu_cxx {
void __freeres();
}
#endif

__attribute__((constructor)) static void RecordLoad() { Record("load"); }
__attribute__((destructor)) static void RecordUnload() {
    Record("unload");
#ifdef VEXA_TEST_PRIVATE_RUNTIME
    __gnu_cxx::__freeres();
#endif
}

// Bytes that a test may alter in a copy of the signed file: the library would still
// load, so only the signature check can keep it out.
VEXA_LIBRARY_EXPORT __attribute__((used)) const char vexaTestTamperTarget[] = "VEXA-TAMPER-TARGET";

#ifdef VEXA_TEST_GNU_UNIQUE
// GCC gives the static local of an exported inline function an STB_GNU_UNIQUE symbol,
// and the dynamic loader never unloads a library that defines one.
__attribute__((visibility("default"))) inline int& Creations() {
    static int creations = 0;
    return creations;
}
#endif

#ifndef VEXA_TEST_OMIT_CREATE
VEXA_LIBRARY_EXPORT Api* VEXA_TEST_EXPORT_NAME(Create)(std::string& configuration) {
    Record("create(" + configuration + ")");
#ifdef VEXA_TEST_GNU_UNIQUE
    Record("creation " + std::to_string(++Creations()));
#endif
    ThrowIfEnvironmentAsks("VEXA_TEST_CREATE_THROW");
#ifdef VEXA_TEST_CREATE_RETURNS_NULL
    return nullptr;
#else
    return NewApi();
#endif
}
#endif

VEXA_LIBRARY_EXPORT void VEXA_TEST_EXPORT_NAME(Destroy)(Api* api) {
    Record("destroy");
    DeleteApi(api);
    ThrowIfEnvironmentAsks("VEXA_TEST_DESTROY_THROW");
}

VEXA_LIBRARY_EXPORT std::uint32_t VEXA_TEST_EXPORT_NAME(Revision)() {
    Record("revision");
    ThrowIfEnvironmentAsks("VEXA_TEST_REVISION_THROW");
    return VEXA_TEST_REVISION;
}

#ifndef VEXA_TEST_OMIT_BUILD_TYPE
VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() {
    Record("build type");
    ThrowIfEnvironmentAsks("VEXA_TEST_BUILD_TYPE_THROW");
    return VEXA_TEST_BUILD_TYPE;
}
#endif
