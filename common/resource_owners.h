// Owner types for the platform resources that the loader acquires. Each releases its
// resource in exactly one place, its destructor, so an early return cannot leak.
#pragma once

#include <cstddef>
#include <utility>

#include "common/win32.h"

namespace Vexa {

// A zero-filled block of the process heap.
class HeapBlock {
public:
    explicit HeapBlock(SIZE_T size) : block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size)) {}
    ~HeapBlock() {
        if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
    }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;

    explicit operator bool() const { return block != nullptr; }
    char* Chars() const { return static_cast<char*>(block); }

private:
    LPVOID block;
};

// An open registry key.
class UniqueKey {
public:
    UniqueKey() = default;
    ~UniqueKey() {
        if (key != nullptr) RegCloseKey(key);
    }
    UniqueKey(const UniqueKey&) = delete;
    UniqueKey& operator=(const UniqueKey&) = delete;

    HKEY Get() const { return key; }
    // For functions that hand out a key through an out parameter; only on an empty owner.
    PHKEY Receive() { return &key; }

private:
    HKEY key = nullptr;
};

// A loaded library; FreeLibrary on release.
class UniqueModule {
public:
    UniqueModule() = default;
    explicit UniqueModule(HMODULE module) : module(module) {}
    ~UniqueModule() { Reset(); }
    UniqueModule(const UniqueModule&) = delete;
    UniqueModule& operator=(const UniqueModule&) = delete;
    UniqueModule(UniqueModule&& other) noexcept : module(std::exchange(other.module, nullptr)) {}
    UniqueModule& operator=(UniqueModule&& other) noexcept {
        if (this != &other) {
            Reset();
            module = std::exchange(other.module, nullptr);
        }
        return *this;
    }

    HMODULE Get() const { return module; }
    explicit operator bool() const { return module != nullptr; }
    void Reset() {
        if (module != nullptr) FreeLibrary(std::exchange(module, nullptr));
    }

private:
    HMODULE module = nullptr;
};

// An open file; CloseHandle on release. A failed open (INVALID_HANDLE_VALUE) is held
// as no file.
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(HANDLE file) : file(file == INVALID_HANDLE_VALUE ? nullptr : file) {}
    ~UniqueFile() { Reset(); }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& other) noexcept : file(std::exchange(other.file, nullptr)) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) {
            Reset();
            file = std::exchange(other.file, nullptr);
        }
        return *this;
    }

    HANDLE Get() const { return file; }
    explicit operator bool() const { return file != nullptr; }
    void Reset() {
        if (file != nullptr) CloseHandle(std::exchange(file, nullptr));
    }

private:
    HANDLE file = nullptr;
};

}  // namespace Vexa
