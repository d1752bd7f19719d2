// The Python types of the exception family and their translators.
//
// pybind11 tries translators in the reverse order of their registration, so
// registering the general classes first makes every native exception find its most
// specific Python type. ProviderException has no type of its own and arrives as
// VexaException; standard exceptions fall through to pybind11's own translation
// (RuntimeError with their text).

#include <exception>

#include <pybind11/pybind11.h>

#include "common/exceptions.h"
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

template <class Native>
py::handle RegisterException(py::module_& module, const char* name, py::handle base) {
    py::exception<Native>& type = TypeSlot<Native>();
    if (!type) {
        type = py::exception<Native>(module, name, base);
    } else {
        module.add_object(name, type);
    }
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
    return type;
}

}  // namespace

void RegisterExceptions(py::module_& module) {
    const py::handle vexa = RegisterException<VexaException>(module, "VexaException", PyExc_RuntimeError);
    const py::handle framework = RegisterException<FrameworkException>(module, "FrameworkException", vexa);
    RegisterException<LimitExceededException>(module, "LimitExceededException", framework);
    RegisterException<TimeoutException>(module, "TimeoutException", PyExc_Exception);
    RegisterException<InvalidArgumentException>(module, "InvalidArgumentException", PyExc_Exception);
    RegisterException<AccessDeniedException>(module, "AccessDeniedException", PyExc_Exception);
    RegisterException<JsonException>(module, "JsonException", PyExc_Exception);
    RegisterException<ProviderNotFoundException>(module, "ProviderNotFoundException", PyExc_Exception);
}

}  // namespace Vexa::VexaPy
