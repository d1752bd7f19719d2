// The string tokens of a JSON text: each scanned once, its UTF-8 and escapes checked
// and, unless it is plain ASCII as it stands, its code points decoded in the same pass,
// with what its str will need (length and width). Pure C++: the str itself is made by
// the reader (str_from_token.h).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "python/corvane/json_text/bytes.h"
#include "python/corvane/json_text/utf8.h"

namespace Vexa::VexaPy::DirectJson {

// A string token as the scan found it: its bytes between the quotes, still escaped
// where escaped is set, with what its str needs: the number of code points, the
// narrowest width that holds them all and, unless the bytes are plain ASCII as they
// stand, the code points themselves (they stay valid until the scanner scans the next
// string).
struct StringToken {
    const char* begin = nullptr;
    const char* end = nullptr;
    std::size_t length = 0;
    Width width = Width::Ascii;
    bool escaped = false;
    const char32_t* decoded = nullptr;

    std::string_view Bytes() const { return {begin, static_cast<std::size_t>(end - begin)}; }
};

// The UTF-8 bytes of a token read with escapes, for ordering member names by them.
std::string DecodeToUtf8(const StringToken& token);

// Scans string tokens, keeping the room into which their code points are decoded.
class StringScanner {
public:
    // Scans the string token whose opening quote is at quote, in a text that ends at
    // end: plain ASCII a block of 16 bytes at a time, and a string that is more than
    // that decoded from its first other byte on. Returns the position after the closing
    // quote, or null when the token is not a string nlohmann/json accepts.
    const char* Scan(const char* quote, const char* end, StringToken& token) {
        const char* p = quote + 1;
        token.begin = p;
        while (true) {
            if (end - p >= kBlock) {
                const unsigned offset = FirstToAttend(p);
                p += offset;
                if (offset == kBlock) continue;
            } else {
                while (p != end && IsPlain(static_cast<unsigned char>(*p))) ++p;
                if (p == end) return nullptr;
            }
            break;
        }
        if (*p != '"') {
            p = DecodeRest(token, p, end);
            if (p == nullptr) return nullptr;
        } else {
            token.length = static_cast<std::size_t>(p - token.begin);
            token.width = Width::Ascii;
            token.escaped = false;
            token.decoded = nullptr;
        }
        token.end = p;
        return p + 1;
    }

private:
    static constexpr int kBlock = 16;  // the bytes FirstToAttend looks at

    const char* DecodeRest(StringToken& token, const char* p, const char* end);

    // Makes the decoded room hold more code points after the first used ones, which it
    // keeps; false when it cannot grow.
    bool Room(std::size_t used, std::size_t more) {
        return used + more <= static_cast<std::size_t>(decodedEnd - decoded.get()) || Grow(used, more);
    }
    bool Grow(std::size_t used, std::size_t more);

    // The room for the code points of the last string decoded (StringToken::decoded),
    // and the end of that room.
    std::unique_ptr<char32_t[]> decoded;
    char32_t* decodedEnd = nullptr;
};

}  // namespace Vexa::VexaPy::DirectJson
