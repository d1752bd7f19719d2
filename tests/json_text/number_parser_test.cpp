// The number parser of the JSON text reader against references: integers against the
// exact conversions of the C library (strtoull, strtoll), doubles bit for bit against
// strtod, which rounds correctly on Linux (glibc). Each group is a sweep over the cases
// around one edge, the fast path's and the double's, rather than a list of values.
#include "python/corvane/json_text/number_parser.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Vexa::VexaPy::DirectJson::ParsedNumber;
using Vexa::VexaPy::DirectJson::ParseNumber;
using Kind = ParsedNumber::Kind;

ParsedNumber Parse(const std::string& text) { return ParseNumber(text.data(), text.data() + text.size()); }

std::uint64_t Bits(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

bool HasNonZeroDigit(const std::string& text) {
    for (const char c : text) {
        if (c == 'e' || c == 'E') break;
        if (c >= '1' && c <= '9') return true;
    }
    return false;
}

// The property every whole number token must have: it is read to its end, and its
// value is the reference's. An integer (no fraction, no exponent) within 64 bits is an
// integer of the right kind; anything else is strtod's double, bit for bit, or, where
// strtod overflows to infinity or rounds non-zero digits to zero, out of range (the
// reader then leaves the text to the reference route).
void ExpectAsReference(const std::string& text) {
    SCOPED_TRACE(text.size() > 120 ? text.substr(0, 60) + "..." + text.substr(text.size() - 60) : text);
    const ParsedNumber number = Parse(text);
    ASSERT_NE(number.kind, Kind::NotANumber);
    EXPECT_EQ(number.end, text.data() + text.size());
    const bool integerForm = text.find_first_of(".eE") == std::string::npos;
    if (integerForm) {
        errno = 0;
        if (text[0] == '-') {
            const long long value = std::strtoll(text.c_str(), nullptr, 10);
            if (errno == 0) {
                ASSERT_EQ(number.kind, Kind::Negative);
                EXPECT_EQ(number.signedValue, value);
                return;
            }
        } else {
            const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
            if (errno == 0) {
                ASSERT_EQ(number.kind, Kind::Unsigned);
                EXPECT_EQ(number.unsignedValue, value);
                return;
            }
        }
    }
    const double reference = std::strtod(text.c_str(), nullptr);
    if (std::isinf(reference) || (reference == 0 && HasNonZeroDigit(text))) {
        EXPECT_EQ(number.kind, Kind::OutOfRange);
        return;
    }
    ASSERT_EQ(number.kind, Kind::Double);
    EXPECT_EQ(Bits(number.doubleValue), Bits(reference)) << number.doubleValue << " != " << reference;
}

// The decimal digits of 2^k (k up to 127) plus delta (-1, 0 or 1).
std::string PowerOfTwo(int k, int delta) {
    std::string digits = "1";
    for (int i = 0; i < k; ++i) {
        int carry = 0;
        for (auto d = digits.rbegin(); d != digits.rend(); ++d) {
            const int v = (*d - '0') * 2 + carry;
            *d = static_cast<char>('0' + v % 10);
            carry = v / 10;
        }
        if (carry != 0) digits.insert(digits.begin(), static_cast<char>('0' + carry));
    }
    // 2^k ends in 2, 4, 6 or 8 (or is 1): one more or less changes the last digit alone.
    if (k > 0 || delta >= 0) digits.back() = static_cast<char>(digits.back() + delta);
    return digits;
}

// Integers around every power of two up to 2^70, both signs: the signed and unsigned
// 64-bit edges, 2^53 where doubles stop holding every integer, and past 64 bits the
// double nlohmann/json keeps.
TEST(NumberParser, IntegersAroundEveryPowerOfTwo) {
    for (int k = 0; k <= 70; ++k) {
        for (int delta = -1; delta <= 1; ++delta) {
            const std::string digits = PowerOfTwo(k, delta);
            ExpectAsReference(digits);
            ExpectAsReference("-" + digits);
        }
    }
}

TEST(NumberParser, IntegerKindsAtTheSixtyFourBitEdges) {
    struct Case {
        const char* text;
        Kind kind;
    };
    const Case cases[] = {
        {"0", Kind::Unsigned},
        {"-0", Kind::Negative},
        {"9223372036854775807", Kind::Unsigned},
        {"-9223372036854775808", Kind::Negative},
        {"-9223372036854775809", Kind::Double},
        {"18446744073709551615", Kind::Unsigned},
        {"18446744073709551616", Kind::Double},
        {"99999999999999999999", Kind::Double},
        {"9999999999999999999", Kind::Unsigned},
        {"100000000000000000000", Kind::Double},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Parse(c.text).kind, c.kind);
        ExpectAsReference(c.text);
    }
    EXPECT_EQ(Parse("-9223372036854775808").signedValue, INT64_MIN);
    EXPECT_EQ(Parse("-0").signedValue, 0);
}

