// DumpJson: Python value -> compact JSON text, written straight from the Python
// objects instead of building a JSON value first.
//
// The writer gives exactly the text that ToJson followed by dump() gives. It handles
// the built-in types themselves (None, bool, int, float, str, bytes, list, tuple,
// dict with keys of str, int, float, bool or None); for anything else (a subclass, an
// object of another type, an integer beyond 64 bits, a str that is not valid Unicode,
// nesting beyond the bound) it gives up, and the reference route converts the whole
// value again, so that rare cases and errors come out of the one implementation that
// defines them. Nothing the writer handles runs Python code, so the containers cannot
// change under it.
//
// What the reference route does, and the writer therefore does too: members by the
// bytes of their names' str() texts, a name repeated that way keeps the last value;
// non-finite floats as null; bytes as base64 text; only '"', '\\' and control
// characters escaped.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "interfaces/unique_resource.h"
#include "python/corvane/json_conversion.h"
#include "python/corvane/json_text_bytes.h"
#include "python/corvane/library_internals.h"
#include "python/corvane/py_ref.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

inline void FreeText(char* text) { std::free(text); }

// The text being written. Writes go through a cursor into room made beforehand, so that
// a token costs one capacity check and plain stores, not a library call per piece;
// the room grows geometrically with realloc, which leaves the new part as it is
// (std::string's resize would zero-fill it first) and can move a large block without
// copying it. The finished text is copied once into the std::string handed on.
class TextBuffer {
public:
    TextBuffer() { Grow(kInitial); }

    // A cursor at which at least n more bytes may be written; Commit then ends the
    // text where the cursor has got to. Any earlier cursor is invalid afterwards.
    char* Room(std::size_t n) {
        if (static_cast<std::size_t>(limit - cursor) < n) Grow(n);
        return cursor;
    }
    void Commit(char* end) { cursor = end; }

    void Put(char c) { *Room(1) = c; ++cursor; }
    void Put(const char* bytes, std::size_t n) {
        char* const w = Room(n);
        std::memcpy(w, bytes, n);
        cursor = w + n;
    }
    template <std::size_t N>
    void PutLiteral(const char (&literal)[N]) { Put(literal, N - 1); }

    std::size_t Size() const { return static_cast<std::size_t>(cursor - storage.get()); }
    // Drops what was written after the first size bytes.
    void Truncate(std::size_t size) { cursor = storage.get() + size; }

    std::string Text() const { return std::string(storage.get(), Size()); }

private:
    // Most parameters are small: the first block holds them whole.
    static constexpr std::size_t kInitial = 4096;

    void Grow(std::size_t n) {
        const std::size_t size = Size();
        const std::size_t capacity = static_cast<std::size_t>(limit - storage.get());
        std::size_t wanted = capacity > 0 ? capacity * 2 : n;
        if (wanted - size < n) wanted = size + n;
        char* const grown = static_cast<char*>(std::realloc(storage.get(), wanted));
        if (grown == nullptr) throw std::bad_alloc();
        static_cast<void>(storage.release());
        storage.reset(grown);
        cursor = grown + size;
        limit = grown + wanted;
    }

    UniqueResource<char*, FreeText> storage;
    char* cursor = nullptr;
    char* limit = nullptr;
};

