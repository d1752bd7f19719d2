// The number tokens of a JSON text read into plain values, as nlohmann/json's parser
// reads them: an integer that fits a signed or an unsigned 64-bit integer is an
// integer, a larger one a double; a number with a fraction or an exponent is a double,
// correctly rounded. Pure C++ (no interpreter), so that it is tested on its own.
//
// The common numbers take a fast path: integers of up to 20 digits, and decimals of at
// most 15 significant digits with a power of ten up to 22, whose double one division or
// multiplication gives exactly. Everything else (long digit runs, large exponents,
// integers beyond 64 bits) goes to std::from_chars, which rounds correctly too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "python/corvane/json_text/bytes.h"

namespace Vexa::VexaPy::DirectJson {

// The value of eight digits read as a little-endian word (the first digit the most
// significant): pairs of digits, then pairs of those, then the two halves, each step
// one multiplication across the word.
constexpr std::uint32_t EightDigits(std::uint64_t word) {
    word -= 0x3030303030303030u;
    word = word * 10 + (word >> 8);
    word = ((word & 0x000000FF000000FFu) * (100 + (std::uint64_t{1000000} << 32)) +
            ((word >> 16) & 0x000000FF000000FFu) * (1 + (std::uint64_t{10000} << 32))) >>
           32;
    return static_cast<std::uint32_t>(word);
}
static_assert(EightDigits(0x3837363534333231u) == 12345678u);
static_assert(EightDigits(0x3030303030303039u) == 90000000u);
static_assert(EightDigits(0x3939393939393939u) == 99999999u);

// A number token's value, tagged with its kind, and where the token ends.
struct ParsedNumber {
    enum class Kind : std::uint8_t {
        NotANumber,  // no number token at the place: end is where it was looked for
        OutOfRange,  // a number whose double would be infinite, or zero though its digits are not
        Unsigned,    // an integer from 0 to 2^64 - 1, in unsignedValue
        Negative,    // an integer from -2^63 to -1, or "-0", in signedValue
        Double,      // a fraction or an exponent, or an integer beyond 64 bits, in doubleValue
    };
    Kind kind = Kind::NotANumber;
    union {
        std::uint64_t unsignedValue;
        std::int64_t signedValue;
        double doubleValue = 0;
    };
    const char* end = nullptr;

    static ParsedNumber Of(Kind kind, const char* end) {
        ParsedNumber number;
        number.kind = kind;
        number.end = end;
        return number;
    }
};

// The digits of a number whose value the fast path does not give: std::from_chars reads
// the whole token from start to stop.
ParsedNumber ParseLongNumber(const char* start, const char* stop);

namespace NumberDigits {

// The end of the run of digits from p, eight at a time where there are eight.
inline const char* SkipDigits(const char* p, const char* end) {
    std::uint64_t word = 0;
    while (end - p >= 8 && (std::memcpy(&word, p, 8), AllDigits(word))) p += 8;
    while (p != end && IsDigit(*p)) ++p;
    return p;
}

// mantissa followed by the digits from first to last (at most 19 digits in all), eight
// at a time where there are eight.
inline std::uint64_t Accumulate(const char* first, const char* last, std::uint64_t mantissa) {
    for (; last - first >= 8; first += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, first, 8);
        mantissa = mantissa * 100000000u + EightDigits(word);
    }
    for (; first != last; ++first) mantissa = mantissa * 10 + static_cast<unsigned>(*first - '0');
    return mantissa;
}

}  // namespace NumberDigits

// Written exponents from this value up are left to from_chars.
inline constexpr int kLongExponent = 10000;

