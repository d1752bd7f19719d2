// Strings into the text as nlohmann/json's dump writes them: UTF-8, with '"', '\\' and
// control characters escaped and nothing else; and bytes as base64 text, as the
// reference route writes them. Pure C++.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "python/corvane/json_text/bytes.h"
#include "python/corvane/json_text/escapes.h"
#include "python/corvane/json_text/text_buffer.h"
#include "python/corvane/json_text/utf8.h"

namespace Vexa::VexaPy::DirectJson {

// The rest of a string from its first byte that needs an escape.
inline void WriteEscapedRest(TextBuffer& out, const char* p, const char* const stop) {
    const char* run = p;
    for (; p != stop; ++p) {
        // Runs that need no escape a word at a time.
        std::uint64_t word = 0;
        while (stop - p >= 8 && (std::memcpy(&word, p, 8), !AnyToEscape(word))) p += 8;
        if (p == stop) break;
        const auto byte = static_cast<unsigned char>(*p);
        if (!NeedsEscape(byte)) continue;
        out.Put(run, static_cast<std::size_t>(p - run));
        run = p + 1;
        out.Commit(WriteEscape(out.Room(6), byte));
    }
    out.Put(run, static_cast<std::size_t>(stop - run));
}

// UTF-8 text as a JSON string. Most text needs no escape: it is copied as it is
// checked, into room made once, a word at a time and then the last bytes one by one.
inline __attribute__((always_inline)) void WriteString(TextBuffer& out, std::string_view utf8) {
    const char* p = utf8.data();
    const char* const stop = p + utf8.size();
    char* w = out.Room(utf8.size() + 2);
    *w++ = '"';
    for (std::uint64_t word = 0; stop - p >= 8; p += 8, w += 8) {
        std::memcpy(&word, p, 8);
        if (AnyToEscape(word)) break;
        std::memcpy(w, &word, 8);
    }
    for (; p != stop && !NeedsEscape(static_cast<unsigned char>(*p)); ++p) *w++ = *p;
    out.Commit(w);
    if (p != stop) WriteEscapedRest(out, p, stop);
    out.Put('"');
}

// Code points as a JSON string in UTF-8; false, having written nothing, at a
// surrogate, which has no UTF-8 form. Encoded a block at a time, so that the room made
// for the worst case (six bytes a code point, a control character's \u00XX) stays small
// beside the text, however long the text.
template <typename Char>
bool WriteCodePoints(TextBuffer& out, const Char* text, std::size_t length) {
    constexpr std::size_t kBlock = 4096;
    const std::size_t start = out.Size();
    out.Put('"');
    for (std::size_t first = 0; first < length; first += kBlock) {
        const std::size_t last = std::min(length, first + kBlock);
        char* w = out.Room(6 * (last - first));
        for (std::size_t i = first; i < last; ++i) {
            const std::uint32_t c = text[i];
            if (c < 0x80) {
                if (!NeedsEscape(static_cast<unsigned char>(c))) {
                    *w++ = static_cast<char>(c);
                } else {
                    w = WriteEscape(w, static_cast<unsigned char>(c));
                }
                continue;
            }
            if (c >= 0xD800 && c <= 0xDFFF) {
                out.Truncate(start);
                return false;
            }
            w = Utf8Encode(w, c);
        }
        out.Commit(w);
    }
    out.Put('"');
    return true;
}

// Bytes as their base64 text in a JSON string.
inline void WriteBase64(TextBuffer& out, const unsigned char* data, std::size_t size) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // Four characters for every three bytes or part of three, and the quotes.
    char* w = out.Room((size + 2) / 3 * 4 + 2);
    *w++ = '"';
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t group = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) *w++ = kAlphabet[(group >> shift) & 0x3F];
    }
    if (const std::size_t rest = size - i; rest > 0) {
        const std::uint32_t group = (data[i] << 16) | (rest == 2 ? data[i + 1] << 8 : 0);
        *w++ = kAlphabet[(group >> 18) & 0x3F];
        *w++ = kAlphabet[(group >> 12) & 0x3F];
        *w++ = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
        *w++ = '=';
    }
    *w++ = '"';
    out.Commit(w);
}

}  // namespace Vexa::VexaPy::DirectJson
