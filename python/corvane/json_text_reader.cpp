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
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/corvane/json_conversion.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

// An owned reference while a value is being built; released into its container.
struct PyRef {
    PyObject* object = nullptr;
    PyRef() = default;
    explicit PyRef(PyObject* owned) : object(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object); }
    PyObject* release() { return std::exchange(object, nullptr); }
};

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

// One pass over one text. Every member returns a new reference, or null when the
// text is not one it handles (a Python error may then be set; the caller clears it).
class Reader {
public:
    explicit Reader(std::string_view text) : position(text.data()), end(text.data() + text.size()) {}

    PyObject* Document() {
        SkipWhitespace();
        PyRef value(Value(0));
        if (value.object == nullptr) return nullptr;
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
                std::string_view utf8;
                if (!String(utf8)) return nullptr;
                return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict");
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
                PyObject* element = Value(depth);
                if (element == nullptr) {
                    ok = false;
                    break;
                }
                pending.push_back(element);
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
        for (std::size_t i = base; i < pending.size(); ++i) {
            if (list != nullptr) {
                PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i - base), pending[i]);
            } else {
                Py_DECREF(pending[i]);
            }
        }
        pending.resize(base);
        return list;
    }

    PyObject* Object(int depth) {
        if (depth > kMaxJsonDepth) return nullptr;
        ++position;  // {
        PyRef dict(PyDict_New());
        if (dict.object == nullptr) return nullptr;
        SkipWhitespace();
        if (position != end && *position == '}') {
            ++position;
            return dict.release();
        }
        // The previous member's name, to tell whether the names arrive in the JSON
        // library's order (as the framework writes them) and the dict needs no sort.
        std::string previousStorage;
        std::string_view previous;
        bool ordered = true;
        bool first = true;
        while (true) {
            SkipWhitespace();
            std::string_view name;
            if (position == end || *position != '"' || !String(name)) return nullptr;
            PyRef key(Name(name));
            if (key.object == nullptr) return nullptr;
            if (!first && !(previous < name)) {
                ordered = false;
            }
            first = false;
            if (ordered) {
                // A name decoded from escapes lives in the scratch buffer, which the
                // next string overwrites.
                if (name.data() == scratch.data()) {
                    previousStorage.assign(name);
                    previous = previousStorage;
                } else {
                    previous = name;
                }
            }
            SkipWhitespace();
            if (position == end || *position != ':') return nullptr;
            ++position;
            SkipWhitespace();
            PyRef value(Value(depth));
            if (value.object == nullptr || PyDict_SetItem(dict.object, key.object, value.object) != 0) {
                return nullptr;
            }
            SkipWhitespace();
            if (position != end && *position == ',') {
                ++position;
            } else if (position != end && *position == '}') {
                ++position;
                break;
            } else {
                return nullptr;
            }
        }
        return ordered ? dict.release() : Sorted(dict.object);
    }

    // A member's name as a str. Documents repeat the same few names many times, so
    // the str of a name read straight from the text is kept and shared, which saves
    // building and hashing it again.
    PyObject* Name(std::string_view name) {
        const bool cacheable = name.data() != scratch.data();
        std::size_t hash = 14695981039346656037u;
        for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
        NameCacheEntry& entry = names[hash % std::size(names)];
        if (cacheable && entry.key.object != nullptr && entry.name == name) {
            return Py_NewRef(entry.key.object);
        }
        PyObject* key = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
        if (key != nullptr && cacheable) {
            Py_XDECREF(entry.key.object);
            entry.key.object = Py_NewRef(key);
            entry.name = name;
        }
        return key;
    }

    // The members of dict by name (code point order is the order of the UTF-8 bytes).
    static PyObject* Sorted(PyObject* dict) {
        PyRef names(PyDict_Keys(dict));
        if (names.object == nullptr || PyList_Sort(names.object) != 0) return nullptr;
        PyRef sorted(PyDict_New());
        if (sorted.object == nullptr) return nullptr;
        const Py_ssize_t count = PyList_GET_SIZE(names.object);
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* name = PyList_GET_ITEM(names.object, i);
            if (PyDict_SetItem(sorted.object, name, PyDict_GetItem(dict, name)) != 0) return nullptr;
        }
        return sorted.release();
    }

    // Reads a string token; utf8 receives its decoded bytes, either a view into the
    // text (no escapes) or into the scratch buffer.
    bool String(std::string_view& utf8) {
        const char* start = ++position;  // "
        while (position != end) {
            const char c = *position;
            if (c == '"') {
                utf8 = std::string_view(start, static_cast<std::size_t>(position - start));
                ++position;
                return true;
            }
            if (c == '\\') break;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            ++position;
        }
        if (position == end) return false;
        scratch.assign(start, position);
        while (position != end) {
            const char c = *position;
            if (c == '"') {
                ++position;
                utf8 = scratch;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                scratch.push_back(c);
                ++position;
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
        if (*position == '0') {
            ++position;
        } else {
            while (position != end && IsDigit(*position)) ++position;
        }
        const char* integerEnd = position;
        bool isFloat = false;
        if (position != end && *position == '.') {
            isFloat = true;
            ++position;
            if (position == end || !IsDigit(*position)) return nullptr;
            while (position != end && IsDigit(*position)) ++position;
        }
        if (position != end && (*position == 'e' || *position == 'E')) {
            isFloat = true;
            ++position;
            if (position != end && (*position == '+' || *position == '-')) ++position;
            if (position == end || !IsDigit(*position)) return nullptr;
            while (position != end && IsDigit(*position)) ++position;
        }
        if (!isFloat) {
            std::uint64_t magnitude = 0;
            bool fits = true;
            for (const char* digit = start + (negative ? 1 : 0); digit != integerEnd && fits; ++digit) {
                fits = !__builtin_mul_overflow(magnitude, 10u, &magnitude) &&
                       !__builtin_add_overflow(magnitude, static_cast<unsigned>(*digit - '0'), &magnitude);
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
        double value = 0;
        const auto [stop, error] = std::from_chars(start, position, value);
        if (error != std::errc() || stop != position) return nullptr;  // beyond a double's range
        return PyFloat_FromDouble(value);
    }

    const char* position;
    const char* end;
    // Elements of the arrays being read, innermost last.
    std::vector<PyObject*> pending;
    // Decoded bytes of the last string that held escapes.
    std::string scratch;
    // Names read so far, by a hash of their bytes; name views into the text.
    struct NameCacheEntry {
        std::string_view name;
        PyRef key;
    };
    NameCacheEntry names[256];
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
