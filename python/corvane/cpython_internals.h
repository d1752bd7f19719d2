// The interfaces of CPython outside its public C API that Corvane relies on, and the
// only place that names them: they belong to one interpreter version and may change in
// any release. Written for CPython 3.11, the version of Debian's python3.11 and of the
// headers the Windows build compiles against; on any other version this fails to
// compile, so that an upgrade checks each use below against the new sources first
// rather than falling back silently to a slower path. library_internals.h does the same
// for pybind11 and nlohmann/json.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "cpython_internals.h is written for CPython 3.11 (PY_VERSION_HEX 0x030Bxxxx): check each use in it against the headers of the version being built for, then change this check"
#endif

#include <cstddef>

namespace Vexa::VexaPy::CPythonInternals {

// A dict of the values with the names of a tuple of str, as the interpreter makes the
// dict of keyword arguments (_PyStack_AsDict): sized at once, with the table for str
// keys, whose entries keep no hash (the interpreter's other call that sizes a dict at
// once, _PyDict_NewPresized, makes the general table beyond five entries). A new
// reference, or null with a Python error set.
inline PyObject* DictOfNamedValues(PyObject* const* values, PyObject* names) { return _PyStack_AsDict(values, names); }

// The value of an int whose magnitude has at most two of the interpreter's internal
// digits (below 2^60), read from the object itself rather than through a call: in 3.11
// an int's Py_SIZE is its number of digits, negative for a negative int, and ob_digit
// holds them, least significant first. False, with result untouched, for a larger int.
inline bool SmallIntValue(PyObject* value, long long& result) {
    static_assert(PyLong_SHIFT <= 31, "two digits must fit in a long long");
    const auto* number = reinterpret_cast<const PyLongObject*>(value);
    const Py_ssize_t size = Py_SIZE(value);
    if (size < -2 || size > 2) return false;
    const Py_ssize_t count = size < 0 ? -size : size;
    long long magnitude = 0;
    if (count >= 1) magnitude = static_cast<long long>(number->ob_digit[0]);
    if (count == 2) magnitude |= static_cast<long long>(number->ob_digit[1]) << PyLong_SHIFT;
    result = size < 0 ? -magnitude : magnitude;
    return true;
}

// An int from its two's complement bytes, least significant first (_PyLong_FromByteArray):
// the fuzz target makes ints of any width with it. A new reference, or null with a
// Python error set.
inline PyObject* IntFromSignedLittleEndian(const unsigned char* bytes, std::size_t size) {
    return _PyLong_FromByteArray(bytes, size, /*little_endian=*/1, /*is_signed=*/1);
}

}  // namespace Vexa::VexaPy::CPythonInternals
