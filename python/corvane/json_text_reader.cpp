// LoadJson: result text -> Python value, building the Python objects straight from
// the text instead of going through a JSON value first.
//
// The reader accepts exactly what the JSON library's parser accepts and gives exactly
// what ParseResult followed by FromJson gives. It handles the texts the framework
// produces; anything unusual (a syntax error, nesting beyond the bound, a number out
// of the double's range, bytes that are not UTF-8, a byte order mark) makes it give
// up, and the reference route then parses the whole text again, so that errors and
// rare cases come out of the one implementation that defines them.
//
// What the reference route does, and the reader therefore does too:
//  - an object's members come out in the JSON library's order, by the bytes of their
//    names, and a repeated name keeps its last value;
//  - an integer that fits a signed or an unsigned 64-bit integer is an int, a larger
//    one a float; a number with a fraction or an exponent is a float.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <forward_list>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/corvane/json_conversion.h"
#include "python/corvane/json_text_bytes.h"
#include "python/corvane/py_ref.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Names are read as little-endian words (see Reader::WordsOf); every Windows and Linux
// target of this module is little-endian, and a compiler that can tell otherwise stops.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the JSON text reader reads member names as little-endian words"
#endif

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

constexpr bool IsWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whether the eight bytes of a little-endian word are all digits.
constexpr bool AllDigits(std::uint64_t word) {
    return (word & 0xF0F0F0F0F0F0F0F0u) == 0x3030303030303030u &&
           ((word + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) == 0x3030303030303030u;
}

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

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, std::uint32_t codepoint) {
    if (codepoint < 0x80) {
        out.push_back(static_cast<char>(codepoint));
    } else if (codepoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codepoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
    } else if (codepoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codepoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codepoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codepoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codepoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codepoint & 0x3F)));
    }
}

// The width of str that a UTF-8 sequence's code point needs, by its lead byte (the
// sequences are checked for shortest form first, so the lead byte decides).
enum class Width { Ascii, Latin1, Ucs2, Ucs4 };

// The length of the UTF-8 sequence that starts at p (a byte of 0x80 or above), with its
// code point in codepoint and width widened to hold it; 0 when it is not UTF-8 as the
// JSON library accepts it (no overlong forms, no surrogates, nothing beyond U+10FFFF).
// Inlined into the reading of non-ASCII text, where it runs once per character.
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

// Whether a byte inside a string is taken as it is: printable ASCII other than the
// quote and the backslash.
constexpr bool IsPlain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// The offset of the first of the 16 bytes from p that a string scan must stop at (a
// quote, a backslash, a control character or a byte of a multi-byte sequence), or 16
// when all of them are plain.
inline unsigned FirstToAttend(const char* p) {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
    const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
    // A signed comparison: below 0x20 are the control characters and, as negative
    // numbers, every byte from 0x80 on.
    const __m128i low = _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20));
    const auto marks = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), low)));
    return marks == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(marks));
#else
    // Eight bytes at a time. Each test may also mark bytes above one that it rightly
    // marks (a borrow runs upwards), never one below: the lowest mark is exact.
    constexpr std::uint64_t kOnes = JsonTextBytes::kOnes;
    constexpr std::uint64_t kHigh = JsonTextBytes::kHigh;
    const auto below = [](std::uint64_t word, std::uint64_t n) { return (word - kOnes * n) & ~word & kHigh; };
    for (unsigned half = 0; half < 16; half += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + half, 8);
        const std::uint64_t marks = below(word ^ (kOnes * '"'), 1) | below(word ^ (kOnes * '\\'), 1) |
                                    below(word, 0x20) | (word & kHigh);
        if (marks != 0) return half + static_cast<unsigned>(__builtin_ctzll(marks)) / 8;
    }
    return 16;
#endif
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

// The code point of an escape that the scan accepted, at p (its backslash); returns
// the bytes it takes.
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

// A string token as the scan found it: its bytes between the quotes, still escaped
// where escaped is set, with what its str needs: the number of code points, the
// narrowest width that holds them all and, unless the bytes are plain ASCII as they
// stand, the code points themselves, which the scan decoded as it checked them (they
// stay valid until the reader scans the next string).
struct StringToken {
    const char* begin = nullptr;
    const char* end = nullptr;
    Py_ssize_t length = 0;
    Width width = Width::Ascii;
    bool escaped = false;
    const char32_t* decoded = nullptr;

