#include "shared/library_directory.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#else
#include <dlfcn.h>
#endif

#include "interfaces/exception_family.h"
#include "shared/framework_constants.h"

namespace Vexa::Framework {

namespace {
// Any address inside this library will do; each library links its own copy of this
// file, so the address always lies in the library that asks.
void Anchor() {}
}  // namespace

#ifdef _WIN32

std::filesystem::path LibraryDirectory() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&Anchor), &self))
        throw FrameworkException("Cannot determine the directory of the framework library",
                                 kFrameworkFailure);
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(self, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            throw FrameworkException("Cannot determine the directory of the framework library",
                                     kFrameworkFailure);
        if (length < name.size()) {
            name.resize(length);
            break;
        }
        name.resize(name.size() * 2);
    }
    return std::filesystem::path(name).lexically_normal().parent_path();
}

#else

std::filesystem::path LibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) == 0 || info.dli_fname == nullptr ||
        info.dli_fname[0] == '\0')
        throw FrameworkException("Cannot determine the directory of the framework library",
                                 kFrameworkFailure);
    return std::filesystem::absolute(info.dli_fname).lexically_normal().parent_path();
}

#endif

}  // namespace Vexa::Framework
