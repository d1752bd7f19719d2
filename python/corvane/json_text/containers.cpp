#include "python/corvane/json_text/containers.h"

#include <algorithm>

#include "python/corvane/cpython_internals.h"
#include "python/corvane/json_text/bytes.h"

namespace Vexa::VexaPy::DirectJson {

PyObject* ListOf(std::vector<PyRef>& pending, std::size_t base) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(pending.size() - base));
    if (list == nullptr) return nullptr;
    for (std::size_t i = base; i < pending.size(); ++i) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i - base), pending[i].release());
    }
    return list;
}

// Code point order is the order of the UTF-8 bytes. The dict's table is the one for str
// keys, whose entries keep no hash: with the general table, which a dict sized at once
// by the interpreter's usual call gets beyond five members, the dicts of a result of
// many small objects took nearly a quarter more memory than those of Python's
// json.loads.
PyObject* DictBuilder::DictOf(std::vector<Member>& members, std::size_t base, bool ordered) {
    const auto first = members.begin() + static_cast<std::ptrdiff_t>(base);
    if (!ordered) {
        std::stable_sort(first, members.end(),
                         [](const Member& a, const Member& b) { return NameBefore(a.name, b.name); });
    }
    const std::size_t count = members.size() - base;
    if (count > kSmallDict && count <= kMaxNamed) return NamedDict(members, base);
    // Up to five members, and beyond kMaxNamed, the dict grows as those of Python's
    // json.loads do.
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (auto member = first; member != members.end(); ++member) {
        if (PyDict_SetItem(dict.get(), member->key.get(), member->value.get()) != 0) return nullptr;
    }
    return dict.release();
}

// The interpreter sizes a dict of keyword arguments at once, with the table for str
// keys; the members from base on are given to it as such: their names in a tuple of
// their count, kept by the builder.
PyObject* DictBuilder::NamedDict(const std::vector<Member>& members, std::size_t base) {
    const std::size_t count = members.size() - base;
    PyRef& names = namesOfCount[count % kNameTuples];
    if (!names || static_cast<std::size_t>(PyTuple_GET_SIZE(names.get())) != count) {
        names.reset(PyTuple_New(static_cast<Py_ssize_t>(count)));
        if (!names) return nullptr;
        // Out of the collector's sight: a finalizer that a collection during the call
        // runs must not find it (gc.get_objects()) with its items borrowed or null.
        PyObject_GC_UnTrack(names.get());
    }
    PyObject* values[kMaxNamed];
    for (std::size_t i = 0; i < count; ++i) {
        // Borrowed: the members hold them until the dict does.
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), members[base + i].key.get());
        values[i] = members[base + i].value.get();
    }
    PyObject* dict = CPythonInternals::DictOfNamedValues(values, names.get());
    for (std::size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), nullptr);
    return dict;
}

}  // namespace Vexa::VexaPy::DirectJson
