// Tests on eight bytes of JSON text at once, for the reader and writer to skip runs of
// string bytes that need no attention. Each tells whether any byte of the word
// matches; which one is found byte by byte afterwards.
#pragma once

#include <cstdint>

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

}  // namespace Vexa::VexaPy::JsonTextBytes
