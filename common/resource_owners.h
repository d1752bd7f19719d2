// Owner types for the platform's handles: registry keys, modules, files and blocks of
// the process heap. Beside win32.h because they belong to the platform's types, not to
// one component: the loader holds them, and so may anything else that calls Win32.
#pragma once

#include "common/win32.h"
#include "interfaces/unique_resource.h"

namespace Vexa {

inline void FreeProcessHeapBlock(LPVOID block) { HeapFree(GetProcessHeap(), 0, block); }

// Failed opens give INVALID_HANDLE_VALUE, not a null handle.
struct InvalidHandleIsEmpty {
    static HANDLE Value() { return INVALID_HANDLE_VALUE; }
};

using HeapBlock = UniqueResource<LPVOID, FreeProcessHeapBlock>;
using UniqueKey = UniqueResource<HKEY, RegCloseKey>;
using UniqueModule = UniqueResource<HMODULE, FreeLibrary>;
using UniqueFile = UniqueResource<HANDLE, CloseHandle, InvalidHandleIsEmpty>;

// A zero-filled block of the process heap; empty when the heap has no room.
inline HeapBlock AllocateZeroed(SIZE_T size) { return HeapBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size)); }

}  // namespace Vexa
