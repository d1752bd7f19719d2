// Library loading over the dynamic loader.
//
// A library is never mapped from its path: the path may name another file by the
// time the dynamic loader opens it. It is mapped from a sealed snapshot of the file
// (file_snapshot.h): the one that an open read handle of this process holds for the
// path, which is what WinVerifyTrust verified through that handle, or else one taken
// for this load. As on Windows, loading the same full path again returns the same
// module, counted, until the last FreeLibrary, and for as long after it as the module
// stays in the process (a library that pins itself, or one with an STB_GNU_UNIQUE
// symbol, which GCC gives a static local of an inline function by default).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <utility>

#include <vexa_platform/windows.h>

#include "file_snapshot.h"
#include "last_error.h"

using namespace VexaPlatform;

namespace {

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

class ModuleTable {
public:
    static ModuleTable& Instance() {
        static ModuleTable* table = new ModuleTable;  // outlives every static destructor
        return *table;
    }

    ModuleTable() {
        // A child forked while another thread loads or frees a library would inherit the
        // lock held by a thread it does not have, and its first load would wait for ever:
        // a fork waits until the table is free, and the child starts with a lock of its
        // own (the forking thread, which holds it, is not the same thread there).
        pthread_atfork([] { Instance().mutex.lock(); }, [] { Instance().mutex.unlock(); },
                       [] { new (&Instance().mutex) std::recursive_mutex(); });
    }

    HMODULE Load(const std::string& fullPath) {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        auto loaded = byPath.find(fullPath);
        if (loaded != byPath.end()) {
            ++loaded->second.loads;
            return static_cast<HMODULE>(loaded->second.handle);
        }
        std::shared_ptr<const Snapshot> snapshot = HeldSnapshot(fullPath);
        DWORD error = ERROR_SUCCESS;
        if (!snapshot) snapshot = Snapshot::Take(fullPath, error);
        if (!snapshot) {
            SetLastError(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_MOD_NOT_FOUND : error);
            return nullptr;
        }
        Module module = Map(snapshot, fullPath);
        if (module.handle == nullptr) {
            SetLastError(ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
        HMODULE handle = static_cast<HMODULE>(module.handle);
        byPath.emplace(fullPath, std::move(module));
        return handle;
    }

    // False when the handle is not one of the modules this table loaded; such a handle
    // is never handed to the dynamic loader.
    bool Free(HMODULE handle) {
        std::lock_guard<std::recursive_mutex> lock(mutex);
        for (auto entry = byPath.begin(); entry != byPath.end(); ++entry) {
            Module& module = entry->second;
            if (module.handle != handle) continue;
            // A resident module has no loads left to release: it stays, as a pinned
            // module does on Windows.
            if (module.loads == 0 || --module.loads > 0) return true;
            dlclose(module.handle);
            // The dynamic loader knows the module by the identity of the snapshot it
            // was mapped from, so a module that stayed would come back for every later
            // mapping of that snapshot under any name: it stays in the table, and the
            // next load of its path returns it, as Windows returns a module still loaded.
            if (!StaysResident(module)) byPath.erase(entry);  // only now may its descriptor's number be reused
            return true;
        }
        return false;
    }

private:
    struct Module {
        void* handle = nullptr;
        UniqueFd descriptor;  // the snapshot as the dynamic loader opened it
        std::shared_ptr<const Snapshot> snapshot;
        std::unique_ptr<char, decltype(&std::free)> loaderName{nullptr, &std::free};
        std::size_t loads = 1;
    };

    // Whether the module is still mapped after its last dlclose. If it is, the dynamic
    // loader's reference taken by the probe is the table's: the next dlclose, after the
    // module is loaded and freed again, balances it.
    static bool StaysResident(const Module& module) {
        const std::string name = DescriptorName(module.descriptor.get());
        void* resident = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (resident == module.handle) return true;
        if (resident != nullptr) dlclose(resident);
        return false;
    }

    static std::string DescriptorName(int descriptor) { return "/proc/self/fd/" + std::to_string(descriptor); }

    // Maps the snapshot through /proc/self/fd and names the module by the path it
    // stands for, as dladdr and the module itself then see it.
    static Module Map(const std::shared_ptr<const Snapshot>& snapshot, const std::string& fullPath) {
        Module module;
        module.snapshot = snapshot;
        int lowest = 0;
        // The dynamic loader finds a module by the name it was opened with first; a
        // module still resident under this descriptor's name (one that pinned itself)
        // would be returned instead, so such a name is skipped.
        for (int attempt = 0; attempt < 16; ++attempt) {
            UniqueFd descriptor(::fcntl(snapshot->Descriptor(), F_DUPFD_CLOEXEC, lowest));
            if (!descriptor) return module;
            const std::string name = DescriptorName(descriptor.get());
            if (void* resident = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
                dlclose(resident);
                lowest = descriptor.get() + 1;
                continue;
            }
            module.handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
            module.descriptor = std::move(descriptor);
            break;
        }
        link_map* map = nullptr;
        if (module.handle != nullptr && dlinfo(module.handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
            // The dynamic loader owns the name it gave the module and frees the one the
            // module has when it unloads it, so the new name is its own allocation and
            // the old one is kept until then.
            if (char* name = ::strdup(fullPath.c_str())) module.loaderName.reset(std::exchange(map->l_name, name));
        }
        return module;
    }

    std::recursive_mutex mutex;  // a library's constructor may load another
    std::map<std::string, Module> byPath;
};

}  // namespace

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
    if (lpLibFileName == nullptr || *lpLibFileName == '\0' || hFile != nullptr || (dwFlags & ~kKnownLoadFlags)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A bare name is searched for in the default directories on Windows, never in the
    // current one; the stand-in has no such directories, so it finds nothing.
    const std::optional<std::string> full =
        std::strchr(lpLibFileName, '/') != nullptr ? FullPath(lpLibFileName) : std::nullopt;
    if (!full) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return ModuleTable::Instance().Load(*full);
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
    if (hLibModule == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (ModuleTable::Instance().Free(hLibModule)) return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
