#include "python/corvane/message_text.h"

#include <cstring>

namespace py = pybind11;

namespace Vexa::VexaPy {

py::str MessageText(const char* message) {
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "backslashreplace");
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(text);
}

}  // namespace Vexa::VexaPy
