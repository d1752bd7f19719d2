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
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/corvane/json_conversion.h"
#include "python/corvane/json_text_bytes.h"
#include "python/corvane/py_ref.h"

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

// The length of the UTF-8 sequence that starts at p (a byte of 0x80 or above), with
// width widened to hold its code point; 0 when it is not UTF-8 as the JSON library
// accepts it (no overlong forms, no surrogates, nothing beyond U+10FFFF).
int Utf8Sequence(const unsigned char* p, const unsigned char* stop, Width& width) {
    const auto continuation = [](unsigned char byte) { return (byte & 0xC0) == 0x80; };
    const unsigned char lead = *p;
    if (lead >= 0xC2 && lead <= 0xDF) {
        if (stop - p < 2 || !continuation(p[1])) return 0;
        width = std::max(width, lead <= 0xC3 ? Width::Latin1 : Width::Ucs2);
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (stop - p < 3 || !continuation(p[1]) || !continuation(p[2])) return 0;
        if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F)) return 0;
        width = std::max(width, Width::Ucs2);
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (stop - p < 4 || !continuation(p[1]) || !continuation(p[2]) || !continuation(p[3])) return 0;
        if ((lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F)) return 0;
        width = Width::Ucs4;
        return 4;
    }
    return 0;
}

// The decoded bytes of a string token, with what its str needs: the number of code
// points and the narrowest width that holds them all.
struct StringToken {
    std::string_view utf8;
    Py_ssize_t length = 0;
    Width width = Width::Ascii;
};

// Measures utf8 into token; false when it is not UTF-8.
bool MeasureUtf8(std::string_view utf8, StringToken& token) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const stop = p + utf8.size();
    token = {utf8, 0, Width::Ascii};
    while (p != stop) {
        const int size = *p < 0x80 ? 1 : Utf8Sequence(p, stop, token.width);
        if (size == 0) return false;
        p += size;
        ++token.length;
    }
    return true;
}

