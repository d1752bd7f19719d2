// The text the writer writes into: room made beforehand, written through a cursor.
// Pure C++.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "interfaces/unique_resource.h"

namespace Vexa::VexaPy::DirectJson {

inline void FreeText(char* text) { std::free(text); }

// The text being written. Writes go through a cursor into room made beforehand, so that
// a token costs one capacity check and plain stores, not a library call per piece;
// the room grows geometrically with realloc, which leaves the new part as it is
// (std::string's resize would zero-fill it first) and can move a large block without
// copying it. The finished text is copied once into the std::string handed on.
class TextBuffer {
public:
    TextBuffer() { Grow(kInitial); }

    // A cursor at which at least n more bytes may be written; Commit then ends the
    // text where the cursor has got to. Any earlier cursor is invalid afterwards.
    char* Room(std::size_t n) {
        if (static_cast<std::size_t>(limit - cursor) < n) Grow(n);
        return cursor;
    }
    void Commit(char* end) { cursor = end; }

    void Put(char c) { *Room(1) = c; ++cursor; }
    void Put(const char* bytes, std::size_t n) {
        char* const w = Room(n);
        std::memcpy(w, bytes, n);
        cursor = w + n;
    }
    template <std::size_t N>
    void PutLiteral(const char (&literal)[N]) { Put(literal, N - 1); }

    std::size_t Size() const { return static_cast<std::size_t>(cursor - storage.get()); }
    // Drops what was written after the first size bytes.
    void Truncate(std::size_t size) { cursor = storage.get() + size; }

    std::string Text() const { return std::string(storage.get(), Size()); }

private:
    // Most parameters are small: the first block holds them whole.
    static constexpr std::size_t kInitial = 4096;

    void Grow(std::size_t n) {
        const std::size_t size = Size();
        const std::size_t capacity = static_cast<std::size_t>(limit - storage.get());
        std::size_t wanted = capacity > 0 ? capacity * 2 : n;
        if (wanted - size < n) wanted = size + n;
        char* const grown = static_cast<char*>(std::realloc(storage.get(), wanted));
        if (grown == nullptr) throw std::bad_alloc();
        static_cast<void>(storage.release());
        storage.reset(grown);
        cursor = grown + size;
        limit = grown + wanted;
    }

    UniqueResource<char*, FreeText> storage;
    char* cursor = nullptr;
    char* limit = nullptr;
};

}  // namespace Vexa::VexaPy::DirectJson