    std::string_view Bytes() const { return {begin, static_cast<std::size_t>(end - begin)}; }
};

// The UTF-8 bytes of an escaped token, for ordering member names by them.
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

// Code points into a str's characters of type Char, which hold every one of them.
template <typename Char>
void Narrow(const char32_t* in, Py_ssize_t length, Char* out) {
    for (Py_ssize_t i = 0; i < length; ++i) out[i] = static_cast<Char>(in[i]);
}

// The str of a scanned token, built in its final width at once: the interpreter's
// generic decoder starts narrow and widens (copying) at the first wider code point,
// which costs most on the non-ASCII text that results carry.
PyObject* MakeStr(const StringToken& token) {
    static constexpr Py_UCS4 kMaxChar[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    PyObject* text = PyUnicode_New(token.length, kMaxChar[static_cast<int>(token.width)]);
    if (text == nullptr) return nullptr;
    if (token.decoded == nullptr) {
        std::memcpy(PyUnicode_DATA(text), token.begin, static_cast<std::size_t>(token.length));
        return text;
    }
    switch (token.width) {
        case Width::Ascii:
        case Width::Latin1: Narrow(token.decoded, token.length, PyUnicode_1BYTE_DATA(text)); break;
        case Width::Ucs2: Narrow(token.decoded, token.length, PyUnicode_2BYTE_DATA(text)); break;
        case Width::Ucs4:
            std::memcpy(PyUnicode_4BYTE_DATA(text), token.decoded, static_cast<std::size_t>(token.length) * 4);
            break;
    }
    return text;
}

// One pass over one text. Every member returns a new reference, or null when the
// text is not one it handles (a Python error may then be set; the caller clears it).
class Reader {
public:
    explicit Reader(std::string_view text)
        : position(text.data()), end(text.data() + text.size()), shareValues(text.size() >= kShareValuesFrom) {}

    PyObject* Document() {
        SkipWhitespace();
        PyRef value(Value(0));
        if (!value) return nullptr;
        SkipWhitespace();
        return position == end ? value.release() : nullptr;
    }

private:
    void SkipWhitespace() {
        while (position != end && IsWhitespace(*position)) ++position;
    }

    bool Consume(std::string_view word) {
        if (static_cast<std::size_t>(end - position) < word.size() ||
            std::memcmp(position, word.data(), word.size()) != 0) {
            return false;
        }
        position += word.size();
        return true;
    }

    // depth: the number of arrays and objects that enclose the value.
    PyObject* Value(int depth) {
        if (position == end) return nullptr;
        switch (*position) {
            case '{': return Object(depth + 1);
            case '[': return Array(depth + 1);
            case '"': {
                StringToken token;
                if (!String(token)) return nullptr;
                const bool shared = shareValues && !token.escaped && token.end - token.begin <= kShortValue;
                return shared ? ShortValue(token) : MakeStr(token);
            }
            case 't': return Consume("true") ? Py_NewRef(Py_True) : nullptr;
            case 'f': return Consume("false") ? Py_NewRef(Py_False) : nullptr;
            case 'n': return Consume("null") ? Py_NewRef(Py_None) : nullptr;
            default: return Number();
        }
    }

    PyObject* Array(int depth) {
        if (depth > kMaxJsonDepth) return nullptr;
        ++position;  // [
        // Room for the elements of a few small arrays at once: growing from nothing
        // was a good part of the call on a short text.
        if (pending.capacity() == 0) pending.reserve(64);
        const std::size_t base = pending.size();
        SkipWhitespace();
        bool ok = true;
        if (position != end && *position == ']') {
            ++position;
        } else {
            while (true) {
                SkipWhitespace();
                PyRef element(Value(depth));
                if (!element) {
                    ok = false;
                    break;
                }
                pending.push_back(std::move(element));
                SkipWhitespace();
                if (position != end && *position == ',') {
                    ++position;
                } else if (position != end && *position == ']') {
                    ++position;
                    break;
                } else {
                    ok = false;
                    break;
                }
            }
        }
        PyObject* list = ok ? PyList_New(static_cast<Py_ssize_t>(pending.size() - base)) : nullptr;
        if (list != nullptr) {
            for (std::size_t i = base; i < pending.size(); ++i) {
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i - base), pending[i].release());
            }
        }
        pending.resize(base);
        return list;
    }

    PyObject* Object(int depth) {
        if (depth > kMaxJsonDepth) return nullptr;
        ++position;  // {
        if (members.capacity() == 0) members.reserve(32);
        const std::size_t base = members.size();
        // Whether the names arrive in the JSON library's order, as the framework writes
        // them, and need no sort.
        bool ordered = true;
        bool ok = true;
        // The name cache's slot of the previous member's name.
        std::size_t previous = StrCache::kNone;
        std::uint16_t& firstName = firstNames[static_cast<std::size_t>(depth) % kFirstNames];
        SkipWhitespace();
        if (position != end && *position == '}') {
            ++position;
        } else {
            while (ok) {
                SkipWhitespace();
                ok = position != end && *position == '"';
                if (!ok) break;
                // Objects in a list mostly have the names of the one before, in the same
                // order: the name that followed this one last time is tried first, on
                // the bytes of the text, before the name is scanned and looked up.
                const std::size_t expected = previous != StrCache::kNone ? names.Next(previous) : firstName;
                const StrCache::Entry* known = names.Find(expected);
                PyRef key;
                std::string_view name;  // the name's UTF-8 bytes, which order the members
                std::size_t slot = StrCache::kNone;
                if (known != nullptr && IsNameAt(expected, position)) {
                    key.reset(Py_NewRef(known->str));
                    name = std::string_view(position + 1, known->words.size);
                    position += known->words.size + 2;
                    slot = expected;
                } else {
                    StringToken token;
                    ok = String(token);
                    if (!ok) break;
                    key.reset(Name(token, slot));
                    name = token.Bytes();
                    if (token.escaped) name = escapedNames.emplace_front(DecodeToUtf8(token));
                }
                if (previous != StrCache::kNone) {
                    names.SetNext(previous, slot);
                } else {
                    firstName = static_cast<std::uint16_t>(slot);
                }
                previous = slot;
                if (members.size() > base && !JsonTextBytes::Before(members.back().name, name)) ordered = false;
                SkipWhitespace();
                ok = key && position != end && *position == ':';
                if (!ok) break;
                ++position;
                SkipWhitespace();
                PyRef value(Value(depth));
                ok = static_cast<bool>(value);
                if (!ok) break;
                members.push_back({name, std::move(key), std::move(value)});
                SkipWhitespace();
                if (position != end && *position == ',') {
                    ++position;
                } else if (position != end && *position == '}') {
                    ++position;
                    break;
                } else {
                    ok = false;
                }
            }
        }
        PyObject* dict = ok ? Dict(base, ordered) : nullptr;
        members.resize(base);
        return dict;
    }

    // The dict of the members from base on, by name (code point order is the order of
    // the UTF-8 bytes); of equal names the last one's value stays, at the first one's
    // place. Its table is the one for str names, whose entries keep no hash: the
    // interpreter's call that sizes a dict at once (_PyDict_NewPresized) makes the
    // general table for more than five members, and with it the dicts of a result of
    // many small objects took nearly a quarter more memory than the JSON library's.
    PyObject* Dict(std::size_t base, bool ordered) {
        const auto first = members.begin() + static_cast<std::ptrdiff_t>(base);
        if (!ordered) {
            std::stable_sort(first, members.end(),
                             [](const Member& a, const Member& b) { return JsonTextBytes::Before(a.name, b.name); });
        }
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
        const std::size_t count = members.size() - base;
        if (count > kSmallDict && count <= kMaxNamed) return NamedDict(base);
#endif
        // Up to five members, and beyond kMaxNamed, the dict grows as the JSON library's do.
        PyRef dict(PyDict_New());
        if (!dict) return nullptr;
        for (auto member = first; member != members.end(); ++member) {
            if (PyDict_SetItem(dict.get(), member->key.get(), member->value.get()) != 0) return nullptr;
        }
        return dict.release();
    }

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    // The interpreter sizes a dict of keyword arguments at once, with the table for str
    // names (outside the stable ABI, like the rest of this module, which is built for
    // one interpreter version). The members from base on are given to it as such: their
    // names in a tuple of their count, kept by the reader. Up to five members fit the
    // smallest table, which a new dict takes at its first member.
    static constexpr std::size_t kSmallDict = 5;
    static constexpr std::size_t kMaxNamed = 64;
    PyObject* NamedDict(std::size_t base) {
        const std::size_t count = members.size() - base;
        PyRef& names = namesOfCount[count % kNameTuples];
        if (!names || static_cast<std::size_t>(PyTuple_GET_SIZE(names.get())) != count) {
            names.reset(PyTuple_New(static_cast<Py_ssize_t>(count)));
            if (!names) return nullptr;
            // Out of the collector's sight: a finalizer that a collection during the
            // call runs must not find it (gc.get_objects()) with its items borrowed or
            // null.
            PyObject_GC_UnTrack(names.get());
        }
        PyObject* values[kMaxNamed];
        for (std::size_t i = 0; i < count; ++i) {
            // Borrowed: the members hold them until the dict does.
            PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), members[base + i].key.get());
            values[i] = members[base + i].value.get();
        }
        PyObject* dict = _PyStack_AsDict(values, names.get());
        for (std::size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), nullptr);
        return dict;
    }
    // The tuples NamedDict passes, by their size modulo kNameTuples (the objects of a
    // result mostly have a few counts of members). Their items are null whenever
    // NamedDict is not running, so that releasing them releases nothing else.
    static constexpr std::size_t kNameTuples = 8;
    PyRef namesOfCount[kNameTuples];
