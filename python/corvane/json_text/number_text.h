// Doubles as nlohmann/json's dump writes them, the common ones without its general
// search for the shortest digits. Pure C++.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace Vexa::VexaPy::DirectJson {

// Writes at w the text nlohmann/json gives a finite double that is, within a safe
// margin, a decimal of at most 15 significant digits, such as a price or a rounded
// coordinate, between 1e-4 and 1e15, and returns its end; returns null, having
// written nothing, for any other double, which the library's own method then writes.
//
// Why the text is the same: two distinct decimals of at most 15 significant digits lie
// further apart than the width of a double's rounding interval, so at most one of
// them, D, rounds to the value, and no shorter decimal does. The library writes the shortest digits it finds
// between bounds a little inside the value's rounding interval (narrowed by at most a
// 128th of the half gap to a neighbouring double, by its approximate arithmetic); a D
// within seven eighths of the half gap to either neighbour is therefore the one
// decimal of the fewest digits it can find, and it writes D's digits. Whether D is
// that close is decided exactly, in integers. The layout is the library's: plain
// digits with ".0" for a whole number, a point inside the digits, or "0." and zeros
// before them; the exponent form (below 1e-4, from 1e15) is left to the library.
// Forced inline into the writer's loop, like WriteString: called out of line, the two
// made the writer run more instructions than when their code sat in it.
#if defined(__SIZEOF_INT128__)
inline __attribute__((always_inline)) char* ShortDecimalText(char* w, double value) {
    const double magnitude = std::fabs(value);
    if (!(magnitude >= 1e-4 && magnitude < 1e15)) return nullptr;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &magnitude, sizeof bits);
    constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
    const std::uint64_t mantissa = (bits & (kHidden - 1)) | kHidden;
    // magnitude = mantissa * 2^-shift; shift is between 3 and 66 in this range.
    const int shift = 1075 - static_cast<int>(bits >> 52);
    // Where the mantissa is a power of two the lower neighbour is nearer: the library's
    // bounds are then uneven, a case left to it.
    if (mantissa == kHidden) return nullptr;
    // D, if there is one, is a whole number once scaled by 10^k into [1e14, 1e15]: k is
    // found from the binary exponent (floor(e * log10(2)) is (e * 78913) >> 18 for
    // these e), then corrected by one where the estimate or the scaled value's rounding
    // puts it outside.
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                         1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
    constexpr int kLastPower = 19;
    const int binaryExponent = 52 - shift;  // magnitude is in [2^e, 2^(e+1))
    int k = 14 - ((binaryExponent * 78913) >> 18);
    k = std::clamp(k, 0, kLastPower);
    double scaled = magnitude * kPowers[k];
    if (scaled >= 1e15 && k > 0) {
        scaled = magnitude * kPowers[--k];
    } else if (scaled < 1e14 && k < kLastPower) {
        scaled = magnitude * kPowers[++k];
    }
    if (!(scaled >= 1e14 && scaled < 1e15)) return nullptr;
    // The nearest whole number; D if the test below passes.
    const auto digits = static_cast<std::uint64_t>(scaled + 0.5);
    static constexpr std::uint64_t kWholePowers[] = {
        1u, 10u, 100u, 1000u, 10000u, 100000u, 1000000u, 10000000u, 100000000u, 1000000000u, 10000000000u,
        100000000000u, 1000000000000u, 10000000000000u, 100000000000000u, 1000000000000000u, 10000000000000000u,
        100000000000000000u, 1000000000000000000u, 10000000000000000000u};
    using Wide = unsigned __int128;
    const Wide power = kWholePowers[k];
    // D - value, in units of 2^-shift / 10^k: the half gap to either neighbour is then
    // 10^k / 2.
    const Wide decimal = static_cast<Wide>(digits) << shift;
    const Wide binary = static_cast<Wide>(mantissa) * power;
    const Wide distance = decimal > binary ? decimal - binary : binary - decimal;
    if (distance * 16 > power * 7) return nullptr;
    // D = digits * 10^-k; its digits without trailing zeros (at most 15 of them, taken
    // off eight, four, two and one at a time), and the place of the point counted from
    // the first digit.
    std::uint64_t significant = digits;
    int exponent = -k;
    // Divisors the compiler sees, so that each is a multiplication.
    const auto strip = [&](std::uint64_t divisor, int zeros) {
        if (significant % divisor == 0) {
            significant /= divisor;
            exponent += zeros;
        }
    };
    strip(100000000u, 8);
    strip(10000u, 4);
    strip(100u, 2);
    strip(10u, 1);
    char text[24];
    const int length = static_cast<int>(std::to_chars(text, text + sizeof text, significant).ptr - text);
    const int point = length + exponent;
    if (point <= -4 || point > 15) return nullptr;
    if (std::signbit(value)) *w++ = '-';
    if (point <= 0) {
        *w++ = '0';
        *w++ = '.';
        std::memset(w, '0', static_cast<std::size_t>(-point));
        w += -point;
        std::memcpy(w, text, static_cast<std::size_t>(length));
        w += length;
    } else if (point < length) {
        std::memcpy(w, text, static_cast<std::size_t>(point));
        w += point;
        *w++ = '.';
        std::memcpy(w, text + point, static_cast<std::size_t>(length - point));
        w += length - point;
    } else {
        std::memcpy(w, text, static_cast<std::size_t>(length));
        w += length;
        std::memset(w, '0', static_cast<std::size_t>(point - length));
        w += point - length;
        *w++ = '.';
        *w++ = '0';
    }
    return w;
}
#else
inline char* ShortDecimalText(char*, double) { return nullptr; }
#endif

}  // namespace Vexa::VexaPy::DirectJson
