#include "python/corvane/corvane_json.h"

namespace Vexa {

namespace {

CorvaneJson::Json Parsed(const std::string& text) { return {VexaPy::LoadJson(text)}; }

}  // namespace

// The parameter's text: compact, UTF-8 unescaped, members by name, non-finite
// numbers as null.
CorvaneJson::CorvaneJson(const JsonParameter& configuration) : client(configuration.text) {}

CorvaneJson::Json CorvaneJson::GetProperties(const std::string& propertiesConfig) {
    return Parsed(client.GetProperties(propertiesConfig));
}

CorvaneJson::Json CorvaneJson::GetNode(const std::string& path) { return Parsed(client.GetNode(path)); }

CorvaneJson::Json CorvaneJson::GetValue(const std::string& path) { return Parsed(client.GetValue(path)); }

CorvaneJson::Json CorvaneJson::GetSchema(const std::string& path, SchemaType type) {
    return Parsed(client.GetSchema(path, type));
}

CorvaneJson::Json CorvaneJson::ExecuteCommand(const std::string& path, const JsonParameter& parameters) {
    // Converted and parsed with the interpreter lock held; only the library call in
    // between runs without it.
    return Parsed(client.ExecuteCommand(path, parameters.text));
}

CorvaneJson::Json CorvaneJson::QueryNode(const std::string& path) { return Parsed(client.QueryNode(path)); }

}  // namespace Vexa
