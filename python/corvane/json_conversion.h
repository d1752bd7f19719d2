// Conversion between Python values and JSON values for the `json` parameters and
// results of CorvaneJson.
//
// It converts exactly as pybind11_json does (the scalar cases are delegated to it),
// but bounds the nesting depth: pybind11_json recurses once per level without
// limit, so a deeply nested value, or a list or dict that contains itself, would
// exhaust the native stack and bring the interpreter down.
//  - A Python value nested deeper than kMaxJsonDepth does not convert: the call is
//    rejected with the same TypeError as any other value that does not convert.
//  - A result text nested deeper than kMaxJsonDepth is refused before it is turned
//    into a JSON value, with JsonNestingError (a std::runtime_error, so Python sees
//    a RuntimeError, like the parser's own errors).
#pragma once

#include <stdexcept>
#include <string>

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

// One JSON value as a parameter or result of CorvaneJson. It is its own type only so
// that the bounded conversion below, not pybind11_json's, applies to it; signatures
// still name it `json`.
struct Json {
    nlohmann::json value;
};

// Python to JSON. Throws (JsonNestingError, std::runtime_error or a pybind11
// exception) when any part of the value has no conversion.
nlohmann::json ToJson(pybind11::handle source);

// JSON to Python: a dict's keys in the order of the JSON value's members.
pybind11::object FromJson(const nlohmann::json& value);

// Parses a whole result text as one JSON value with the JSON library's default
// parser. Throws JsonNestingError when it is nested too deeply, and a
// std::runtime_error with the parser's message when it is not one JSON value.
nlohmann::json ParseResult(const std::string& text);

}  // namespace Vexa::VexaPy

namespace pybind11::detail {

template <>
struct type_caster<Vexa::VexaPy::Json> {
public:
    PYBIND11_TYPE_CASTER(Vexa::VexaPy::Json, const_name("json"));

    // A value that does not convert is not an error here: the call then matches no
    // overload and pybind11 raises its TypeError.
    bool load(handle source, bool /*convert*/) {
        try {
            value.value = Vexa::VexaPy::ToJson(source);
            return true;
        } catch (...) {
            return false;
        }
    }

    static handle cast(const Vexa::VexaPy::Json& source, return_value_policy, handle) {
        return Vexa::VexaPy::FromJson(source.value).release();
    }
};

}  // namespace pybind11::detail
