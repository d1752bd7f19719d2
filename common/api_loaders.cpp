#include "common/api_loaders.h"

#include "common/framework_directory.h"

namespace Vexa {

namespace {

// The revision export is called once, after binding; a missing one reads as 0.
bool RevisionAccepted(Proxy::RevisionExport revision, std::uint32_t minRevision, std::uint32_t maxRevision) {
    const std::uint32_t value = revision != nullptr ? revision() : 0;
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
