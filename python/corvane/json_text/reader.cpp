// LoadJson: result text -> Python value, building the Python objects straight from
// the text instead of going through a nlohmann/json value first.
//
// The reader accepts exactly what nlohmann/json's parser accepts and gives exactly what
// ParseResult followed by FromJson gives. It handles the texts the framework produces;
// anything unusual (a syntax error, nesting beyond the bound, a number out of the
// double's range, bytes that are not UTF-8, a byte order mark) makes it give up, and
// the reference route then parses the whole text again, so that errors and rare cases
// come out of the one implementation that defines them.
//
// What the reference route does, and the reader therefore does too:
//  - an object's members come out in nlohmann/json's order, by the bytes of their
//    names, and a repeated name keeps its last value;
//  - an integer that fits a signed or an unsigned 64-bit integer is an int, a larger
//    one a float; a number with a fraction or an exponent is a float.
//
// This file is the walk through the text; the tokens are read by string_scanner.h and
// number_parser.h, their strs shared through str_cache.h, the lists and dicts built by
// containers.h.
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
#include "python/corvane/json_text/bytes.h"
#include "python/corvane/json_text/containers.h"
#include "python/corvane/json_text/number_parser.h"
#include "python/corvane/json_text/str_cache.h"
#include "python/corvane/json_text/str_from_token.h"
#include "python/corvane/json_text/string_scanner.h"
#include "python/corvane/py_ref.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

using namespace DirectJson;

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

    bool String(StringToken& token) {
        const char* const next = strings.Scan(position, end, token);
        if (next == nullptr) return false;
        position = next;
        return true;
    }

    PyObject* Number() {
        const ParsedNumber number = ParseNumber(position, end);
        position = number.end;
        switch (number.kind) {
            case ParsedNumber::Kind::Unsigned: return PyLong_FromUnsignedLongLong(number.unsignedValue);
            case ParsedNumber::Kind::Negative: return PyLong_FromLongLong(number.signedValue);
            case ParsedNumber::Kind::Double: return PyFloat_FromDouble(number.doubleValue);
            case ParsedNumber::Kind::NotANumber:
            case ParsedNumber::Kind::OutOfRange: break;  // the reference route decides
        }
        return nullptr;
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
        PyObject* list = ok ? ListOf(pending, base) : nullptr;
        pending.resize(base);
        return list;
    }

    PyObject* Object(int depth) {
        if (depth > kMaxJsonDepth) return nullptr;
        ++position;  // {
        if (members.capacity() == 0) members.reserve(32);
        const std::size_t base = members.size();
        // Whether the names arrive in nlohmann/json's order, as the framework writes
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
                if (known != nullptr && names.IsAt(expected, position, end)) {
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
                if (members.size() > base && !NameBefore(members.back().name, name)) ordered = false;
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
        PyObject* dict = ok ? dicts.DictOf(members, base, ordered) : nullptr;
        members.resize(base);
        return dict;
    }

    // A member's name as a str: shared when read straight from the text; slot: where
    // the name cache keeps it, or StrCache::kNone.
    PyObject* Name(const StringToken& token, std::size_t& slot) {
        slot = StrCache::kNone;
        if (token.escaped) return MakeStr(token);  // not kept
        return names.Share(token, end, slot);
    }

    // A string value of up to kShortValue bytes read without escapes, in a text of at
    // least kShareValuesFrom bytes, shared too: one str for all of them takes less
    // memory than one each. On a large result that saves the interpreter more time than
    // the lookups cost, as its objects fill whole arenas of the interpreter's memory;
    // on a small one it does not.
    static constexpr std::ptrdiff_t kShortValue = 16;  // compared whole by their NameWords
    static constexpr std::size_t kShareValuesFrom = 64 * 1024;
    PyObject* ShortValue(const StringToken& token) {
        if (!shortValues) {
            shortValues.reset(new (std::nothrow) StrCache);
            if (!shortValues) return MakeStr(token);  // not shared, then
        }
        std::size_t slot = StrCache::kNone;
        return shortValues->Share(token, end, slot);
    }

    const char* position;
    const char* end;
    const bool shareValues;
    StringScanner strings;
    DictBuilder dicts;
    // Elements of the arrays being read, innermost last.
    std::vector<PyRef> pending;
    // Members of the objects being read, innermost last.
    std::vector<Member> members;
    // Names decoded from escapes, for sorting their objects' members (a list, which
    // costs nothing until a name needs it and keeps every name where it is).
    std::forward_list<std::string> escapedNames;
    StrCache names;
    // Made at the first short value of a large text: on a small one its room alone,
    // kept in the reader, cost more than sharing saves.
    std::unique_ptr<StrCache> shortValues;
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