// Integers of every length from 1 to 25 digits, 19 and 20 (the last that always fit and
// the one that may) in particular, with random digits.
TEST(NumberParser, IntegersOfEveryLength) {
    std::mt19937_64 random(19);
    for (int length = 1; length <= 25; ++length) {
        for (int i = 0; i < 400; ++i) {
            std::string digits(1, static_cast<char>('1' + random() % 9));
            while (static_cast<int>(digits.size()) < length) digits += static_cast<char>('0' + random() % 10);
            ExpectAsReference(digits);
            ExpectAsReference("-" + digits);
        }
    }
}

// Decimals around the fast path's edges: 14 to 17 significant digits (it takes up to
// 15) with every power of ten from -25 to 25 (it takes up to 22), written with the
// point at every place and as a mantissa with an exponent, with leading zeros in the
// fraction too.
TEST(NumberParser, DecimalsAroundTheFastPathEdges) {
    std::mt19937_64 random(15);
    for (int significant = 14; significant <= 17; ++significant) {
        for (int exponent = -25; exponent <= 25; ++exponent) {
            for (int i = 0; i < 40; ++i) {
                std::string digits(1, static_cast<char>('1' + random() % 9));
                while (static_cast<int>(digits.size()) < significant) digits += static_cast<char>('0' + random() % 10);
                const std::string sign = random() % 2 == 0 ? "" : "-";
                ExpectAsReference(sign + digits + "e" + std::to_string(exponent));
                const auto point = static_cast<std::size_t>(random() % digits.size());
                const std::string pointed =
                    point == 0 ? "0." + digits : digits.substr(0, point) + "." + digits.substr(point);
                ExpectAsReference(sign + pointed + "E" + std::to_string(exponent));
                ExpectAsReference(sign + "0." + std::string(static_cast<std::size_t>(random() % 6), '0') + digits +
                                  "e+" + std::to_string(exponent < 0 ? -exponent : exponent));
            }
        }
    }
}

// The largest and smallest exact cases of the fast path, and the first beyond them.
TEST(NumberParser, FastPathLimits) {
    for (const char* text : {"999999999999999e22", "999999999999999e23", "9999999999999999e22", "1e22", "1e23",
                             "1e-22", "1e-23", "123456789012345e-22", "0.000000000000000000000123456789012345",
                             "9007199254740992.0", "9007199254740993.0", "9007199254740993", "4503599627370496.5",
                             "1.7976931348623157e308", "0.1", "0.2", "0.3", "-0.0", "0.0", "0e0", "1E+0", "1e-0"}) {
        ExpectAsReference(text);
    }
    EXPECT_TRUE(std::signbit(Parse("-0.0").doubleValue));
    EXPECT_TRUE(std::signbit(Parse("-0e5").doubleValue));
}

// Random doubles of the whole range written with 17 significant digits (which read
// back exactly), and their neighbours: the midpoints between a double and the next,
// whose exact decimal expansions (hundreds of digits) must round to even.
TEST(NumberParser, DoublesAndHalfwayPoints) {
    std::mt19937_64 random(53);
    char text[1024];
    for (int i = 0; i < 4000; ++i) {
        double value = 0;
        do {
            const std::uint64_t bits = random() & 0x7FFFFFFFFFFFFFFFu;
            std::memcpy(&value, &bits, sizeof value);
        } while (!std::isfinite(value));
        std::snprintf(text, sizeof text, "%.17g", value);
        ExpectAsReference(text);
        const double next = std::nextafter(value, INFINITY);
        if (!std::isfinite(next)) continue;
        const long double middle = (static_cast<long double>(value) + static_cast<long double>(next)) / 2;
        std::snprintf(text, sizeof text, "%.800Le", middle);
        ExpectAsReference(text);
    }
}

// Subnormals, the smallest double and below it, the largest and beyond it.
TEST(NumberParser, EdgesOfTheDoubleRange) {
    for (const char* text :
         {"4.9406564584124654e-324", "2.4703282292062328e-324", "2.4703282292062327e-324", "1e-324", "1e-320",
          "2.2250738585072011e-308", "2.2250738585072014e-308", "2.2250738585072012e-308", "1e-400",
          "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e309", "-1e400",
          "1e10000", "-1e-10000", "0e10000", "0.0e-99999", "123e-99999999999999999999"}) {
        ExpectAsReference(text);
    }
    EXPECT_EQ(Parse("1e400").kind, Kind::OutOfRange);
    EXPECT_EQ(Parse("1e-400").kind, Kind::OutOfRange);
    EXPECT_EQ(Parse("0e10000").kind, Kind::Double);
    EXPECT_EQ(Parse("4.9406564584124654e-324").kind, Kind::Double);
}