// Reads the number token at p, in a text that ends at end. Only the token's own bytes
// are read: what follows it (a separator, or anything else) is the caller's. Forced
// inline: left to itself the compiler calls it out of line, which cost the reader of a
// number-heavy text about 3% more instructions than when this code sat in its loop.
inline __attribute__((always_inline)) ParsedNumber ParseNumber(const char* const start, const char* const end) {
    using Kind = ParsedNumber::Kind;
    using NumberDigits::Accumulate;
    using NumberDigits::SkipDigits;
    const char* p = start;
    const bool negative = p != end && *p == '-';
    if (negative) ++p;
    if (p == end || !IsDigit(*p)) return ParsedNumber::Of(Kind::NotANumber, start);
    const char* const integer = p;
    p = *p == '0' ? p + 1 : SkipDigits(p, end);
    const char* const integerEnd = p;
    const char* fraction = p;
    const char* fractionEnd = p;
    bool isFloat = false;
    if (p != end && *p == '.') {
        isFloat = true;
        fraction = ++p;
        if (p == end || !IsDigit(*p)) return ParsedNumber::Of(Kind::NotANumber, start);
        p = fractionEnd = SkipDigits(p, end);
    }
    std::int64_t exponent = 0;  // of ten, to apply to the digits
    if (p != end && (*p == 'e' || *p == 'E')) {
        isFloat = true;
        ++p;
        const bool negativeExponent = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !IsDigit(*p)) return ParsedNumber::Of(Kind::NotANumber, start);
        int written = 0;
        for (; p != end && IsDigit(*p); ++p) written = std::min(written * 10 + (*p - '0'), kLongExponent);
        // The exact case below needs the exponent exactly, and the digits before a long
        // one may bring the value back into range ("0.", ten thousand zeros, "1e10005");
        // from_chars reads any exponent.
        if (written == kLongExponent) return ParseLongNumber(start, p);
        exponent = negativeExponent ? -written : written;
    }
    if (!isFloat) {
        const std::ptrdiff_t digits = integerEnd - integer;
        std::uint64_t magnitude = 0;
        // Up to 19 digits always fit 64 bits, twenty may.
        bool fits = digits <= 19;
        if (fits) {
            magnitude = Accumulate(integer, integerEnd, 0);
        } else if (digits == 20) {
            magnitude = Accumulate(integer, integerEnd - 1, 0);
            fits = !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
                   !__builtin_add_overflow(magnitude, static_cast<unsigned>(integerEnd[-1] - '0'), &magnitude);
        }
        ParsedNumber number = ParsedNumber::Of(Kind::Unsigned, p);
        if (fits && !negative) {
            number.unsignedValue = magnitude;
            return number;
        }
        if (fits && magnitude <= std::uint64_t{1} << 63) {
            number.kind = Kind::Negative;
            // -2^63 itself has no positive counterpart among the signed integers.
            number.signedValue = magnitude == std::uint64_t{1} << 63 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
            return number;
        }
        // Beyond 64 bits nlohmann/json keeps the number as a double.
        return ParseLongNumber(start, p);
    }
    // The significant digits: those of the integer part and the fraction, less the
    // zeros that lead the fraction of a number below one.
    const bool zeroInteger = integerEnd - integer == 1 && *integer == '0';
    const char* significantFraction = fraction;
    if (zeroInteger) {
        while (significantFraction != fractionEnd && *significantFraction == '0') ++significantFraction;
    }
    const std::ptrdiff_t significant = (zeroInteger ? 0 : integerEnd - integer) + (fractionEnd - significantFraction);
    // Every digit of the fraction counts, its leading zeros too, however many.
    exponent -= fractionEnd - fraction;
    if (significant <= 15 && exponent >= -22 && exponent <= 22) {
        // At most 15 digits and a power of ten up to 22 are exact doubles, as coordinates
        // and prices are: one division or multiplication then rounds correctly, as
        // from_chars does.
        static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        std::uint64_t mantissa = 0;
        if (significantFraction == fraction) mantissa = Accumulate(integer, integerEnd, 0);
        mantissa = Accumulate(significantFraction, fractionEnd, mantissa);
        const auto digits = static_cast<double>(mantissa);
        const double value = exponent < 0 ? digits / kPowers[-exponent] : digits * kPowers[exponent];
        ParsedNumber number = ParsedNumber::Of(Kind::Double, p);
        number.doubleValue = negative ? -value : value;
        return number;
    }
    return ParseLongNumber(start, p);
}

}  // namespace Vexa::VexaPy::DirectJson
