// Library loading over the dynamic loader, and the thread's last error.
#include <cstdint>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <vexa_platform/windows.h>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

constexpr DWORD kKnownLoadFlags = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;

// Windows looks a name up in the module's own export table only; dlsym also
// searches the libraries the module depends on. The link map of the object that
// defines the symbol tells them apart.
bool DefinedByModule(void* module, void* symbol) {
    link_map* moduleMap = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &moduleMap) != 0) return false;
    Dl_info info{};
    link_map* symbolMap = nullptr;
    if (dladdr1(symbol, &info, reinterpret_cast<void**>(&symbolMap), RTLD_DL_LINKMAP) == 0) return false;
    return symbolMap == moduleMap;
}

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (lpLibFileName == nullptr || *lpLibFileName == '\0' || hFile != nullptr || (dwFlags & ~kKnownLoadFlags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* module = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        struct stat info {};
        bool exists = ::stat(lpLibFileName, &info) == 0 && S_ISREG(info.st_mode);
        SetLastError(exists ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(module);
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (hModule == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Values below 64K are export ordinals on Windows; shared objects have none.
    if (reinterpret_cast<std::uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    dlerror();
    void* symbol = dlsym(hModule, lpProcName);
    if (symbol == nullptr || !DefinedByModule(hModule, symbol)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    if (hLibModule == nullptr || dlclose(hLibModule) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
