// corvane_probe: a test-only module that reaches into the Corvane module's internals
// without widening Corvane's own surface.
//  - The JSON conversions side by side, so that the tests can compare the routes on
//    the same values: the direct route that Corvane uses, the bounded reference
//    route it falls back to, and pybind11_json's own caster.
//    The direct route also reads texts that end where their storage does.
//  - The interpreter check run at import, for version texts other than this
//    interpreter's.
//  - The sizes the module was compiled with, to compare with the interpreter's.
//  - A reference kept for ever, for the tests of a process that ends while events flow.

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>
#include <pybind11_json/pybind11_json.hpp>

#include "python/corvane/json_conversion.h"
#include "python/corvane/version_check.h"

namespace py = pybind11;

namespace {

// A Python value converted by the bounded reference route alone.
struct BoundedJson {
    nlohmann::json value;
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<BoundedJson> {
    PYBIND11_TYPE_CASTER(BoundedJson, const_name("json"));

    bool load(handle source, bool /*convert*/) {
        try {
            value.value = Vexa::VexaPy::ToJson(source);
            return true;
        } catch (...) {
            return false;
        }
    }
};

}  // namespace pybind11::detail

PYBIND11_MODULE(corvane_probe, module) {
    module.attr("MAX_JSON_DEPTH") = Vexa::VexaPy::kMaxJsonDepth;
    module.attr("COMPILED_PYTHON_VERSION") = Vexa::VexaPy::kCompiledPythonVersion;
    // The sizes the interpreter's headers gave the modules built with them.
    py::dict layout;
    layout["bits_per_digit"] = PYLONG_BITS_IN_DIGIT;
    layout["void_p"] = SIZEOF_VOID_P;
    layout["size_t"] = SIZEOF_SIZE_T;
    layout["time_t"] = SIZEOF_TIME_T;
    module.attr("COMPILED_LAYOUT") = layout;

    // Python value -> compact JSON text, or the TypeError of a value that does not convert.
    module.def("dump", [](const Vexa::VexaPy::JsonText& value) { return value.text; });
    module.def("bounded_dump", [](const BoundedJson& value) { return value.value.dump(); });
    module.def("reference_dump", [](const nlohmann::json& value) { return value.dump(); });

    // JSON text -> Python value.
    module.def("load", [](const std::string& text) { return Vexa::VexaPy::LoadJson(text); });
    // The same from a heap block of exactly the text's size, where a std::string keeps a
    // terminating zero after the text: a read past its end is one the address
    // sanitizer reports.
    module.def("load_unterminated", [](const std::string& text) {
        const auto block = std::make_unique<char[]>(text.size());
        if (!text.empty()) std::memcpy(block.get(), text.data(), text.size());
        return Vexa::VexaPy::LoadJson(std::string_view(block.get(), text.size()));
    });
    module.def("bounded_load", [](const std::string& text) {
        return Vexa::VexaPy::FromJson(Vexa::VexaPy::ParseResult(text));
    });
    module.def("reference_load", [](const std::string& text) { return nlohmann::json::parse(text); });

    // A reference that is never given back: the object outlives the interpreter's
    // finalization, as one that a native library keeps would.
    module.def("keep_forever", [](const py::object& value) { value.inc_ref(); });

    module.def("interpreter_matches", [](const std::string& interpreter, const std::string& compiled) {
        return Vexa::VexaPy::InterpreterMatches(interpreter.c_str(), compiled.c_str());
    });
}
