// The escapes of JSON strings in both directions: those the reader checks and decodes
// (as nlohmann/json's parser accepts them: a surrogate must be the high half of a pair
// written as two escapes) and those the writer writes ('"', '\\' and control
// characters only, as nlohmann/json's dump does). Pure C++.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "python/corvane/json_text/utf8.h"

namespace Vexa::VexaPy::DirectJson {

inline int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The value of four hexadecimal digits, or -1.
inline std::int32_t Hex4(const char* p) {
    std::int32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = HexDigit(p[i]);
        if (digit < 0) return -1;
        value = (value << 4) | digit;
    }
    return value;
}

// The length of the escape at p (its backslash) in a text that ends at end, with width
// widened to hold its code point; 0 when it is not one nlohmann/json accepts.
inline int EscapeLength(const char* p, const char* end, Width& width) {
    if (end - p < 2) return 0;
    switch (p[1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': return 2;
        case 'u': break;
        default: return 0;
    }
    if (end - p < 6) return 0;
    const std::int32_t unit = Hex4(p + 2);
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return 0;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        if (end - p < 12 || p[6] != '\\' || p[7] != 'u') return 0;
        const std::int32_t low = Hex4(p + 8);
        if (low < 0xDC00 || low > 0xDFFF) return 0;
        width = Width::Ucs4;
        return 12;
    }
    width = std::max(width, unit < 0x80 ? Width::Ascii : unit < 0x100 ? Width::Latin1 : Width::Ucs2);
    return 6;
}

// The code point of an escape that EscapeLength accepted, at p (its backslash);
// returns the bytes it takes.
inline int DecodeEscape(const char* p, std::uint32_t& codepoint) {
    switch (p[1]) {
        case 'b': codepoint = '\b'; return 2;
        case 'f': codepoint = '\f'; return 2;
        case 'n': codepoint = '\n'; return 2;
        case 'r': codepoint = '\r'; return 2;
        case 't': codepoint = '\t'; return 2;
        case 'u': break;
        default: codepoint = static_cast<unsigned char>(p[1]); return 2;  // '"', '\\', '/'
    }
    codepoint = static_cast<std::uint32_t>(Hex4(p + 2));
    if (codepoint < 0xD800 || codepoint > 0xDBFF) return 6;
    codepoint = 0x10000 + ((codepoint - 0xD800) << 10) + (static_cast<std::uint32_t>(Hex4(p + 8)) - 0xDC00);
    return 12;
}

// The bytes that need an escape in a JSON string: '"', '\\' and control characters.
constexpr std::array<bool, 256> EscapeTable() {
    std::array<bool, 256> needs{};
    for (std::size_t byte = 0; byte < 0x20; ++byte) needs[byte] = true;
    needs['"'] = true;
    needs['\\'] = true;
    return needs;
}
inline constexpr std::array<bool, 256> kEscapes = EscapeTable();

// Whether a byte needs an escape: one table lookup, which costs less than three
// comparisons in the byte loops.
inline bool NeedsEscape(unsigned char byte) { return kEscapes[byte]; }

// Writes the escape of an ASCII byte that needs one at w (six bytes at most); returns
// its end.
inline char* WriteEscape(char* w, unsigned char byte) {
    static constexpr char kHex[] = "0123456789abcdef";
    *w++ = '\\';
    switch (byte) {
        case '"': *w++ = '"'; break;
        case '\\': *w++ = '\\'; break;
        case '\b': *w++ = 'b'; break;
        case '\t': *w++ = 't'; break;
        case '\n': *w++ = 'n'; break;
        case '\f': *w++ = 'f'; break;
        case '\r': *w++ = 'r'; break;
        default:
            *w++ = 'u';
            *w++ = '0';
            *w++ = '0';
            *w++ = kHex[byte >> 4];
            *w++ = kHex[byte & 0xF];
    }
    return w;
}

}  // namespace Vexa::VexaPy::DirectJson
