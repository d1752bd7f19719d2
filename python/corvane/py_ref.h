// PyRef: one owned reference to a Python object, for code that works on PyObject*
// directly (the JSON text reader and writer) rather than through pybind11's objects.
// It is the one owner template with Py_DECREF as its release, so an early return or an
// exception (an allocation that fails while a container grows) cannot leak the
// reference. Needs the interpreter lock wherever a PyRef that holds an object is reset
// or destroyed; reset drops the old reference last, since dropping it may run a finalizer.
#pragma once

#include <Python.h>

#include "interfaces/unique_resource.h"

namespace Vexa::VexaPy {

// Py_DECREF is a macro; the owner template needs a function, and this one stays inline.
inline void DropReference(PyObject* object) { Py_DECREF(object); }

using PyRef = UniqueResource<PyObject*, DropReference>;

}  // namespace Vexa::VexaPy
