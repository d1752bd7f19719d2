#include "guid_text.h"

#include <cstdio>

namespace VexaPlatform {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at text[pos]; false if any is not a hex digit.
bool ReadHex(std::string_view text, std::size_t pos, std::size_t digits, std::uint64_t& value) {
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int d = HexDigit(text[pos + i]);
        if (d < 0) return false;
        value = (value << 4) | static_cast<std::uint64_t>(d);
    }
    return true;
}

}  // namespace

std::optional<GUID> ParseGuid(std::string_view text) {
    // {4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-')
        return std::nullopt;
    GUID guid{};
    std::uint64_t v = 0;
    if (!ReadHex(text, 1, 8, v)) return std::nullopt;
    guid.Data1 = static_cast<std::uint32_t>(v);
    if (!ReadHex(text, 10, 4, v)) return std::nullopt;
    guid.Data2 = static_cast<std::uint16_t>(v);
    if (!ReadHex(text, 15, 4, v)) return std::nullopt;
    guid.Data3 = static_cast<std::uint16_t>(v);
    static constexpr std::size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kByteAt[i], 2, v)) return std::nullopt;
        guid.Data4[i] = static_cast<std::uint8_t>(v);
    }
    return guid;
}

std::string FormatGuid(const GUID& g) {
    char text[39];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

}  // namespace VexaPlatform
