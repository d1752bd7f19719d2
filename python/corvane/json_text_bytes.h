// Byte-level helpers the JSON text reader and writer share: tests on eight bytes of
// text at once, to skip runs of string bytes that need no attention (each tells
// whether any byte of the word matches; which one is found byte by byte afterwards),
// and the order of member names.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Vexa::VexaPy::JsonTextBytes {

inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHigh = kOnes * 0x80;

// Whether any byte is below n (n at most 0x80).
constexpr bool AnyBelow(std::uint64_t word, std::uint64_t n) { return ((word - kOnes * n) & ~word & kHigh) != 0; }

// Whether any byte equals byte.
constexpr bool AnyEqual(std::uint64_t word, unsigned char byte) { return AnyBelow(word ^ (kOnes * byte), 1); }

// Whether any byte must be escaped in a JSON string: '"', '\\' or a control character.
constexpr bool AnyToEscape(std::uint64_t word) {
    return AnyEqual(word, '"') || AnyEqual(word, '\\') || AnyBelow(word, 0x20);
}

// Whether any byte is not ASCII.
constexpr bool AnyNonAscii(std::uint64_t word) { return (word & kHigh) != 0; }

// Whether name a comes before name b by their bytes, as the JSON library orders
// members. Names are short and mostly differ early: a loop costs less than a call to
// memcmp.
inline bool Before(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

}  // namespace Vexa::VexaPy::JsonTextBytes
