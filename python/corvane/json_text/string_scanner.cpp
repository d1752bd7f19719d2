#include "python/corvane/json_text/string_scanner.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "python/corvane/json_text/escapes.h"

namespace Vexa::VexaPy::DirectJson {

std::string DecodeToUtf8(const StringToken& token) {
    std::string out;
    out.reserve(static_cast<std::size_t>(token.end - token.begin));
    for (const char* p = token.begin; p != token.end;) {
        if (*p != '\\') {
            out.push_back(*p++);
            continue;
        }
        std::uint32_t codepoint = 0;
        p += DecodeEscape(p, codepoint);
        AppendUtf8(out, codepoint);
    }
    return out;
}

// The rest of a string token from p, the first byte that is not plain ASCII (an
// escape, a byte of another script, or a control character, which ends the reading):
// checks and decodes it into the decoded room, the plain ASCII before p included.
// Returns the closing quote, or null.
const char* StringScanner::DecodeRest(StringToken& token, const char* p, const char* const end) {
    const auto prefix = static_cast<std::size_t>(p - token.begin);
    if (!Room(0, prefix + kBlock)) return nullptr;
    char32_t* out = decoded.get();
    for (std::size_t i = 0; i < prefix; ++i) out[i] = static_cast<unsigned char>(token.begin[i]);
    out += prefix;
    Width width = Width::Ascii;
    bool escaped = false;
    while (true) {
        if (p == end) return nullptr;
        // Room for a block or one more character.
        if (decodedEnd - out < kBlock) {
            const auto used = static_cast<std::size_t>(out - decoded.get());
            if (!Room(used, kBlock)) return nullptr;
            out = decoded.get() + used;
        }
        const auto c = static_cast<unsigned char>(*p);
        if (IsPlain(c)) {
            if (end - p >= kBlock) {
                // The whole block is widened; only the plain bytes at its start count.
                const unsigned offset = FirstToAttend(p);
                for (int i = 0; i < kBlock; ++i) out[i] = static_cast<unsigned char>(p[i]);
                p += offset;
                out += offset;
            } else {
                *out++ = c;
                ++p;
            }
            continue;
        }
        if (c == '"') break;
        std::uint32_t codepoint = 0;
        if (c == '\\') {
            const int size = EscapeLength(p, end, width);
            if (size == 0) return nullptr;
            DecodeEscape(p, codepoint);
            escaped = true;
            *out++ = static_cast<char32_t>(codepoint);
            p += size;
            continue;
        }
        if (c < 0x80) return nullptr;  // a control character
        // Words in another script, with the single spaces or punctuation between them
        // taken here rather than by the block. Each character takes a byte at least, so
        // stopping at stop keeps within the room.
        const char* const stop = p + std::min(end - p, decodedEnd - out);
        do {
            const auto lead = static_cast<unsigned char>(*p);
            if (lead < 0x80) {
                if (!IsPlain(lead) || end - p < 2 || static_cast<unsigned char>(p[1]) < 0x80) break;
                *out++ = lead;
                ++p;
                continue;
            }
            const int size = Utf8Decode(reinterpret_cast<const unsigned char*>(p),
                                        reinterpret_cast<const unsigned char*>(end), width, codepoint);
            if (size == 0) return nullptr;
            *out++ = static_cast<char32_t>(codepoint);
            p += size;
        } while (p < stop);
    }
    token.length = static_cast<std::size_t>(out - decoded.get());
    token.width = width;
    token.escaped = escaped;
    token.decoded = decoded.get();
    return p;
}

// Room's growth, out of the way of the reading of characters.
bool StringScanner::Grow(std::size_t used, std::size_t more) {
    const auto capacity = static_cast<std::size_t>(decodedEnd - decoded.get());
    const std::size_t grown = std::max({used + more, 2 * capacity, std::size_t{256}});
    std::unique_ptr<char32_t[]> room(new (std::nothrow) char32_t[grown]);
    if (!room) return false;
    if (used != 0) std::memcpy(room.get(), decoded.get(), used * sizeof(char32_t));
    decoded = std::move(room);
    decodedEnd = decoded.get() + grown;
    return true;
}

}  // namespace Vexa::VexaPy::DirectJson
