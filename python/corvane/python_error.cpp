#include "python/corvane/python_error.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace Vexa::VexaPy {

void SetPythonErrorFromNative(const char* unknownText) {
    if (py::detail::apply_exception_translators(py::detail::get_local_internals().registered_exception_translators)) {
        return;
    }
    if (!py::detail::apply_exception_translators(py::detail::get_internals().registered_exception_translators)) {
        PyErr_SetString(PyExc_SystemError, unknownText);
    }
}

}  // namespace Vexa::VexaPy
