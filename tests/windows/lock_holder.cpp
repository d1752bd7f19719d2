// Plays another process under Wine that opened the catalog's lock file for reading
// alone and took the writers' lock through that handle: prints "held" (or "denied N"
// when the file cannot be opened, N the error) and keeps the lock until its standard
// input ends.
//
//   lock-holder.exe LOCK_FILE
#include <cstdio>

#include "common/resource_owners.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lock-holder LOCK_FILE\n");
        return 2;
    }
    const Vexa::UniqueFile file(CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        std::printf("denied %lu\n", GetLastError());
        std::fflush(stdout);
        return 0;
    }
    OVERLAPPED region = {};
    if (!LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &region)) {
        std::printf("not locked %lu\n", GetLastError());
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got != 0) {
    }
    // Closing the handle releases the lock.
    return 0;
}
