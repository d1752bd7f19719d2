#include "shared/library_directory.h"

#include <dlfcn.h>

#include "common/exceptions.h"
#include "shared/framework_constants.h"

namespace Vexa::Framework {

namespace {
// Any address inside this library will do; each library links its own copy of this
// file, so the address always lies in the library that asks.
void Anchor() {}
}  // namespace

std::filesystem::path LibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0')
        throw FrameworkException("Cannot determine the directory of the framework library",
                                 kFrameworkFailure);
    return std::filesystem::absolute(info.dli_fname).lexically_normal().parent_path();
}

}  // namespace Vexa::Framework
