// PyRef: one owned reference to a Python object, for code that works on PyObject*
// directly (the JSON text reader and writer) rather than through pybind11's objects.
// The reference is given back in one destructor, so an early return or an exception
// (an allocation that fails while a container grows) cannot leak it. Needs the
// interpreter lock wherever a PyRef that holds an object is reset or destroyed.
#pragma once

#include <Python.h>

#include <utility>

namespace Vexa::VexaPy {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over owned, a new reference (or null).
    explicit PyRef(PyObject* owned) noexcept : object(owned) {}
    PyRef(PyRef&& other) noexcept : object(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        reset(other.release());
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object); }

    PyObject* get() const noexcept { return object; }
    explicit operator bool() const noexcept { return object != nullptr; }

    // Owns owned instead; the old reference is dropped last, since dropping it may run
    // a finalizer.
    void reset(PyObject* owned = nullptr) noexcept { Py_XDECREF(std::exchange(object, owned)); }

    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object, nullptr); }

    // For a function that stores a new reference through a PyObject**: drops the one
    // held and returns where the new one goes.
    PyObject** addressof() noexcept {
        reset();
        return &object;
    }

private:
    PyObject* object = nullptr;
};

}  // namespace Vexa::VexaPy
