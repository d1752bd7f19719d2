// The caches of str objects the reader shares: member names, and short string values
// of large texts. Documents repeat the same few names many times, and large results
// repeat short values (states, units, currencies, tags, languages) as well; a str kept
// for the bytes it was made from is shared instead of built and hashed again. A str is
// immutable: sharing one changes no value a program sees.
//
// The slots are found by a hash of a string's length and first and last eight bytes
// (NameWords). They are left uninitialised and a slot counts only once its bit in
// filled is set, so that a cache costs nothing per slot to make and to destroy: on a
// text of a kilobyte, zeroing and releasing every slot was a good part of the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <Python.h>

#include "python/corvane/json_text/str_from_token.h"
#include "python/corvane/json_text/string_scanner.h"

namespace Vexa::VexaPy::DirectJson {

inline constexpr int kStrSlotBits = 8;

// A string's length and its first and last eight bytes: the whole of a string of up to
// 16 bytes, and enough of a longer one to pick its slot, which is cheaper than hashing
// every byte (strings that collide only cost a miss).
struct NameWords {
    std::size_t size;
    std::uint64_t head;
    std::uint64_t tail;  // 0 for a string of up to 8 bytes

    bool operator==(const NameWords& other) const {
        return size == other.size && head == other.head && tail == other.tail;
    }
    std::size_t Slot() const {
        const std::uint64_t mixed = (head ^ (tail * 0x9E3779B97F4A7C15u) ^ size) * 0xFF51AFD7ED558CCDu;
        return static_cast<std::size_t>(mixed >> (64 - kStrSlotBits));
    }

    // The words of the bytes of name, inside a text that ends at textEnd. The first
    // eight bytes are read whole where the text has them, and those beyond a shorter
    // name masked off (the first bytes are the low ones on a little-endian machine).
    static NameWords Of(std::string_view name, const char* textEnd) {
        NameWords words{name.size(), 0, 0};
        if (textEnd - name.data() >= 8) {
            std::memcpy(&words.head, name.data(), 8);
            if (words.size < 8) words.head &= (std::uint64_t{1} << (8 * words.size)) - 1;
        } else {
            std::memcpy(&words.head, name.data(), words.size);
        }
        if (words.size > 8) std::memcpy(&words.tail, name.data() + words.size - 8, 8);
        return words;
    }
};

// One cache of str objects by the bytes they were made from. Needs the interpreter
// lock; the bytes must outlive it (they are the text's).
class StrCache {
public:
    // No slot.
    static constexpr std::uint16_t kNone = std::uint16_t{1} << kStrSlotBits;
    static constexpr std::size_t kSlots = std::size_t{1} << kStrSlotBits;
    struct Entry {
        const char* bytes;  // into the text, words.size bytes
        NameWords words;
        PyObject* str;       // owned while the slot is filled
        std::uint16_t next;  // of a name: the slot of the name that followed it last, or kNone
    };

    StrCache() = default;
    StrCache(const StrCache&) = delete;
    StrCache& operator=(const StrCache&) = delete;
    ~StrCache() {
        for (std::size_t word = 0; word < kSlots / 64; ++word) {
            for (std::uint64_t bits = filled[word]; bits != 0; bits &= bits - 1) {
                Py_DECREF(entries[word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))].str);
            }
        }
    }

    // Null for kNone as for a slot not filled.
    const Entry* Find(std::size_t slot) const { return slot < kSlots && Filled(slot) ? &entries[slot] : nullptr; }
    // For a filled slot.
    std::size_t Next(std::size_t slot) const { return entries[slot].next; }
    void SetNext(std::size_t slot, std::size_t next) { entries[slot].next = static_cast<std::uint16_t>(next); }

    // The str of a token read without escapes in a text that ends at textEnd: the one
    // kept for the same bytes, else one made and kept; slot: where it is kept (left as
    // it is on failure). A new reference, or null with a Python error set. Inlined, as
    // it runs for every name not found at the place expected.
    __attribute__((always_inline)) PyObject* Share(const StringToken& token, const char* textEnd, std::size_t& slot) {
        const std::string_view bytes = token.Bytes();
        const NameWords words = NameWords::Of(bytes, textEnd);
        const std::size_t place = words.Slot();
        const Entry* entry = Find(place);
        PyObject* text = nullptr;
        if (entry != nullptr && entry->words == words &&
            (bytes.size() <= 16 || std::memcmp(entry->bytes, bytes.data(), bytes.size()) == 0)) {
            text = Py_NewRef(entry->str);
        } else {
            text = MakeStr(token);
            if (text == nullptr) return nullptr;
            Put(place, {bytes.data(), words, Py_NewRef(text), kNone});
        }
        slot = place;
        return text;
    }

    // Whether the string token at p (its opening quote), in a text that ends at
    // textEnd, has the bytes of the filled slot.
    bool IsAt(std::size_t slot, const char* p, const char* textEnd) const {
        const Entry& entry = entries[slot];
        const std::size_t size = entry.words.size;
        if (static_cast<std::size_t>(textEnd - p) < size + 2 || p[size + 1] != '"') return false;
        const std::string_view name(p + 1, size);
        return NameWords::Of(name, textEnd) == entry.words &&
               (size <= 16 || std::memcmp(entry.bytes, name.data(), size) == 0);
    }

private:
    bool Filled(std::size_t slot) const { return (filled[slot / 64] >> (slot % 64) & 1) != 0; }

    // Takes entry's reference, releasing the one the slot held.
    void Put(std::size_t slot, const Entry& entry) {
        if (Filled(slot)) Py_DECREF(entries[slot].str);
        entries[slot] = entry;
        filled[slot / 64] |= std::uint64_t{1} << (slot % 64);
    }

    Entry entries[kSlots];
    std::uint64_t filled[kSlots / 64] = {};
};

}  // namespace Vexa::VexaPy::DirectJson
