// Conversion between Python values and JSON for the `json` parameters and results of
// CorvaneJson.
//
// Two routes give the same results:
//  - the reference route converts through a JSON value exactly as pybind11_json
//    does (the scalar cases are delegated to it), but bounds the nesting depth:
//    pybind11_json recurses once per level without limit, so a deeply nested value,
//    or a list or dict that contains itself, would exhaust the native stack and bring
//    the interpreter down;
//  - the direct route (DumpJson, LoadJson), which CorvaneJson uses, converts between
//    Python objects and text without a JSON value in between, and hands whatever it
//    does not handle itself to the reference route.
// In both:
//  - A Python value nested deeper than kMaxJsonDepth does not convert: the call is
//    rejected with the same TypeError as any other value that does not convert.
//  - A result text nested deeper than kMaxJsonDepth is refused before it is turned
//    into a JSON value, with JsonNestingError (a std::runtime_error, so Python sees
//    a RuntimeError, like the parser's own errors).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

namespace Vexa::VexaPy {

// Deepest nesting of arrays and objects converted in either direction: 512 nested
// lists pass, 513 do not.
inline constexpr int kMaxJsonDepth = 512;

class JsonNestingError : public std::runtime_error {
public:
    JsonNestingError();
};

// The reference route. Python to JSON: throws (JsonNestingError, std::runtime_error
// or a pybind11 exception) when any part of the value has no conversion.
nlohmann::json ToJson(pybind11::handle source);

// JSON to Python: a dict's keys in the order of the JSON value's members.
pybind11::object FromJson(const nlohmann::json& value);

// Parses a whole result text as one JSON value with nlohmann/json's default
// parser. Throws JsonNestingError when it is nested too deeply, and a
// std::runtime_error with the parser's message when it is not one JSON value.
nlohmann::json ParseResult(const std::string& text);

// The direct route: exactly what ToJson then dump() gives (compact, members by name,
// UTF-8 unescaped, non-finite numbers as null), and what ParseResult then FromJson
// gives, errors included.
std::string DumpJson(pybind11::handle source);
pybind11::object LoadJson(std::string_view text);

// A parameter of CorvaneJson: the compact JSON text of the Python value given.
// Results are their own type too, so that the conversions above apply to them, not
// pybind11_json's; signatures name both `json`.
struct JsonText {
    std::string text;
};

// A result of CorvaneJson: the Python value of the library's result text.
struct JsonValue {
    pybind11::object value;
};

}  // namespace Vexa::VexaPy

namespace pybind11::detail {

template <>
struct type_caster<Vexa::VexaPy::JsonText> {
public:
    PYBIND11_TYPE_CASTER(Vexa::VexaPy::JsonText, const_name("json"));

    // A value that does not convert is not an error here: the call then matches no
    // overload and pybind11 raises its TypeError.
    bool load(handle source, bool /*convert*/) {
        try {
            value.text = Vexa::VexaPy::DumpJson(source);
            return true;
        } catch (...) {
            return false;
        }
    }
};

template <>
struct type_caster<Vexa::VexaPy::JsonValue> {
public:
    PYBIND11_TYPE_CASTER(Vexa::VexaPy::JsonValue, const_name("json"));

    static handle cast(Vexa::VexaPy::JsonValue source, return_value_policy, handle) {
        return source.value.release();
    }
};

}  // namespace pybind11::detail