// Writes at w the text the JSON library gives a finite double that is, within a safe
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
#if defined(__SIZEOF_INT128__)
char* ShortDecimalText(char* w, double value) {
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
char* ShortDecimalText(char*, double) { return nullptr; }
#endif

// The bytes that need an escape in a JSON string: '"', '\\' and control characters.
constexpr std::array<bool, 256> EscapeTable() {
    std::array<bool, 256> needs{};
    for (std::size_t byte = 0; byte < 0x20; ++byte) needs[byte] = true;
    needs['"'] = true;
    needs['\\'] = true;
    return needs;
}
constexpr std::array<bool, 256> kEscapes = EscapeTable();

// Asks for the cache line of an object's header, which the type checks read first.
inline void Prefetch(const PyObject* object) {
#if defined(__GNUC__)
    __builtin_prefetch(object);
#else
    static_cast<void>(object);
#endif
}

class Writer {
public:
    // Room for the members of a few nested dicts of common size, so that a small
    // document grows the vector rarely or never.
    Writer() { members.reserve(32); }

    // False when the value is not one the writer handles (a Python error may then be
    // set; the caller clears it).
    bool Document(PyObject* value) { return Value(value, 0); }

    std::string Text() const { return out.Text(); }

private:
    struct Member {
        std::string_view name;  // UTF-8 of the name's str(); owned by key or by the dict
        PyObject* value;        // borrowed from the dict
        PyRef key;              // a new str() of a name that was not a str, else null
    };

    // Drops the members a dict pushed, however its conversion ends.
    class MembersScope {
    public:
        explicit MembersScope(std::vector<Member>& members) : members(members), base(members.size()) {}
        ~MembersScope() { members.resize(base); }
        MembersScope(const MembersScope&) = delete;
        MembersScope& operator=(const MembersScope&) = delete;

        std::vector<Member>& members;
        const std::size_t base;
    };

    // depth: the number of arrays and objects that enclose value.
    bool Value(PyObject* value, int depth) {
        if (value == Py_None) {
            out.PutLiteral("null");
            return true;
        }
        if (value == Py_True || value == Py_False) {
            if (value == Py_True) {
                out.PutLiteral("true");
            } else {
                out.PutLiteral("false");
            }
            return true;
        }
        if (PyLong_CheckExact(value)) return Integer(value);
        if (PyFloat_CheckExact(value)) {
            Float(PyFloat_AS_DOUBLE(value));
            return true;
        }
        if (PyUnicode_CheckExact(value)) return Str(value);
        if (PyBytes_CheckExact(value)) {
            Base64(value);
            return true;
        }
        const bool isList = PyList_CheckExact(value);
        if (isList || PyTuple_CheckExact(value)) {
            if (depth >= kMaxJsonDepth) return false;
            out.Put('[');
            const Py_ssize_t size = isList ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
            PyObject* const* const items = isList ? &PyList_GET_ITEM(value, 0) : &PyTuple_GET_ITEM(value, 0);
            for (Py_ssize_t i = 0; i < size; ++i) {
                // Elements are scattered over the heap and seldom in the cache: the next
                // one is fetched while this one is written.
                if (i + 1 < size) Prefetch(items[i + 1]);
                if (i > 0) out.Put(',');
                if (!Value(items[i], depth + 1)) return false;
            }
            out.Put(']');
            return true;
        }
        if (PyDict_CheckExact(value)) {
            if (depth >= kMaxJsonDepth) return false;
            return Object(value, depth);
        }
        return false;
    }

    bool Object(PyObject* dict, int depth) {
        MembersScope scope(members);
        bool ordered = true;
        Py_ssize_t cursor = 0;
        PyObject* key = nullptr;
        PyObject* member = nullptr;
        while (PyDict_Next(dict, &cursor, &key, &member)) {
            PyRef text;
            if (!PyUnicode_CheckExact(key)) {
                // str() of these runs no Python code of the caller's.
                if (!(key == Py_None || PyBool_Check(key) || PyLong_CheckExact(key) || PyFloat_CheckExact(key))) {
                    return false;
                }
                text.reset(PyObject_Str(key));
                if (!text) return false;
            }
            PyObject* const nameText = text ? text.get() : key;
            Prefetch(member);  // in the cache by the time it is written
            members.push_back({{}, member, std::move(text)});
            const std::string_view name = Utf8(nameText);
            if (name.data() == nullptr) return false;
            if (members.size() - scope.base > 1 && !JsonTextBytes::Before(members[members.size() - 2].name, name)) {
                ordered = false;
            }
            members.back().name = name;
        }
        if (!ordered) {
            // By name, and of the members whose names are equal only the last. The
            // others are converted all the same, and then dropped: the reference route
            // converts every value before it sets it, so one that does not convert
            // fails the whole conversion even where a later member replaces it.
            // Indexes, not iterators: the members of nested dicts grow the same vector.
            SortByName(scope.base);
            std::size_t kept = scope.base;
            for (std::size_t i = scope.base; i < members.size(); ++i) {
                if (i + 1 < members.size() && members[i + 1].name == members[i].name) {
                    const std::size_t mark = out.Size();
                    const bool converts = Value(members[i].value, depth + 1);
                    out.Truncate(mark);
                    members[i].key.reset();
                    if (!converts) return false;
                    continue;
                }
                if (kept != i) members[kept] = std::move(members[i]);
                ++kept;
            }
            members.resize(kept);
        }
        out.Put('{');
        for (std::size_t i = scope.base; i < members.size(); ++i) {
            if (i > scope.base) out.Put(',');
            String(members[i].name);
            out.Put(':');
            if (!Value(members[i].value, depth + 1)) return false;
        }
        out.Put('}');
        return true;
    }

    // The UTF-8 of a member name; no data when it has none (a Python error is then set).
    // ASCII text is its own UTF-8, in place: asking the str would cost a call per name.
    static std::string_view Utf8(PyObject* text) {
        if (PyUnicode_IS_READY(text) && PyUnicode_IS_ASCII(text)) {
            const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
            return {static_cast<const char*>(PyUnicode_DATA(text)), length};
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
        if (utf8 == nullptr) return {};
        return {utf8, static_cast<std::size_t>(size)};
    }

    // Sorts the members from base on by name, keeping equal names in their order. Most
    // dicts have a few members, for which an insertion sort in place beats
    // std::stable_sort, which allocates a buffer on every call.
    void SortByName(std::size_t base) {
        const auto first = members.begin() + static_cast<std::ptrdiff_t>(base);
        const auto byName = [](const Member& a, const Member& b) { return JsonTextBytes::Before(a.name, b.name); };
        if (members.size() - base > 16) {
            std::stable_sort(first, members.end(), byName);
            return;
        }
        for (auto next = first + 1; next < members.end(); ++next) {
            if (!byName(*next, *(next - 1))) continue;
            Member moving = std::move(*next);
            auto hole = next;
            for (; hole != first && byName(moving, *(hole - 1)); --hole) *hole = std::move(*(hole - 1));
            *hole = std::move(moving);
        }
    }

    bool Integer(PyObject* value) {
        constexpr std::size_t kDigits = 24;  // 20 digits and a sign at most
        long long small = 0;
        if (SmallInteger(value, small)) {
            char* const w = out.Room(kDigits);
            out.Commit(std::to_chars(w, w + kDigits, small).ptr);
            return true;
        }
        int overflow = 0;
        const long long signedValue = PyLong_AsLongLongAndOverflow(value, &overflow);
        std::to_chars_result written{};
        if (overflow == 0) {
            if (signedValue == -1 && PyErr_Occurred()) return false;
            char* const w = out.Room(kDigits);
            written = std::to_chars(w, w + kDigits, signedValue);
        } else if (overflow > 0) {
            const unsigned long long unsignedValue = PyLong_AsUnsignedLongLong(value);
            if (unsignedValue == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
            char* const w = out.Room(kDigits);
            written = std::to_chars(w, w + kDigits, unsignedValue);
        } else {
            return false;
        }
        out.Commit(written.ptr);
        return true;
    }

    // The value of an int of at most two internal digits (below 2^60 in magnitude, which
    // covers nearly every int a parameter holds), read from the object itself rather
    // than through a call. The layout is CPython 3.11's, the version the module is
    // built for; elsewhere every int takes the call.
    static bool SmallInteger(PyObject* value, long long& result) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
        static_assert(PyLong_SHIFT <= 31, "two digits must fit in a long long");
        const auto* number = reinterpret_cast<const PyLongObject*>(value);
        const Py_ssize_t size = Py_SIZE(value);
        if (size < -2 || size > 2) return false;
        const Py_ssize_t count = size < 0 ? -size : size;
        long long magnitude = 0;
        if (count >= 1) magnitude = static_cast<long long>(number->ob_digit[0]);
        if (count == 2) magnitude |= static_cast<long long>(number->ob_digit[1]) << PyLong_SHIFT;
        result = size < 0 ? -magnitude : magnitude;
        return true;
#else
        static_cast<void>(value);
        static_cast<void>(result);
        return false;
#endif
    }

    void Float(double value) {
        if (!std::isfinite(value)) {
            out.PutLiteral("null");
            return;
        }
        // The room the JSON library's own number buffer has.
        constexpr std::size_t kDigits = 64;
        char* const w = out.Room(kDigits);
        char* const stop = ShortDecimalText(w, value);
        out.Commit(stop != nullptr ? stop : LibraryInternals::ShortestNumberText(w, w + kDigits, value));
    }

    // A str value. ASCII text is its own UTF-8; wider text is encoded straight from
    // the str's code points into the output, escapes included, instead of asking the
    // str for its UTF-8 form, which allocates and keeps a copy in the str (the writer
    // sees each value once) and would then be scanned a second time.
    bool Str(PyObject* text) {
        if (PyUnicode_READY(text) != 0) return false;
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
        if (PyUnicode_IS_ASCII(text)) {
            String(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)), length));
            return true;
        }
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return EncodeString(PyUnicode_1BYTE_DATA(text), length);
            case PyUnicode_2BYTE_KIND: return EncodeString(PyUnicode_2BYTE_DATA(text), length);
            default: return EncodeString(PyUnicode_4BYTE_DATA(text), length);
        }
    }

    // Writes code points as a JSON string in UTF-8; false at a surrogate, which has no
    // UTF-8 form (the reference route then reports it). Encoded a block at a time, so
    // that the room made for the worst case (six bytes a code point, a control
    // character's \u00XX) stays small beside the text, however long the text.
    template <typename Char>
    bool EncodeString(const Char* text, std::size_t length) {
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
                        w = Escaped(w, static_cast<unsigned char>(c));
                    }
                } else if (c < 0x800) {
                    *w++ = static_cast<char>(0xC0 | (c >> 6));
                    *w++ = static_cast<char>(0x80 | (c & 0x3F));
                } else if (c < 0x10000) {
                    if (c >= 0xD800 && c <= 0xDFFF) {
                        out.Truncate(start);
                        return false;
                    }
                    *w++ = static_cast<char>(0xE0 | (c >> 12));
                    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                    *w++ = static_cast<char>(0x80 | (c & 0x3F));
                } else {
                    *w++ = static_cast<char>(0xF0 | (c >> 18));
                    *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                    *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                    *w++ = static_cast<char>(0x80 | (c & 0x3F));
                }
            }
            out.Commit(w);
        }
        out.Put('"');
        return true;
    }

    // Writes the escape of an ASCII byte that needs one.
    static char* Escaped(char* w, unsigned char byte) {
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

    // UTF-8 text as a JSON string. Most text needs no escape: it is copied as it is
    // checked, into room made once, a word at a time and then the last bytes one by one.
    void String(std::string_view utf8) {
        const char* p = utf8.data();
        const char* const stop = p + utf8.size();
        char* w = out.Room(utf8.size() + 2);
        *w++ = '"';
        for (std::uint64_t word = 0; stop - p >= 8; p += 8, w += 8) {
            std::memcpy(&word, p, 8);
            if (JsonTextBytes::AnyToEscape(word)) break;
            std::memcpy(w, &word, 8);
        }
        for (; p != stop && !NeedsEscape(static_cast<unsigned char>(*p)); ++p) *w++ = *p;
        out.Commit(w);
        if (p != stop) EscapedRest(p, stop);
        out.Put('"');
    }

    // The rest of a string from its first byte that needs an escape.
    void EscapedRest(const char* p, const char* const stop) {
        const char* run = p;
        for (; p != stop; ++p) {
            // Runs that need no escape a word at a time.
            std::uint64_t word = 0;
            while (stop - p >= 8 && (std::memcpy(&word, p, 8), !JsonTextBytes::AnyToEscape(word))) p += 8;
            if (p == stop) break;
            const auto byte = static_cast<unsigned char>(*p);
            if (!NeedsEscape(byte)) continue;
            out.Put(run, static_cast<std::size_t>(p - run));
            run = p + 1;
            out.Commit(Escaped(out.Room(6), byte));
        }
        out.Put(run, static_cast<std::size_t>(stop - run));
    }

    // Whether a byte needs an escape: one table lookup, which costs less than three
    // comparisons in the byte loops.
    static bool NeedsEscape(unsigned char byte) { return kEscapes[byte]; }

    void Base64(PyObject* bytes) {
        static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes));
        const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
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

    TextBuffer out;
    // Members of the dicts being written, innermost last.
    std::vector<Member> members;
};

}  // namespace

std::string DumpJson(py::handle source) {
    Writer writer;
    if (writer.Document(source.ptr())) {
        return writer.Text();
    }
    PyErr_Clear();
    return ToJson(source).dump();
}

}  // namespace Vexa::VexaPy
