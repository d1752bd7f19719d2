// Vexa::CorvaneJson: the native object behind the Python class CorvaneJson. The same
// operations as Vexa::VexaPy::ClientApi, speaking JSON values instead of texts: the
// configuration and command parameters are serialised compactly, and every text
// result is parsed.
#pragma once

#include <string>

#include "interfaces/schema_type.h"
#include "python/corvane/json_conversion.h"
#include "python/corvane/python_client_api.h"

namespace Vexa {

class CorvaneJson {
public:
    using Json = VexaPy::JsonValue;
    using JsonParameter = VexaPy::JsonText;

    CorvaneJson() = default;
    explicit CorvaneJson(const JsonParameter& configuration);
    ~CorvaneJson() = default;

    CorvaneJson(const CorvaneJson&) = delete;
    CorvaneJson& operator=(const CorvaneJson&) = delete;

    Json GetProperties(const std::string& propertiesConfig);
    Json GetNode(const std::string& path);
    Json GetValue(const std::string& path);
    Json GetSchema(const std::string& path, SchemaType type);
    Json ExecuteCommand(const std::string& path, const JsonParameter& parameters);
    Json QueryNode(const std::string& path);
    void SetValue(const std::string& path, bool value) { client.SetValue(path, value); }
    void SetValue(const std::string& path, long long value) { client.SetValue(path, value); }
    void SetValue(const std::string& path, double value) { client.SetValue(path, value); }
    void SetValue(const std::string& path, const std::string& value) { client.SetValue(path, value); }
    void SetValue(const std::string& path, const char* value) { client.SetValue(path, value); }

    // The wrapper, for the event subscriptions made through this object.
    Vexa::ClientApi& Wrapper() { return client.Wrapper(); }

private:
    VexaPy::ClientApi client;
};

}  // namespace Vexa