#endif

    class StrCache;  // the strings kept for sharing, below with the other members

    // A member's name as a str. Documents repeat the same few names many times, so
    // the str of a name read straight from the text is kept and shared, which saves
    // building and hashing it again. slot: where the cache keeps it, or
    // StrCache::kNone.
    PyObject* Name(const StringToken& token, std::size_t& slot) {
        slot = StrCache::kNone;
        if (token.escaped) return MakeStr(token);  // not kept
        return Shared(names, token, slot);
    }

    // A string value of up to kShortValue bytes read without escapes, in a text of at
    // least kShareValuesFrom bytes. Results repeat short values (states, units,
    // currencies, tags, languages) as they repeat member names, so these are shared
    // too: one str for all of them takes less memory than one each. On a large result
    // that saves the interpreter more time than the lookups cost, as its objects fill
    // whole arenas of the interpreter's memory; on a small one it does not. A str is
    // immutable: sharing one changes no value a program sees.
    static constexpr std::ptrdiff_t kShortValue = 16;  // compared whole by their NameWords
    static constexpr std::size_t kShareValuesFrom = 64 * 1024;
    PyObject* ShortValue(const StringToken& token) {
        if (!shortValues) {
            shortValues.reset(new (std::nothrow) StrCache);
            if (!shortValues) return MakeStr(token);  // not shared, then
        }
        std::size_t slot = StrCache::kNone;
        return Shared(*shortValues, token, slot);
    }

    // The str of a token read without escapes, from cache if it holds one for the same
    // bytes, else made and kept there; slot: where it is kept (left as it is on failure).
    // Inlined, as it runs for every name not found at the place expected.
    __attribute__((always_inline)) PyObject* Shared(StrCache& cache, const StringToken& token, std::size_t& slot) {
        const std::string_view bytes = token.Bytes();
        const NameWords words = WordsOf(bytes);
        const std::size_t place = words.Slot();
        const StrCache::Entry* entry = cache.Find(place);
        PyObject* text = nullptr;
        if (entry != nullptr && entry->words == words &&
            (bytes.size() <= 16 || std::memcmp(entry->bytes, bytes.data(), bytes.size()) == 0)) {
            text = Py_NewRef(entry->str);
        } else {
            text = MakeStr(token);
            if (text == nullptr) return nullptr;
            cache.Put(place, {bytes.data(), words, Py_NewRef(text), StrCache::kNone});
        }
        slot = place;
        return text;
    }

    // Whether the string token at p (its opening quote) is the name of the filled
    // slot of the name cache.
    bool IsNameAt(std::size_t slot, const char* p) const {
        const auto& entry = *names.Find(slot);
        const std::size_t size = entry.words.size;
        if (static_cast<std::size_t>(end - p) < size + 2 || p[size + 1] != '"') return false;
        const std::string_view name(p + 1, size);
        return WordsOf(name) == entry.words && (size <= 16 || std::memcmp(entry.bytes, name.data(), size) == 0);
    }

    // A name's length and its first and last eight bytes: the whole of a name of up to
    // 16 bytes, and enough of a longer one to pick its slot in the name cache, which is
    // cheaper than hashing every byte (names that collide only cost a miss).
    struct NameWords {
        std::size_t size;
        std::uint64_t head;
        std::uint64_t tail;  // 0 for a name of up to 8 bytes

        bool operator==(const NameWords& other) const {
            return size == other.size && head == other.head && tail == other.tail;
        }
        std::size_t Slot() const {
            const std::uint64_t mixed = (head ^ (tail * 0x9E3779B97F4A7C15u) ^ size) * 0xFF51AFD7ED558CCDu;
            return static_cast<std::size_t>(mixed >> (64 - kNameSlotBits));
        }
    };

    // The first eight bytes are read whole where the text has them, and those beyond a
    // shorter name masked off (the first bytes are the low ones on a little-endian
    // machine).
    NameWords WordsOf(std::string_view name) const {
        NameWords words{name.size(), 0, 0};
        if (end - name.data() >= 8) {
            std::memcpy(&words.head, name.data(), 8);
            if (words.size < 8) words.head &= (std::uint64_t{1} << (8 * words.size)) - 1;
        } else {
            std::memcpy(&words.head, name.data(), words.size);
        }
        if (words.size > 8) std::memcpy(&words.tail, name.data() + words.size - 8, 8);
        return words;
    }

    // Scans a string token, checking its UTF-8 and escapes and measuring its str as
    // it goes: plain ASCII a block of 16 bytes at a time. A string that is more than
    // plain ASCII is decoded in the same pass from its first other byte on.
    bool String(StringToken& token) {
        const char* p = ++position;  // "
        token.begin = p;
        while (true) {
            if (end - p >= kBlock) {
                const unsigned offset = FirstToAttend(p);
                p += offset;
                if (offset == kBlock) continue;
            } else {
                while (p != end && IsPlain(static_cast<unsigned char>(*p))) ++p;
                if (p == end) return false;
            }
            break;
        }
        if (*p != '"') {
            p = DecodeRest(token, p);
            if (p == nullptr) return false;
        } else {
            token.length = static_cast<Py_ssize_t>(p - token.begin);
            token.width = Width::Ascii;
            token.escaped = false;
            token.decoded = nullptr;
        }
        token.end = p;
        position = p + 1;
        return true;
    }

    // The rest of a string token from p, the first byte that is not plain ASCII (an
    // escape, a byte of another script, or a control character, which ends the
    // reading): checks and decodes it into the decoded room, the plain ASCII before p
    // included. Returns the closing quote, or null.
    const char* DecodeRest(StringToken& token, const char* p) {
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
                const int size = Escape(p, width);
                if (size == 0) return nullptr;
                DecodeEscape(p, codepoint);
                escaped = true;
                *out++ = static_cast<char32_t>(codepoint);
                p += size;
                continue;
            }
            if (c < 0x80) return nullptr;  // a control character
            // Words in another script, with the single spaces or punctuation between
            // them taken here rather than by the block. Each character takes a byte at
            // least, so stopping at stop keeps within the room.
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
        token.length = static_cast<Py_ssize_t>(out - decoded.get());
        token.width = width;
        token.escaped = escaped;
        token.decoded = decoded.get();
        return p;
    }

    // Makes the decoded room hold more code points after the first used ones, which it
    // keeps; false when it cannot grow.
    bool Room(std::size_t used, std::size_t more) {
        return used + more <= static_cast<std::size_t>(decodedEnd - decoded.get()) || Grow(used, more);
    }

    // Room's growth, out of the way of the reading of characters.
    __attribute__((noinline)) bool Grow(std::size_t used, std::size_t more) {
        const auto capacity = static_cast<std::size_t>(decodedEnd - decoded.get());
        const std::size_t grown = std::max({used + more, 2 * capacity, std::size_t{256}});
        std::unique_ptr<char32_t[]> room(new (std::nothrow) char32_t[grown]);
        if (!room) return false;
        if (used != 0) std::memcpy(room.get(), decoded.get(), used * sizeof(char32_t));
        decoded = std::move(room);
        decodedEnd = decoded.get() + grown;
        return true;
    }

    // The length of the escape at p (its backslash), with width widened to hold its
    // code point; 0 when it is not one the JSON library accepts (a surrogate must be
    // the high half of a pair written as two escapes).
    int Escape(const char* p, Width& width) const {
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

    PyObject* Number() {
        const char* const start = position;
        const char* p = position;
        const bool negative = *p == '-';
        if (negative) ++p;
        if (p == end || !IsDigit(*p)) return nullptr;
        const char* const integer = p;
        p = *p == '0' ? p + 1 : SkipDigits(p);
        const char* const integerEnd = p;
        const char* fraction = p;
        const char* fractionEnd = p;
        bool isFloat = false;
        if (p != end && *p == '.') {
            isFloat = true;
            fraction = ++p;
            if (p == end || !IsDigit(*p)) return nullptr;
            p = fractionEnd = SkipDigits(p);
        }
        std::int64_t exponent = 0;  // of ten, to apply to the digits
        if (p != end && (*p == 'e' || *p == 'E')) {
            isFloat = true;
            ++p;
            const bool negativeExponent = p != end && *p == '-';
            if (p != end && (*p == '+' || *p == '-')) ++p;
            if (p == end || !IsDigit(*p)) return nullptr;
            int written = 0;
            for (; p != end && IsDigit(*p); ++p) written = std::min(written * 10 + (*p - '0'), kLongExponent);
            // The exact case below needs the exponent exactly, and the digits before a
            // long one may bring the value back into range ("0.", ten thousand zeros,
            // "1e10005"); from_chars reads any exponent.
            if (written == kLongExponent) {
                position = p;
                return FloatOf(start, p);
            }
            exponent = negativeExponent ? -written : written;
        }
        position = p;
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
            if (fits && !negative) return PyLong_FromUnsignedLongLong(magnitude);
            if (fits && magnitude <= std::uint64_t{1} << 63) {
                // -2^63 itself has no positive counterpart among the signed integers.
                return PyLong_FromLongLong(magnitude == std::uint64_t{1} << 63
                                               ? INT64_MIN
                                               : -static_cast<long long>(magnitude));
            }
            // Beyond 64 bits the JSON library keeps the number as a double.
            return FloatOf(start, p);
        }
        // The significant digits: those of the integer part and the fraction, less the
        // zeros that lead the fraction of a number below one.
        const char* significantFraction = fraction;
        if (integerEnd - integer == 1 && *integer == '0') {
            while (significantFraction != fractionEnd && *significantFraction == '0') ++significantFraction;
        }
        const std::ptrdiff_t significant =
            (integerEnd - integer == 1 && *integer == '0' ? 0 : integerEnd - integer) + (fractionEnd - significantFraction);
        // Every digit of the fraction counts, its leading zeros too, however many.
        exponent -= fractionEnd - fraction;
        if (significant <= 15 && exponent >= -22 && exponent <= 22) {
            // At most 15 digits and a power of ten up to 22 are exact doubles, as
            // coordinates and prices are: one division or multiplication then rounds
            // correctly, as from_chars does.
            static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
            std::uint64_t mantissa = 0;
            if (significantFraction == fraction) mantissa = Accumulate(integer, integerEnd, 0);
            mantissa = Accumulate(significantFraction, fractionEnd, mantissa);
            const auto digits = static_cast<double>(mantissa);
            const double value = exponent < 0 ? digits / kPowers[-exponent] : digits * kPowers[exponent];
            return PyFloat_FromDouble(negative ? -value : value);
        }
        return FloatOf(start, p);
    }

    // Written exponents from this value up are left to from_chars.
    static constexpr int kLongExponent = 10000;

    // A double by from_chars, for the numbers the exact case above does not cover.
    static PyObject* FloatOf(const char* start, const char* stop) {
        double value = 0;
        const auto [last, error] = std::from_chars(start, stop, value);
        if (error != std::errc() || last != stop) return nullptr;  // beyond a double's range
        return PyFloat_FromDouble(value);
    }

    // The end of the run of digits from p.
    const char* SkipDigits(const char* p) const {
        std::uint64_t word = 0;
        while (end - p >= 8 && (std::memcpy(&word, p, 8), AllDigits(word))) p += 8;
        while (p != end && IsDigit(*p)) ++p;
        return p;
    }

    // mantissa followed by the digits from first to last (at most 19 digits in all),
    // eight at a time where there are eight.
    static std::uint64_t Accumulate(const char* first, const char* last, std::uint64_t mantissa) {
        for (; last - first >= 8; first += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, first, 8);
            mantissa = mantissa * 100000000u + EightDigits(word);
        }
        for (; first != last; ++first) mantissa = mantissa * 10 + static_cast<unsigned>(*first - '0');
        return mantissa;
    }

    const char* position;
    const char* end;
    const bool shareValues;
    // Elements of the arrays being read, innermost last.
    std::vector<PyRef> pending;
    // Members of the objects being read, innermost last.
    struct Member {
        std::string_view name;  // into the text or into escapedNames
        PyRef key;
        PyRef value;
    };
    std::vector<Member> members;
    // Names decoded from escapes, for sorting their objects' members (a list, which
    // costs nothing until a name needs it and keeps every name where it is).
    std::forward_list<std::string> escapedNames;
    // Strings read so far, by a hash of their bytes: member names, and short string
    // values. The slots are left uninitialised and a slot counts only once its bit in
    // filled is set, so that a reader costs nothing per slot to make and to destroy: on
    // a text of a kilobyte, zeroing and releasing every slot was a good part of the
    // whole call.
    static constexpr int kNameSlotBits = 8;
    class StrCache {
    public:
        // No slot.
        static constexpr std::uint16_t kNone = std::uint16_t{1} << kNameSlotBits;
        struct Entry {
            const char* bytes;  // into the text, words.size bytes
            NameWords words;
            PyObject* str;       // owned while the slot is filled
            std::uint16_t next;  // of a name: the slot of the name that followed it last, or kNone
        };
        StrCache() = default;
        StrCache(const StrCache&) = delete;
        StrCache& operator=(const StrCache&) = delete;
        ~StrCache() {
            for (std::size_t word = 0; word < kSlots / 64; ++word) {
                for (std::uint64_t bits = filled[word]; bits != 0; bits &= bits - 1) {
                    Py_DECREF(entries[word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))].str);
                }
            }
        }

        // Null for kNone as for a slot not filled.
        const Entry* Find(std::size_t slot) const {
            return slot < kSlots && Filled(slot) ? &entries[slot] : nullptr;
        }
        // For a filled slot.
        std::size_t Next(std::size_t slot) const { return entries[slot].next; }
        void SetNext(std::size_t slot, std::size_t next) { entries[slot].next = static_cast<std::uint16_t>(next); }
        // Takes entry's reference, releasing the one the slot held.
        void Put(std::size_t slot, const Entry& entry) {
            if (Filled(slot)) Py_DECREF(entries[slot].str);
            entries[slot] = entry;
            filled[slot / 64] |= std::uint64_t{1} << (slot % 64);
        }

        static constexpr std::size_t kSlots = std::size_t{1} << kNameSlotBits;

    private:
        bool Filled(std::size_t slot) const { return (filled[slot / 64] >> (slot % 64) & 1) != 0; }

        Entry entries[kSlots];
        std::uint64_t filled[kSlots / 64] = {};
    };
    StrCache names;
    // Made at the first short value of a large text: on a small one its room alone,
    // kept in the reader, cost more than sharing saves.
    std::unique_ptr<StrCache> shortValues;
    // The room for the code points of the last string decoded (StringToken::decoded),
    // and the end of that room.
    static constexpr int kBlock = 16;  // the bytes FirstToAttend looks at
    std::unique_ptr<char32_t[]> decoded;
    char32_t* decodedEnd = nullptr;
    // The slot of the first name of the last object read at each depth (modulo).
    static constexpr std::size_t kFirstNames = 16;
    std::uint16_t firstNames[kFirstNames] = {StrCache::kNone, StrCache::kNone, StrCache::kNone, StrCache::kNone,
                                             StrCache::kNone, StrCache::kNone, StrCache::kNone, StrCache::kNone,
                                             StrCache::kNone, StrCache::kNone, StrCache::kNone, StrCache::kNone,
                                             StrCache::kNone, StrCache::kNone, StrCache::kNone, StrCache::kNone};
};

}  // namespace

py::object LoadJson(std::string_view text) {
    Reader reader(text);
    if (PyObject* value = reader.Document()) {
        return py::reinterpret_steal<py::object>(value);
    }
    PyErr_Clear();
    return FromJson(ParseResult(std::string(text)));
}

}  // namespace Vexa::VexaPy