// Decodes UTF-8 that MeasureUtf8 accepted into code points of type Char.
template <typename Char>
void DecodeUtf8(std::string_view utf8, Char* out) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const stop = p + utf8.size();
    while (p != stop) {
        const std::uint32_t lead = *p;
        if (lead < 0x80) {
            *out++ = static_cast<Char>(lead);
            ++p;
        } else if (lead < 0xE0) {
            *out++ = static_cast<Char>(((lead & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (lead < 0xF0) {
            *out++ = static_cast<Char>(((lead & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F));
            p += 3;
        } else {
            *out++ = static_cast<Char>(((lead & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
                                       (p[3] & 0x3F));
            p += 4;
        }
    }
}

// The str of a measured token, built in its final width at once: the interpreter's
// generic decoder starts narrow and widens (copying) at the first wider code point,
// which costs most on the non-ASCII text that results carry.
PyObject* MakeStr(const StringToken& token) {
    static constexpr Py_UCS4 kMaxChar[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    PyObject* text = PyUnicode_New(token.length, kMaxChar[static_cast<int>(token.width)]);
    if (text == nullptr) return nullptr;
    switch (token.width) {
        case Width::Ascii: std::memcpy(PyUnicode_DATA(text), token.utf8.data(), token.utf8.size()); break;
        case Width::Latin1: DecodeUtf8(token.utf8, PyUnicode_1BYTE_DATA(text)); break;
        case Width::Ucs2: DecodeUtf8(token.utf8, PyUnicode_2BYTE_DATA(text)); break;
        case Width::Ucs4: DecodeUtf8(token.utf8, PyUnicode_4BYTE_DATA(text)); break;
    }
    return text;
}

// One pass over one text. Every member returns a new reference, or null when the
// text is not one it handles (a Python error may then be set; the caller clears it).
class Reader {
public:
    explicit Reader(std::string_view text) : position(text.data()), end(text.data() + text.size()) {}

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
                return String(token) ? MakeStr(token) : nullptr;
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
        const std::size_t base = members.size();
        // Whether the names arrive in the JSON library's order, as the framework writes
        // them, and need no sort.
        bool ordered = true;
        bool ok = true;
        SkipWhitespace();
        if (position != end && *position == '}') {
            ++position;
        } else {
            while (ok) {
                SkipWhitespace();
                StringToken token;
                ok = position != end && *position == '"' && String(token);
                if (!ok) break;
                PyRef key(Name(token));
                std::string_view name = token.utf8;
                if (name.data() == scratch.data()) {
                    // Decoded from escapes into the scratch buffer, which the next
                    // string overwrites.
                    name = escapedNames.emplace_back(name);
                }
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
    // place. Sized for its members at once, with the interpreter's own call for that
    // (outside the stable ABI, like the rest of this module, which is built for one
    // interpreter version).
    PyObject* Dict(std::size_t base, bool ordered) {
        const auto first = members.begin() + static_cast<std::ptrdiff_t>(base);
        if (!ordered) {
            std::stable_sort(first, members.end(),
                             [](const Member& a, const Member& b) { return JsonTextBytes::Before(a.name, b.name); });
        }
        PyRef dict(_PyDict_NewPresized(static_cast<Py_ssize_t>(members.size() - base)));
        if (!dict) return nullptr;
        for (auto member = first; member != members.end(); ++member) {
            if (PyDict_SetItem(dict.get(), member->key.get(), member->value.get()) != 0) return nullptr;
        }
        return dict.release();
    }

    // A member's name as a str. Documents repeat the same few names many times, so
    // the str of a name read straight from the text is kept and shared, which saves
    // building and hashing it again.
    PyObject* Name(const StringToken& token) {
        const std::string_view name = token.utf8;
        if (name.data() == scratch.data()) return MakeStr(token);  // decoded from escapes: not kept
        const NameWords words = WordsOf(name);
        const std::size_t slot = words.Slot();
        NameCache::Entry* entry = names.Find(slot);
        if (entry != nullptr && entry->words == words &&
            (name.size() <= 16 || std::memcmp(entry->name, name.data(), name.size()) == 0)) {
            return Py_NewRef(entry->key);
        }
        PyObject* key = MakeStr(token);
        if (key != nullptr) names.Put(slot, {name.data(), words, Py_NewRef(key)});
        return key;
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

    // Reads a string token; its utf8 is a view into the text (no escapes) or into the
    // scratch buffer. Without escapes, the bytes are checked and measured as they are
    // scanned, and plain ASCII a word at a time.
    bool String(StringToken& token) {
        const char* start = ++position;  // "
        std::size_t continuations = 0;  // the bytes after the first of each sequence
        token.width = Width::Ascii;
        while (true) {
            std::uint64_t word = 0;
            // Plain ASCII a word at a time.
            while (end - position >= 8 && (std::memcpy(&word, position, 8),
                                           !JsonTextBytes::AnyToEscape(word) && !JsonTextBytes::AnyNonAscii(word))) {
                position += 8;
            }
            if (position == end) return false;
            const auto c = static_cast<unsigned char>(*position);
            if (c == '"') break;
            if (c == '\\') return EscapedString(start, token);
            if (c < 0x20) return false;
            if (c < 0x80) {
                ++position;
                continue;
            }
            const int size = Utf8Sequence(reinterpret_cast<const unsigned char*>(position),
                                          reinterpret_cast<const unsigned char*>(end), token.width);
            if (size == 0) return false;
            position += size;
            continuations += static_cast<std::size_t>(size - 1);
        }
        token.utf8 = std::string_view(start, static_cast<std::size_t>(position - start));
        token.length = static_cast<Py_ssize_t>(token.utf8.size() - continuations);
        ++position;
        return true;
    }

    // The rest of String for a string with escapes, from its first backslash: decodes
    // into the scratch buffer, then measures that.
    bool EscapedString(const char* start, StringToken& token) {
        scratch.assign(start, position);
        while (position != end) {
            const char c = *position;
            if (c == '"') {
                ++position;
                return MeasureUtf8(scratch, token);
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                // The bytes up to the next quote, backslash or control character at once.
                const char* run = position;
                while (position != end && *position != '"' && *position != '\\' &&
                       static_cast<unsigned char>(*position) >= 0x20) {
                    ++position;
                }
                scratch.append(run, position);
                continue;
            }
            if (++position == end) return false;
            switch (*position++) {
                case '"': scratch.push_back('"'); break;
                case '\\': scratch.push_back('\\'); break;
                case '/': scratch.push_back('/'); break;
                case 'b': scratch.push_back('\b'); break;
                case 'f': scratch.push_back('\f'); break;
                case 'n': scratch.push_back('\n'); break;
                case 'r': scratch.push_back('\r'); break;
                case 't': scratch.push_back('\t'); break;
                case 'u': {
                    std::uint32_t codepoint = 0;
                    if (!Escape(codepoint)) return false;
                    if (codepoint >= 0xDC00 && codepoint <= 0xDFFF) return false;
                    if (codepoint >= 0xD800 && codepoint <= 0xDBFF) {
                        std::uint32_t low = 0;
                        if (!Consume("\\u") || !Escape(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        codepoint = 0x10000 + ((codepoint - 0xD800) << 10) + (low - 0xDC00);
                    }
                    AppendUtf8(scratch, codepoint);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    // The four hexadecimal digits after \u.
    bool Escape(std::uint32_t& codepoint) {
        if (end - position < 4) return false;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexDigit(*position++);
            if (digit < 0) return false;
            codepoint = (codepoint << 4) | static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    PyObject* Number() {
        const char* start = position;
        const bool negative = *position == '-';
        if (negative) ++position;
        if (position == end || !IsDigit(*position)) return nullptr;
        // The digits of the integer part and fraction, as long as there are at most 19
        // significant ones: then they make an exact unsigned integer.
        std::uint64_t mantissa = 0;
        int significant = 0;
        if (*position == '0') {
            ++position;
        } else {
            Digits(mantissa, significant);
        }
        const char* integerEnd = position;
        bool isFloat = false;
        int exponent = 0;  // of ten, to apply to mantissa; kept while small enough to matter
        if (position != end && *position == '.') {
            isFloat = true;
            const char* fractionStart = ++position;
            if (position == end || !IsDigit(*position)) return nullptr;
            Digits(mantissa, significant);
            exponent = -static_cast<int>(std::min<std::ptrdiff_t>(position - fractionStart, 10000));
        }
        if (position != end && (*position == 'e' || *position == 'E')) {
            isFloat = true;
            ++position;
            const bool negativeExponent = *position == '-';
            if (position != end && (*position == '+' || *position == '-')) ++position;
            if (position == end || !IsDigit(*position)) return nullptr;
            int written = 0;
            for (; position != end && IsDigit(*position); ++position) {
                written = std::min(written * 10 + (*position - '0'), 10000);
            }
            exponent += negativeExponent ? -written : written;
        }
        if (!isFloat) {
            std::uint64_t magnitude = mantissa;
            bool fits = significant <= 19;
            if (!fits) {
                // Twenty digits may still fit.
                fits = true;
                magnitude = 0;
                for (const char* digit = start + (negative ? 1 : 0); digit != integerEnd && fits; ++digit) {
                    fits = !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
                           !__builtin_add_overflow(magnitude, static_cast<unsigned>(*digit - '0'), &magnitude);
                }
            }
            if (fits && !negative) return PyLong_FromUnsignedLongLong(magnitude);
            if (fits && magnitude <= std::uint64_t{1} << 63) {
                // -2^63 itself has no positive counterpart among the signed integers.
                return PyLong_FromLongLong(magnitude == std::uint64_t{1} << 63
                                               ? INT64_MIN
                                               : -static_cast<long long>(magnitude));
            }
            // Beyond 64 bits the JSON library keeps the number as a double.
        }
        if (significant <= 15 && exponent >= -22 && exponent <= 22) {
            // At most 15 digits and a power of ten up to 22 are exact doubles, as
            // coordinates and prices are: one division or multiplication then rounds
            // correctly, as from_chars does.
            static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
            const auto digits = static_cast<double>(mantissa);
            const double value = exponent < 0 ? digits / kPowers[-exponent] : digits * kPowers[exponent];
            return PyFloat_FromDouble(negative ? -value : value);
        }
        double value = 0;
        const auto [stop, error] = std::from_chars(start, position, value);
        if (error != std::errc() || stop != position) return nullptr;  // beyond a double's range
        return PyFloat_FromDouble(value);
    }

    // Reads a run of digits into mantissa, counting the significant ones; past 19 of
    // them significant stays at 20 and mantissa means nothing.
    void Digits(std::uint64_t& mantissa, int& significant) {
        for (; position != end && IsDigit(*position); ++position) {
            if (significant >= 20) continue;
            const auto digit = static_cast<unsigned>(*position - '0');
            if (significant > 0 || digit != 0) ++significant;
            mantissa = mantissa * 10 + digit;
        }
    }

    const char* position;
    const char* end;
    // Elements of the arrays being read, innermost last.
    std::vector<PyRef> pending;
    // Members of the objects being read, innermost last.
    struct Member {
        std::string_view name;  // into the text or into escapedNames
        PyRef key;
        PyRef value;
    };
    std::vector<Member> members;
    // Names decoded from escapes, for sorting their objects' members.
    std::deque<std::string> escapedNames;
    // Decoded bytes of the last string that held escapes.
    std::string scratch;
    // Names read so far, by a hash of their bytes. The slots are left uninitialised and
    // a slot counts only once its bit in filled is set, so that a reader costs nothing
    // per slot to make and to destroy: on a text of a kilobyte, zeroing and releasing
    // every slot was a good part of the whole call.
    static constexpr int kNameSlotBits = 8;
    class NameCache {
    public:
        struct Entry {
            const char* name;  // into the text, words.size bytes
            NameWords words;
            PyObject* key;     // owned while the slot is filled
        };
        NameCache() = default;
        NameCache(const NameCache&) = delete;
        NameCache& operator=(const NameCache&) = delete;
        ~NameCache() {
            for (std::size_t word = 0; word < kSlots / 64; ++word) {
                for (std::uint64_t bits = filled[word]; bits != 0; bits &= bits - 1) {
                    Py_DECREF(entries[word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits))].key);
                }
            }
        }

        Entry* Find(std::size_t slot) { return Filled(slot) ? &entries[slot] : nullptr; }
        // Takes entry's reference, releasing the one the slot held.
        void Put(std::size_t slot, const Entry& entry) {
            if (Filled(slot)) Py_DECREF(entries[slot].key);
            entries[slot] = entry;
            filled[slot / 64] |= std::uint64_t{1} << (slot % 64);
        }

        static constexpr std::size_t kSlots = std::size_t{1} << kNameSlotBits;

    private:
        bool Filled(std::size_t slot) const { return (filled[slot / 64] >> (slot % 64) & 1) != 0; }

        Entry entries[kSlots];
        std::uint64_t filled[kSlots / 64] = {};
    };
    NameCache names;
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
