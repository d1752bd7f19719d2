#include "tessaly/data_tree.h"

#include <cmath>
#include <utility>

#include "interfaces/exception_family.h"
#include "shared/framework_constants.h"

using nlohmann::json;

namespace Vexa::Framework {

namespace {

constexpr long long kMinimumIntervalMs = 10;
constexpr long long kMaximumIntervalMs = 60000;

// The settings and their defaults; settings.reset restores these. Each tree keeps its
// own copy rather than sharing a static one: a client still alive when the process
// exits samples on while the statics are destroyed, and an unloaded library must leave
// nothing behind.
std::vector<std::pair<std::string, json>> DefaultSettings() {
    return {
        {"label", "Vexa sample"},
        {"threshold", 23.0},
        {"interval_ms", 100},
        {"alarm_enabled", true},
    };
}
const char* KindName(NodeKind kind) {
    switch (kind) {
        case NodeKind::Folder: return "folder";
        case NodeKind::Value: return "value";
        case NodeKind::Command: return "command";
    }
    return "unknown";
}

const char* JsonTypeName(const json& value) {
    if (value.is_number_integer()) return "integer";
    if (value.is_number_float()) return "double";
    if (value.is_boolean()) return "boolean";
    if (value.is_string()) return "string";
    return value.type_name();
}

bool IsUtf8(const std::string& text) {
    try {
        (void)json(text).dump();
        return true;
    } catch (const json::type_error&) {
        return false;
    }
}

json ObjectSchema(json properties, const std::string& description) {
    return json{{"type", "object"}, {"description", description}, {"properties", std::move(properties)}};
}

}  // namespace

std::pair<std::string, std::string> SplitPath(const std::string& path) {
    auto dot = path.rfind('.');
    if (dot == std::string::npos) return {"", path};
    return {path.substr(0, dot), path.substr(dot + 1)};
}

const char* DataTree::TypeName(ValueType type) {
    switch (type) {
        case ValueType::String: return "string";
        case ValueType::Integer: return "integer";
        case ValueType::Double: return "double";
        case ValueType::Boolean: return "boolean";
    }
    return "unknown";
}

DataTree::DataTree() : settingDefaults(DefaultSettings()) {
    Node root;
    root.description = "Sample framework data tree";
    nodes.emplace("", std::move(root));

    Node sensors;
    sensors.description = "Simulated sensors, sampled periodically while any event is subscribed";
    Add("", "sensors", std::move(sensors));
    AddValue("sensors", "temperature", ValueType::Double, false, 21.5, "Temperature in degrees Celsius");
    AddValue("sensors", "humidity", ValueType::Double, false, 45.0, "Relative humidity in percent");
    AddValue("sensors", "ticks", ValueType::Integer, false, 0, "Number of samples taken");
    AddValue("sensors", "alarm", ValueType::Boolean, false, false,
             "Temperature above settings.threshold while settings.alarm_enabled is set");
    AddValue("sensors", "status", ValueType::String, false, "ok", "\"ok\" or \"alarm\"");
    AddCommand("sensors", "sample", "Takes one sample of every sensor now",
               json{{"type", {"object", "null"}}}, ObjectSchema({{"ticks", {{"type", "integer"}}}}, "Samples taken so far"));

    Node settings;
    settings.description = "Writable settings";
    Add("", "settings", std::move(settings));
    const auto& defaults = settingDefaults;
    AddValue("settings", "label", ValueType::String, true, defaults[0].second, "Free text label");
    AddValue("settings", "threshold", ValueType::Double, true, defaults[1].second,
             "Alarm threshold in degrees Celsius");
    AddValue("settings", "interval_ms", ValueType::Integer, true, defaults[2].second,
             "Sensor sampling period in milliseconds");
    Node& interval = nodes.at("settings.interval_ms");
    interval.minimum = kMinimumIntervalMs;
    interval.maximum = kMaximumIntervalMs;
    AddValue("settings", "alarm_enabled", ValueType::Boolean, true, defaults[3].second,
             "Whether sensors.alarm may be raised");
    AddCommand("settings", "reset", "Restores every setting to its default",
               json{{"type", {"object", "null"}}},
               ObjectSchema({{"changed", {{"type", "array"}, {"items", {{"type", "string"}}}}}},
                            "Names of the settings that changed"));

    Node diagnostics;
    diagnostics.description = "Commands for testing clients";
    Add("", "diagnostics", std::move(diagnostics));
    AddCommand("diagnostics", "echo", "Returns the parameter text unchanged", json::object(),
               json{{"description", "The parameter text"}});
    AddCommand("diagnostics", "sleep", "Returns after the given number of milliseconds",
               json{{"type", "object"},
                    {"properties", {{"ms", {{"type", "integer"}, {"minimum", 0}, {"maximum", 600000}}}}},
                    {"required", {"ms"}}},
               ObjectSchema({{"slept_ms", {{"type", "integer"}}}}, "The time slept"));
    AddCommand("diagnostics", "emit",
               "Delivers count notifications (source, payload) to every callback registered "
               "under a path beginning with source followed by a dot, and returns when all "
               "have been delivered",
               json{{"type", "object"},
                    {"properties",
                     {{"source", {{"type", "string"}, {"minLength", 1}}},
                      {"payload", {{"type", "string"}}},
                      {"count", {{"type", "integer"}, {"minimum", 0}, {"maximum", 1000000}}}}},
                    {"required", {"source", "payload"}}},
               ObjectSchema({{"deliveries", {{"type", "integer"}}}}, "Callback calls made"));
    AddCommand("diagnostics", "raw", "Returns the text member of the parameters as the result, unparsed",
               json{{"type", "object"},
                    {"properties", {{"text", {{"type", "string"}}}}},
                    {"required", {"text"}}},
               json{{"description", "The text, verbatim"}});
    AddCommand("diagnostics", "fail", "Throws the named exception with the given message and code",
               json{{"type", "object"},
                    {"properties",
                     {{"exception", {{"type", "string"}}},
                      {"message", {{"type", "string"}}},
                      {"code", {{"type", "integer"}}}}},
                    {"required", {"exception"}}},
               json{{"not", json::object()}});

    Node providers;
    providers.description = "Providers listed in the provider catalog";
    Add("", "providers", std::move(providers));
}

Node& DataTree::Add(const std::string& parent, const std::string& name, Node node) {
    node.path = parent.empty() ? name : parent + "." + name;
    nodes.at(parent).children.push_back(name);
    std::string path = node.path;
    return nodes.insert_or_assign(path, std::move(node)).first->second;
}

void DataTree::AddValue(const std::string& parent, const std::string& name, ValueType type,
                        bool writable, json value, const std::string& description) {
    Node node;
    node.kind = NodeKind::Value;
    node.type = type;
    node.writable = writable;
    node.value = std::move(value);
    node.description = description;
    Add(parent, name, std::move(node));
}

void DataTree::AddCommand(const std::string& parent, const std::string& name,
                          const std::string& description, json parameterSchema, json resultSchema) {
    Node node;
    node.kind = NodeKind::Command;
    node.description = description;
    node.parameterSchema = std::move(parameterSchema);
    node.resultSchema = std::move(resultSchema);
    Add(parent, name, std::move(node));
}

const Node& DataTree::Get(const std::string& path) const {
    auto found = nodes.find(path);
    if (found == nodes.end())
        throw ProviderNotFoundException("No node at path \"" + path + "\"", kNotFound);
    return found->second;
}

json DataTree::Describe(const Node& node) const {
    json description{{"path", node.path},
                     {"name", SplitPath(node.path).second},
                     {"kind", KindName(node.kind)},
                     {"description", node.description}};
    if (node.kind == NodeKind::Value) {
        description["type"] = TypeName(node.type);
        description["writable"] = node.writable;
    }
    return description;
}

json DataTree::ValueOf(const Node& node) const {
    switch (node.kind) {
        case NodeKind::Value: return node.value;
        case NodeKind::Folder: {
            json values = json::object();
            for (const std::string& name : node.children) {
                const Node& child = nodes.at(node.path.empty() ? name : node.path + "." + name);
                if (child.kind != NodeKind::Command) values[name] = ValueOf(child);
            }
            return values;
        }
        case NodeKind::Command: break;
    }
    throw InvalidArgumentException(node.path + " is a command and has no value", kInvalidArgument);
}

json DataTree::ValueSchema(const Node& node) const {
    // JSON Schema calls a double a number.
    const char* schemaType = node.type == ValueType::Double ? "number" : TypeName(node.type);
    json schema{{"type", schemaType},
                {"description", node.description},
                {"readOnly", !node.writable}};
    if (node.minimum) schema["minimum"] = *node.minimum;
    if (node.maximum) schema["maximum"] = *node.maximum;
    return schema;
}

json DataTree::DataSchema(const Node& node) const {
    if (node.kind == NodeKind::Value) return ValueSchema(node);
    if (node.kind == NodeKind::Command)
        throw InvalidArgumentException(node.path + " is a command and has no data schema",
                                       kInvalidArgument);
    json properties = json::object();
    for (const std::string& name : node.children) {
        const Node& child = nodes.at(node.path.empty() ? name : node.path + "." + name);
        if (child.kind != NodeKind::Command) properties[name] = DataSchema(child);
    }
    return ObjectSchema(std::move(properties), node.description);
}

// A notification about a change below folder F has source F and a payload object with
// exactly one member: the changed child's name and its new value.
json DataTree::EventSchema(const Node& node) const {
    const Node* folder = &node;
    json properties = json::object();
    if (node.kind == NodeKind::Value) {
        folder = &nodes.at(SplitPath(node.path).first);
        properties[SplitPath(node.path).second] = ValueSchema(node);
    } else if (node.kind == NodeKind::Folder) {
        for (const std::string& name : node.children) {
            const Node& child = nodes.at(node.path.empty() ? name : node.path + "." + name);
            if (child.kind == NodeKind::Value) properties[name] = ValueSchema(child);
        }
    }
    if (properties.empty() || folder->path.rfind("providers", 0) == 0)
        throw InvalidArgumentException("No events are sent for \"" + node.path + "\"", kInvalidArgument);
    json schema = ObjectSchema(std::move(properties),
                               "Notification with source \"" + folder->path + "\" naming the changed value");
    schema["minProperties"] = 1;
    schema["maxProperties"] = 1;
    return schema;
}

json DataTree::Schema(const Node& node, int type) const {
    switch (type) {
        case SchemaType::DATA: return DataSchema(node);
        case SchemaType::EVENT: return EventSchema(node);
        case SchemaType::COMMAND:
        case SchemaType::RESULT:
            if (node.kind != NodeKind::Command)
                throw InvalidArgumentException("\"" + node.path + "\" is not a command", kInvalidArgument);
            return type == SchemaType::COMMAND ? node.parameterSchema : node.resultSchema;
        case SchemaType::INIT:
            if (!node.path.empty())
                throw InvalidArgumentException("Only the root \"\" has an initialisation schema",
                                               kInvalidArgument);
            return json{{"type", {"object", "null", "string", "number", "boolean", "array"}},
                        {"description", "Configuration text given at creation; any JSON value, "
                                        "an object may set these members"},
                        {"properties",
                         {{"interval_ms",
                           {{"type", "integer"}, {"minimum", kMinimumIntervalMs}, {"maximum", kMaximumIntervalMs}}},
                          {"simulate_sensors", {{"type", "boolean"}}}}}};
    }
    throw InvalidArgumentException("Unknown schema type " + std::to_string(type), kInvalidArgument);
}

json DataTree::Checked(const std::string& path, const json& value) const {
    const Node& node = Get(path);
    if (node.kind != NodeKind::Value)
        throw InvalidArgumentException("\"" + path + "\" is a " + KindName(node.kind) +
                                           "; only values can be set",
                                       kInvalidArgument);
    if (!node.writable) throw AccessDeniedException("\"" + path + "\" is read-only", kAccessDenied);
    return Normalized(node, value);
}

std::optional<ValueChange> DataTree::Update(const std::string& path, const json& value) {
    Node& node = nodes.at(path);
    return Store(node, Normalized(node, value));
}

json DataTree::Normalized(const Node& node, const json& value) const {
    const std::string& path = node.path;
    auto mismatch = [&] {
        return InvalidArgumentException("\"" + path + "\" holds a " + TypeName(node.type) +
                                            " value; a " + JsonTypeName(value) + " does not fit",
                                        kInvalidArgument);
    };
    switch (node.type) {
        case ValueType::String:
            if (!value.is_string()) throw mismatch();
            if (!IsUtf8(value.get_ref<const std::string&>()))
                throw InvalidArgumentException("Text for \"" + path + "\" is not valid UTF-8",
                                               kInvalidArgument);
            return value;
        case ValueType::Integer: {
            if (!value.is_number_integer()) throw mismatch();
            long long number = value.get<long long>();
            if ((node.minimum && number < *node.minimum) || (node.maximum && number > *node.maximum))
                throw InvalidArgumentException(
                    "\"" + path + "\" must lie between " + std::to_string(*node.minimum) + " and " +
                        std::to_string(*node.maximum),
                    kInvalidArgument);
            return value;
        }
        case ValueType::Double: {
            // An integer is a fine double (Python passes 3 for 3.0); a boolean is not.
            if (!value.is_number()) throw mismatch();
            double number = value.get<double>();
            if (!std::isfinite(number))
                throw InvalidArgumentException("\"" + path + "\" takes finite numbers only",
                                               kInvalidArgument);
            return json(number);
        }
        case ValueType::Boolean:
            if (!value.is_boolean()) throw mismatch();
            return value;
    }
    throw mismatch();
}

std::optional<ValueChange> DataTree::Store(Node& node, const json& value) {
    if (node.value == value) return std::nullopt;
    node.value = value;
    auto [source, key] = SplitPath(node.path);
    return ValueChange{source, key, value};
}

void DataTree::RemoveSubtree(const std::string& path) {
    Node& node = nodes.at(path);
    for (const std::string& name : node.children) {
        std::string child = path + "." + name;
        RemoveSubtree(child);
        nodes.erase(child);
    }
    node.children.clear();
}

void DataTree::SetProviders(const std::vector<json>& entries) {
    RemoveSubtree("providers");
    for (size_t index = 0; index < entries.size(); ++index) {
        const json& entry = entries[index];
        std::string name = std::to_string(index);
        Node folder;
        folder.description = "Catalog entry " + name;
        Add("providers", name, std::move(folder));
        std::string path = "providers." + name;
        AddValue(path, "name", ValueType::String, false, entry.at("name"), "Provider name");
        AddValue(path, "path", ValueType::String, false, entry.at("path"), "Provider library path");
    }
}

void DataTree::CheckSettings(const json& values) const {
    for (const auto& setting : settingDefaults) {
        auto given = values.find(setting.first);
        if (given != values.end()) Checked("settings." + setting.first, *given);
    }
}

std::vector<ValueChange> DataTree::SetSettings(const json& values) {
    CheckSettings(values);
    std::vector<ValueChange> changes;
    for (const auto& [name, fallback] : settingDefaults) {
        auto given = values.find(name);
        if (auto change = Update("settings." + name, given != values.end() ? *given : fallback))
            changes.push_back(*change);
    }
    return changes;
}

}  // namespace Vexa::Framework
