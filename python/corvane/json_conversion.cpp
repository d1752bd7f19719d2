#include "python/corvane/json_conversion.h"

#include <cstddef>

#include <pybind11_json/pybind11_json.hpp>

#include "python/corvane/message_text.h"

namespace py = pybind11;
using nlohmann::json;

namespace Vexa::VexaPy {

JsonNestingError::JsonNestingError()
    : std::runtime_error("JSON value nested deeper than " + std::to_string(kMaxJsonDepth) + " levels") {}

namespace {

bool IsArray(py::handle source) {
    return py::isinstance<py::tuple>(source) || py::isinstance<py::list>(source);
}

// depth: the number of arrays and objects that enclose source.
json ToJson(py::handle source, int depth) {
    const bool isArray = IsArray(source);
    if (!isArray && !py::isinstance<py::dict>(source)) {
        // Not a container: pybind11_json converts it without recursing.
        return pyjson::to_json(source);
    }
    if (depth >= kMaxJsonDepth) {
        throw JsonNestingError();
    }
    if (isArray) {
        json out = json::array();
        for (const py::handle element : source) {
            out.push_back(ToJson(element, depth + 1));
        }
        return out;
    }
    json out = json::object();
    for (const py::handle key : source) {
        // As in pybind11_json: the value first, then the key's str() text; a text
        // that repeats an earlier key's replaces that member.
        json member = ToJson(source[key], depth + 1);
        out[py::str(key).cast<std::string>()] = std::move(member);
    }
    return out;
}

// Walks a text with nlohmann/json's parser without building a value and notes
// whether arrays and objects nest deeper than the bound. Syntax errors are left to
// the real parse that follows.
class NestingProbe {
public:
    bool null() { return true; }
    bool boolean(bool) { return true; }
    bool number_integer(json::number_integer_t) { return true; }
    bool number_unsigned(json::number_unsigned_t) { return true; }
    bool number_float(json::number_float_t, const json::string_t&) { return true; }
    bool string(json::string_t&) { return true; }
    bool binary(json::binary_t&) { return true; }
    bool key(json::string_t&) { return true; }
    bool start_object(std::size_t) { return Enter(); }
    bool start_array(std::size_t) { return Enter(); }
    bool end_object() { return Leave(); }
    bool end_array() { return Leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) { return false; }

    bool TooDeep() const { return tooDeep; }

private:
    bool Enter() {
        if (++depth > kMaxJsonDepth) {
            tooDeep = true;
            return false;
        }
        return true;
    }
    bool Leave() {
        --depth;
        return true;
    }

    int depth = 0;
    bool tooDeep = false;
};

}  // namespace

json ToJson(py::handle source) { return ToJson(source, 0); }

py::object FromJson(const json& value) {
    // ParseResult has bounded the depth of every value that reaches this point, so
    // pybind11_json's own recursion is safe here.
    return pyjson::from_json(value);
}

json ParseResult(const std::string& text) {
    NestingProbe probe;
    json::sax_parse(text, &probe);
    if (probe.TooDeep()) {
        throw JsonNestingError();
    }
    try {
        return json::parse(text);
    } catch (const json::parse_error& error) {
        // Same text, but the bytes it quotes from the input may not be UTF-8.
        throw std::runtime_error(MessageText(error.what()).cast<std::string>());
    }
}

}  // namespace Vexa::VexaPy
