// vexa_bench: the native halves of the benchmark comparisons, reached from Python the
// same way Corvane is, so that both sides of a comparison pay the same entry costs.
//
//   load(bytes) -> object     Corvane's JSON text -> Python value route, on its own
//   dump(obj) -> int          Corvane's Python value -> JSON text route, on its own;
//                             returns the text's length so that no str is built
//   dump_text(obj) -> str     the same route's text, for checking what dump timed
//   bare_text(str) -> str     the least a pybind11 function taking a str and returning
//                             a std::string can cost; it returns the text that the
//                             bench client gives for GetValue("short")
//   floor(handler, source, payload, context, threads, count) -> int
//                             the least an event delivery into Python can cost:
//                             `threads` native threads each call handler(source,
//                             payload, context) `count` times, each call taking the
//                             interpreter lock and making the two str arguments afresh
//                             from the same C texts, as a client library's callback
//                             would. Returns the nanoseconds from starting the threads
//                             to having joined them; the interpreter lock is released
//                             meanwhile.

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <pybind11/pybind11.h>

#include "python/corvane/json_conversion.h"
#include "bench/workers.h"

namespace py = pybind11;

namespace {

constexpr const char* kShortText = "\"ok\"";

py::object Load(const py::bytes& text) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(text.ptr(), &data, &size) != 0) throw py::error_already_set();
    return Vexa::VexaPy::LoadJson(std::string_view(data, static_cast<std::size_t>(size)));
}

std::size_t Dump(py::handle value) { return Vexa::VexaPy::DumpJson(value).size(); }

py::str DumpText(py::handle value) { return Vexa::VexaPy::DumpJson(value); }

std::string BareText(const std::string& /*name*/) { return kShortText; }

PyObject* DecodeUtf8(const char* text) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
}

// One delivery, with nothing between the lock and the call but the two str arguments.
void DeliverOnce(PyObject* handler, const char* source, const char* payload, PyObject* context) {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyObject* arguments[3] = {DecodeUtf8(source), DecodeUtf8(payload), context};
    PyObject* result = nullptr;
    if (arguments[0] != nullptr && arguments[1] != nullptr) {
        result = PyObject_Vectorcall(handler, arguments, 3, nullptr);
    }
    if (result == nullptr) {
        // A handler that raises must not end the thread or leave the error set.
        PyErr_WriteUnraisable(handler);
    }
    Py_XDECREF(result);
    Py_XDECREF(arguments[1]);
    Py_XDECREF(arguments[0]);
    PyGILState_Release(state);
}

std::int64_t Floor(const py::function& handler, const std::string& source, const std::string& payload,
                   const py::object& context, int threads, long long count) {
    if (threads < 1 || count < 0) throw std::invalid_argument("floor: threads >= 1 and count >= 0");
    // handler and context stay referenced by the caller's arguments until we return.
    PyObject* const callable = handler.ptr();
    PyObject* const contextObject = context.ptr();
    const auto deliver = [&] {
        for (long long i = 0; i < count; ++i) DeliverOnce(callable, source.c_str(), payload.c_str(), contextObject);
    };
    py::gil_scoped_release unlocked;
    const auto start = std::chrono::steady_clock::now();
    {
        VexaBench::Workers workers;
        for (int t = 0; t < threads; ++t) workers.threads.emplace_back(deliver);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
}

}  // namespace

PYBIND11_MODULE(vexa_bench, module) {
    module.doc() = "Native halves of the Vexa benchmark comparisons";
    module.def("load", &Load, py::arg("text"));
    module.def("dump", &Dump, py::arg("value"));
    module.def("dump_text", &DumpText, py::arg("value"));
    module.def("bare_text", &BareText, py::arg("name"));
    module.def("floor", &Floor, py::arg("handler"), py::arg("source"), py::arg("payload"), py::arg("context"),
               py::arg("threads"), py::arg("count"));
}
