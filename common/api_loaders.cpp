#include "common/api_loaders.h"

#include "common/framework_directory.h"
#include "common/library_call.h"

namespace Vexa {

namespace {

// The revision export is called once, after binding; a missing one reads as 0. What
// it throws leaves translated, with the library still bound: the loader's owner
// releases it on the way out.
bool RevisionAccepted(Proxy::RevisionExport revision, std::uint32_t minRevision, std::uint32_t maxRevision) {
    const std::uint32_t value = revision != nullptr ? CallLibrary(revision) : 0;
    return value >= minRevision && value <= maxRevision;
}

}  // namespace

ProviderCatalogApiLoader::ProviderCatalogApiLoader()
    : DllProxy("ProviderCatalogApi"), minRevision(3), maxRevision(3) {}

LoadError ProviderCatalogApiLoader::Load(const std::filesystem::path& fileName) {
    LoadError result = DllProxy::Load(FrameworkLibraryPath(fileName));
    if (result == Success && !RevisionAccepted(revision, minRevision, maxRevision)) result = IncompatibleVersion;
    return result;
}

ClientApiLoader::ClientApiLoader() : DllProxy("ClientApi"), minRevision(3), maxRevision(3) {}

LoadError ClientApiLoader::Load(const std::filesystem::path& fileName) {
    LoadError result = DllProxy::Load(FrameworkLibraryPath(fileName));
    if (result == Success && !RevisionAccepted(revision, minRevision, maxRevision)) result = IncompatibleVersion;
    return result;
}

}  // namespace Vexa