// Long digit runs: thousands of digits, and leading zeros that a long exponent brings
// back into range.
TEST(NumberParser, LongDigitRuns) {
    const std::string zeros(65536, '0');
    const ParsedNumber tiny = Parse("0." + zeros + "1e65514");
    ASSERT_EQ(tiny.kind, Kind::Double);
    EXPECT_EQ(Bits(tiny.doubleValue), Bits(1e-23));
    ExpectAsReference("0." + zeros + "1e65514");
    ExpectAsReference("0." + std::string(10000, '0') + "1e10005");
    ExpectAsReference("-0." + std::string(400, '0') + "7");
    std::mt19937_64 random(1000);
    for (const std::size_t length : {30u, 310u, 800u, 1000u, 5000u, 20000u}) {
        std::string digits(1, static_cast<char>('1' + random() % 9));
        while (digits.size() < length) digits += static_cast<char>('0' + random() % 10);
        ExpectAsReference(digits);
        ExpectAsReference("-" + digits);
        ExpectAsReference(digits + "e-" + std::to_string(length + 5));
        ExpectAsReference("0." + digits);
        ExpectAsReference(digits.substr(0, length / 2) + "." + digits.substr(length / 2) + "e-300");
        ExpectAsReference("1" + std::string(length, '0') + "e-" + std::to_string(length));
    }
}

// Exponents: every sign and case, zeros before the exponent's digits, and exponents of
// every size up to and beyond the point where the parser hands them on whole.
TEST(NumberParser, Exponents) {
    for (const char* mantissa : {"1", "-7", "2.5", "0.000123", "12345678901234567890"}) {
        for (const char* mark : {"e", "E", "e+", "E-", "e-", "E+"}) {
            for (const char* digits : {"0", "00", "007", "22", "23", "308", "309", "324", "9999", "10000", "10001"}) {
                ExpectAsReference(std::string(mantissa) + mark + digits);
            }
        }
    }
}

// A differential sweep: random numbers of every shape against the references.
TEST(NumberParser, RandomSweep) {
    std::mt19937_64 random(2023);
    const auto digitsOf = [&](std::size_t length) {
        std::string digits;
        for (std::size_t i = 0; i < length; ++i) digits += static_cast<char>('0' + random() % 10);
        return digits;
    };
    for (int i = 0; i < 100000; ++i) {
        std::string text = random() % 3 == 0 ? "-" : "";
        const std::size_t integerLength = random() % 22;
        text += integerLength == 0 ? "0" : static_cast<char>('1' + random() % 9) + digitsOf(integerLength - 1);
        if (random() % 2 == 0) text += "." + digitsOf(1 + random() % 25);
        if (random() % 2 == 0) {
            const int exponent = static_cast<int>(random() % 700) - 350;
            text += (random() % 2 == 0 ? "e" : "E") + std::to_string(exponent);
        }
        ExpectAsReference(text);
        if (::testing::Test::HasFailure()) break;
    }
}

// What is not a number token, and where a token ends when more follows it: the parser
// reads the token alone and leaves the rest to the reader.
TEST(NumberParser, TokenSyntax) {
    for (const char* text : {"", "-", "+1", ".5", "1.", "1.e5", "1e", "1e+", "1E-", "-a", "-.5", "x", "--1"}) {
        SCOPED_TRACE(text);
        const std::string token(text);
        const ParsedNumber number = Parse(token);
        EXPECT_EQ(number.kind, Kind::NotANumber);
        EXPECT_EQ(number.end, token.data());
    }
    struct Case {
        const char* text;
        std::size_t length;  // of the token
    };
    for (const Case& c : {Case{"01", 1}, Case{"-012", 2}, Case{"1.5x", 3}, Case{"1e5.3", 3}, Case{"2,3", 1},
                          Case{"0.25]", 4}, Case{"7e+07}", 5}, Case{"12345678901234567890123 ", 23}}) {
        SCOPED_TRACE(c.text);
        const std::string text(c.text);
        const ParsedNumber number = Parse(text);
        EXPECT_NE(number.kind, Kind::NotANumber);
        EXPECT_EQ(number.end, text.data() + c.length);
    }
}

}  // namespace
