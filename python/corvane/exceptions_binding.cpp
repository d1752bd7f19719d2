// The Python types of the exception family and their translators.
//
// The types follow the family's table (interfaces/exception_family.h), in its order.
// pybind11 tries translators in the reverse order of their registration, so
// registering the general classes first makes every native exception find its most
// specific Python type. ProviderException has no type of its own and arrives as
// VexaException; standard exceptions fall through to pybind11's own translation
// (RuntimeError with their text).

#include <exception>
#include <string>
#include <string_view>

#include <pybind11/pybind11.h>

#include "loader/exceptions.h"
#include "python/corvane/bindings.h"
#include "python/corvane/message_text.h"

namespace py = pybind11;

namespace Vexa::VexaPy {

namespace {

// The Python type of one native class: created once per process, under the
// thread-safe guard of a function-local static, and reused if already filled.
template <class Native>
py::exception<Native>& TypeSlot() {
    static py::exception<Native> type;
    return type;
}

// A Python base named in the table: a type registered before it, or a built-in.
py::object PythonBase(py::module_& module, const char* name) {
    if (py::hasattr(module, name)) return module.attr(name);
    return py::module_::import("builtins").attr(name);
}

template <class Native>
void RegisterException(py::module_& module, const char* name, const char* baseName) {
    if (std::string_view(baseName) == "NoPythonType") return;
    const py::object base = PythonBase(module, baseName);
    py::exception<Native>& type = TypeSlot<Native>();
    if (!type) {
        // Made here rather than by pybind11's constructor, which does not check that the
        // type was made and hides why not (a Ctrl-C, say) behind an error of its own.
        const std::string qualified = module.attr("__name__").cast<std::string>() + "." + name;
        PyObject* made = PyErr_NewException(qualified.c_str(), base.ptr(), nullptr);
        if (made == nullptr) {
            throw py::error_already_set();
        }
        static_cast<py::object&>(type) = py::reinterpret_steal<py::object>(made);
    }
    module.add_object(name, type);
    py::register_exception_translator([](std::exception_ptr pending) {
        if (!pending) {
            return;
        }
        try {
            std::rethrow_exception(pending);
        } catch (const Native& error) {
            // Like pybind11's own translator, but a message that is not UTF-8 keeps
            // its text (see MessageText).
            PyErr_SetObject(TypeSlot<Native>().ptr(), MessageText(error.what()).ptr());
        }
    });
}

}  // namespace

void RegisterExceptions(py::module_& module) {
#define VEXA_REGISTER_EXCEPTION(Name, Base, PythonBase) RegisterException<Name>(module, #Name, #PythonBase);
    VEXA_EXCEPTION_FAMILY(VEXA_REGISTER_EXCEPTION, VEXA_REGISTER_EXCEPTION)
#undef VEXA_REGISTER_EXCEPTION
}

}  // namespace Vexa::VexaPy
