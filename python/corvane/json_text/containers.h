// The lists and dicts of a result, built from the values the reader has gathered for
// them. The values of the arrays and objects being read wait in one vector each,
// innermost last; a finished array or object takes its own from the end.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include <Python.h>

#include "python/corvane/py_ref.h"

namespace Vexa::VexaPy::DirectJson {

// A list of the values in pending from base on, which it takes (their places stay, and
// the caller drops them). A new reference, or null with a Python error set.
PyObject* ListOf(std::vector<PyRef>& pending, std::size_t base);

// A member of an object being read.
struct Member {
    std::string_view name;  // the name's UTF-8 bytes, which order the members
    PyRef key;
    PyRef value;
};

// Builds dicts, keeping what it reuses from one to the next. Needs the interpreter lock.
class DictBuilder {
public:
    // The dict of the members from base on, by name; of equal names the last one's
    // value stays, at the first one's place. ordered: whether they are in order by name
    // already, as the framework writes them. Sorts them (their places stay, and the
    // caller drops them). A new reference, or null with a Python error set.
    PyObject* DictOf(std::vector<Member>& members, std::size_t base, bool ordered);

private:
    PyObject* NamedDict(const std::vector<Member>& members, std::size_t base);

    // Up to five members fit the smallest table, which a new dict takes at its first
    // member; from there to kMaxNamed the dict is sized at once.
    static constexpr std::size_t kSmallDict = 5;
    static constexpr std::size_t kMaxNamed = 64;
    // The tuples of names NamedDict passes, by their size modulo kNameTuples (the
    // objects of a result mostly have a few counts of members). Their items are null
    // whenever NamedDict is not running, so that releasing them releases nothing else.
    static constexpr std::size_t kNameTuples = 8;
    PyRef namesOfCount[kNameTuples];
};

}  // namespace Vexa::VexaPy::DirectJson
