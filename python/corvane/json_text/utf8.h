// UTF-8 in both directions: a sequence checked and decoded as nlohmann/json's parser
// accepts it (no overlong forms, no surrogates, nothing beyond U+10FFFF), with the
// width of str its code point needs; and a code point encoded. Pure C++.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace Vexa::VexaPy::DirectJson {

// The width of str that a code point needs: the interpreter keeps a str in the
// narrowest of these that holds all its characters.
enum class Width { Ascii, Latin1, Ucs2, Ucs4 };

// The length of the UTF-8 sequence that starts at p (a byte of 0x80 or above), with its
// code point in codepoint and width widened to hold it; 0 when it is not UTF-8 as
// nlohmann/json accepts it. The sequences are checked for shortest form first, so the
// lead byte decides the width. Inlined into the reading of non-ASCII text, where it
// runs once per character.
inline __attribute__((always_inline)) int Utf8Decode(const unsigned char* p, const unsigned char* stop,
                                                     Width& width, std::uint32_t& codepoint) {
    const auto continuation = [](unsigned char byte) { return (byte & 0xC0) == 0x80; };
    const unsigned char lead = *p;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (stop - p < 2 || !continuation(p[1])) return 0;
        width = std::max(width, lead <= 0xC3 ? Width::Latin1 : Width::Ucs2);
        codepoint = ((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (stop - p < 3 || !continuation(p[1]) || !continuation(p[2])) return 0;
        if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F)) return 0;
        width = std::max(width, Width::Ucs2);
        codepoint = ((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (stop - p < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) return 0;
        if ((lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F)) return 0;
        width = Width::Ucs4;
        codepoint = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        return 4;
    }
    return 0;
}

// Writes the UTF-8 of a code point that is not a surrogate at w; returns its end.
inline char* Utf8Encode(char* w, std::uint32_t codepoint) {
    if (codepoint < 0x80) {
        *w++ = static_cast<char>(codepoint);
    } else if (codepoint < 0x800) {
        *w++ = static_cast<char>(0xC0 | (codepoint >> 6));
        *w++ = static_cast<char>(0x80 | (codepoint & 0x3F));
    } else if (codepoint < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (codepoint >> 12));
        *w++ = static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (codepoint & 0x3F));
    } else {
        *w++ = static_cast<char>(0xF0 | (codepoint >> 18));
        *w++ = static_cast<char>(0x80 | ((codepoint >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (codepoint & 0x3F));
    }
    return w;
}

inline void AppendUtf8(std::string& out, std::uint32_t codepoint) {
    char bytes[4];
    out.append(bytes, static_cast<std::size_t>(Utf8Encode(bytes, codepoint) - bytes));
}

}  // namespace Vexa::VexaPy::DirectJson
