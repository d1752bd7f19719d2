#include "loader/api_loaders.h"

#include "loader/framework_directory.h"
#include "loader/library_call.h"

namespace Vexa {

template <class Library>
LoadError ApiLoader<Library>::Load(const std::filesystem::path& fileName) {
    LoadError result = DllProxy<Interface>::Load(FrameworkLibraryPath(fileName));
    if (result != Success) return result;
    // The revision export is called once, after binding; a missing one reads as 0.
    // What it throws leaves translated, with the library still bound: the loader's
    // owner releases it on the way out.
    const Proxy::RevisionExport revision = this->RevisionAddress();
    const std::uint32_t value = revision != nullptr ? CallLibrary(revision) : 0;
    return value >= minRevision && value <= maxRevision ? Success : IncompatibleVersion;
}

template class ApiLoader<ProviderCatalogApiLibrary>;
template class ApiLoader<ClientApiLibrary>;

}  // namespace Vexa
