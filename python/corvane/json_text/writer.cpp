// DumpJson: Python value -> compact JSON text, written straight from the Python
// objects instead of building a nlohmann/json value first.
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
//
// This file is the walk through the value, lists and dicts included; strings are
// written by string_writer.h, doubles by number_text.h, into text_buffer.h.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/corvane/cpython_internals.h"
#include "python/corvane/json_conversion.h"
#include "python/corvane/json_text/bytes.h"
#include "python/corvane/json_text/number_text.h"
#include "python/corvane/json_text/string_writer.h"
#include "python/corvane/json_text/text_buffer.h"
#include "python/corvane/library_internals.h"
#include "python/corvane/py_ref.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

using namespace DirectJson;

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
            WriteBase64(out, reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value)),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
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
            if (members.size() - scope.base > 1 && !NameBefore(members[members.size() - 2].name, name)) {
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
            WriteString(out, members[i].name);
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
        const auto byName = [](const Member& a, const Member& b) { return NameBefore(a.name, b.name); };
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

    // An int of at most two internal digits (below 2^60 in magnitude, which covers
    // nearly every int a parameter holds) is read from the object itself; a larger one
    // through the interpreter's calls.
    bool Integer(PyObject* value) {
        constexpr std::size_t kDigits = 24;  // 20 digits and a sign at most
        long long small = 0;
        if (CPythonInternals::SmallIntValue(value, small)) {
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

    void Float(double value) {
        if (!std::isfinite(value)) {
            out.PutLiteral("null");
            return;
        }
        // The room nlohmann/json's own number buffer has.
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
            WriteString(out, std::string_view(static_cast<const char*>(PyUnicode_DATA(text)), length));
            return true;
        }
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: return WriteCodePoints(out, PyUnicode_1BYTE_DATA(text), length);
            case PyUnicode_2BYTE_KIND: return WriteCodePoints(out, PyUnicode_2BYTE_DATA(text), length);
            default: return WriteCodePoints(out, PyUnicode_4BYTE_DATA(text), length);
        }
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
