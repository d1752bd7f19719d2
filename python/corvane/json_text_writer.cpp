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
            for (Py_ssize_t i = 0; i < size; ++i) {
                if (i > 0) out.Put(',');
                if (!Value(isList ? PyList_GET_ITEM(value, i) : PyTuple_GET_ITEM(value, i), depth + 1)) {
                    return false;
                }
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
            return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
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
        int overflow = 0;
        const long long signedValue = PyLong_AsLongLongAndOverflow(value, &overflow);
        constexpr std::size_t kDigits = 24;  // 20 digits and a sign at most
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

    void Float(double value) {
        if (!std::isfinite(value)) {
            out.PutLiteral("null");
            return;
        }
        // The room the JSON library's own number buffer has.
        constexpr std::size_t kDigits = 64;
        char* const w = out.Room(kDigits);
        out.Commit(LibraryInternals::ShortestNumberText(w, w + kDigits, value));
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

    static bool NeedsEscape(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

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
