// The entry point of the Corvane extension module.
//
// Written out rather than through PYBIND11_MODULE so that the interpreter check is
// the one of version_check.h, which the tests exercise, and so that a failure to
// create the module object is reported as an ImportError instead of escaping.
//
// The module lives in the main interpreter only. The framework's threads enter Python
// through the main interpreter, the handler table and the exit hook that ends
// deliveries are one per process, and the exception types and pybind11's registrations
// are process-wide objects of the interpreter that made them. In a subinterpreter,
// whose end would run that exit hook for everyone, none of this can be sound, so the
// import is refused there.

#include <exception>
#include <optional>

#include <pybind11/pybind11.h>

#include "python/corvane/bindings.h"
#include "python/corvane/library_internals.h"
#include "python/corvane/version_check.h"

namespace py = pybind11;

namespace {

// Registration order is part of the module's surface.
void DefineModule(py::module_& module) {
    module.doc() = py::str("Pybinding for ClientApi");
    Vexa::VexaPy::BindSchemaType(module);
    Vexa::VexaPy::RegisterExceptions(module);
    Vexa::VexaPy::BindClientApi(module);
    Vexa::VexaPy::BindCorvaneJson(module);
}

py::module_::module_def corvaneModuleDefinition;

bool pybind11StateHalfMade = false;

constexpr const char* kHalfMadeState =
    "initialization failed: an earlier import was interrupted while pybind11 set up its state; restart the "
    "interpreter";

constexpr const char* kSubinterpreterRefusal =
    "Corvane cannot be imported in a subinterpreter; import it in the main interpreter (its event handlers run "
    "there)";

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_Corvane() {
    using Vexa::VexaPy::kCompiledPythonVersion;
    const char* interpreterVersion = Py_GetVersion();
    if (!Vexa::VexaPy::InterpreterMatches(interpreterVersion, kCompiledPythonVersion)) {
        PyErr_Format(PyExc_ImportError,
                     "Python version mismatch: module was compiled for Python %s, but the interpreter "
                     "version is incompatible: %s.",
                     kCompiledPythonVersion, interpreterVersion);
        return nullptr;
    }
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreterRefusal);
        return nullptr;
    }
    // Imported again in the main interpreter (after leaving sys.modules): the module
    // is made once per process.
    if (PyObject* built = PyState_FindModule(&corvaneModuleDefinition)) {
        return Py_NewRef(built);
    }
    if (pybind11StateHalfMade) {
        PyErr_SetString(PyExc_ImportError, kHalfMadeState);
        return nullptr;
    }
    using Vexa::VexaPy::LibraryInternals::TypeRegistrations;
    std::optional<TypeRegistrations> before;
    try {
        // pybind11 publishes its shared state before it has made the types in it: once
        // that fails half-way, every later use of pybind11 in this process would crash.
        pybind11StateHalfMade = true;
        Vexa::VexaPy::LibraryInternals::CreatePybind11Internals();
        pybind11StateHalfMade = false;
        before.emplace();
        // create_extension_module hands back a borrowed handle on the new reference
        // that this function returns; on failure the module object goes with `module`.
        auto module = py::module_::create_extension_module("Corvane", nullptr, &corvaneModuleDefinition);
        try {
            DefineModule(module);
            // A state size of -1 would have the interpreter copy this module's
            // dictionary into any other interpreter that imports it, without asking
            // this function; with 0 every later import comes here, and a
            // subinterpreter is refused above.
            corvaneModuleDefinition.m_size = 0;
            return module.ptr();
        } catch (...) {
            module.dec_ref();
            throw;
        }
    } catch (py::error_already_set& error) {
        // A later import starts afresh, after an interrupted one too.
        if (before) before->ForgetLaterOnes();
        // The user's Ctrl-C, or a request to exit, is no failure of the module: a
        // program that falls back on ImportError must not swallow it.
        if (error.matches(PyExc_KeyboardInterrupt) || error.matches(PyExc_SystemExit)) {
            error.restore();
            return nullptr;
        }
        py::raise_from(error, PyExc_ImportError, "initialization failed");
        return nullptr;
    } catch (const std::exception& error) {
        if (before) before->ForgetLaterOnes();
        PyErr_SetString(PyExc_ImportError, error.what());
        return nullptr;
    }
}
