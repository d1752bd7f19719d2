// The process heap over the C heap.
#include <cstdlib>

#include <vexa_platform/windows.h>

#include "last_error.h"

namespace {
// The one heap there is; its address is the handle.
int processHeap;
}  // namespace

HANDLE GetProcessHeap() { return &processHeap; }

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    if (hHeap != GetProcessHeap()) return nullptr;
    // A zero-byte block is still a distinct block, as on Windows.
    SIZE_T size = dwBytes == 0 ? 1 : dwBytes;
    return (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, size) : std::malloc(size);
}

BOOL HeapFree(HANDLE hHeap, DWORD /*dwFlags*/, LPVOID lpMem) {
    if (hHeap != GetProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(lpMem);
    return TRUE;
}
