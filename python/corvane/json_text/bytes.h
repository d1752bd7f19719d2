// Classes of the bytes of a JSON text, for the reader and the writer: whitespace,
// digits, the bytes a string scan must stop at and those a string must escape, tests
// on eight bytes at once to skip runs that need no attention, and the order of member
// names by their bytes. Pure C++: nothing here needs the interpreter.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Words of text are read as little-endian (the first byte is the low one); every
// Windows and Linux target of this module is little-endian, and a compiler that can
// tell otherwise stops.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the JSON text code reads eight bytes of text as one little-endian word"
#endif

namespace Vexa::VexaPy::DirectJson {

constexpr bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether a byte inside a string is taken as it is: printable ASCII other than the
// quote and the backslash.
constexpr bool IsPlain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// Tests on a word of eight bytes. Each marks (sets the high bit of) the bytes it finds;
// a test may also mark bytes above one that it rightly marks (a borrow runs upwards),
// never one below, so the lowest mark is exact and "any" is exact.
inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHigh = kOnes * 0x80;

// The bytes below n (n at most 0x80).
constexpr std::uint64_t BelowMarks(std::uint64_t word, std::uint64_t n) { return (word - kOnes * n) & ~word & kHigh; }
// The bytes equal to byte.
constexpr std::uint64_t EqualMarks(std::uint64_t word, unsigned char byte) { return BelowMarks(word ^ (kOnes * byte), 1); }
// The bytes that are not ASCII.
constexpr std::uint64_t NonAsciiMarks(std::uint64_t word) { return word & kHigh; }
// The bytes a JSON string must escape: '"', '\\' and control characters.
constexpr std::uint64_t ToEscapeMarks(std::uint64_t word) {
    return EqualMarks(word, '"') | EqualMarks(word, '\\') | BelowMarks(word, 0x20);
}

constexpr bool AnyToEscape(std::uint64_t word) { return ToEscapeMarks(word) != 0; }

// Whether the eight bytes of a word are all digits.
constexpr bool AllDigits(std::uint64_t word) {
    return (word & 0xF0F0F0F0F0F0F0F0u) == 0x3030303030303030u &&
           ((word + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) == 0x3030303030303030u;
}

// The offset of the first of the 16 bytes from p that a string scan must stop at (a
// quote, a backslash, a control character or a byte of a multi-byte sequence), or 16
// when all of them are plain.
inline unsigned FirstToAttend(const char* p) {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    // A signed comparison: below 0x20 are the control characters and, as negative
    // numbers, every byte from 0x80 on.
    const __m128i low = _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20));
    const auto marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), low)));
    return marks == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(marks));
#else
    for (unsigned half = 0; half < 16; half += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + half, 8);
        const std::uint64_t marks = ToEscapeMarks(word) | NonAsciiMarks(word);
        if (marks != 0) return half + static_cast<unsigned>(__builtin_ctzll(marks)) / 8;
    }
    return 16;
#endif
}

// Whether name a comes before name b by their bytes, as nlohmann/json orders an
// object's members (code point order is the order of the UTF-8 bytes). Names are short
// and mostly differ early: a loop costs less than a call to memcmp.
inline bool NameBefore(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

}  // namespace Vexa::VexaPy::DirectJson
