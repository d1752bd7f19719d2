// Tessaly's data tree: folders, values and commands addressed by dotted paths ("" is
// the root, "settings.label" a value), with their descriptions and schemas.
//
// The tree is a plain value; the client guards it with its mutex.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "interfaces/schema_type.h"

namespace Vexa::Framework {

enum class NodeKind { Folder, Value, Command };
enum class ValueType { String, Integer, Double, Boolean };

struct Node {
    std::string path;
    NodeKind kind = NodeKind::Folder;
    std::string description;
    std::vector<std::string> children;  // names, in listing order (folders)
    ValueType type = ValueType::String;  // values
    bool writable = false;               // values
    nlohmann::json value;                // values
    std::optional<long long> minimum;    // integer values with a range
    std::optional<long long> maximum;
    nlohmann::json parameterSchema;      // commands
    nlohmann::json resultSchema;         // commands
};

// A value change, as the event source reports it: the value at source + "." + key is now
// `value`.
struct ValueChange {
    std::string source;
    std::string key;
    nlohmann::json value;
};

class DataTree {
public:
    // The demo tree: sensors, settings, diagnostics commands and the providers folder.
    DataTree();

    // The node at `path`; throws ProviderNotFoundException for an unknown path.
    const Node& Get(const std::string& path) const;

    // {"path", "name", "kind", "description"}, plus "type" and "writable" for values.
    nlohmann::json Describe(const Node& node) const;
    // A value node's value; for a folder an object of its children's values.
    nlohmann::json ValueOf(const Node& node) const;
    nlohmann::json Schema(const Node& node, int type) const;

    // The value that a write through the client interface would store at `path` (a
    // double for an integer given to a double value); throws for unknown paths,
    // non-values, read-only nodes, wrong types and values out of range. Changes nothing.
    nlohmann::json Checked(const std::string& path, const nlohmann::json& value) const;
    // Write without the writable check, for the framework's own updates (sensors).
    std::optional<ValueChange> Update(const std::string& path, const nlohmann::json& value);

    // Rebuilds the providers folder from the catalog entries: one folder per entry,
    // named by its index, holding "name" and "path".
    void SetProviders(const std::vector<nlohmann::json>& entries);

    // Throws InvalidArgumentException when a member of `values` (by name: "label") does
    // not fit its setting; members that name no setting are ignored.
    void CheckSettings(const nlohmann::json& values) const;
    // Sets every setting to its member of `values`, or to its default where `values` has
    // none; all or nothing, after CheckSettings. Returns what changed.
    std::vector<ValueChange> SetSettings(const nlohmann::json& values);

    static const char* TypeName(ValueType type);

private:
    Node& Add(const std::string& parent, const std::string& name, Node node);
    void AddValue(const std::string& parent, const std::string& name, ValueType type,
                  bool writable, nlohmann::json value, const std::string& description);
    void AddCommand(const std::string& parent, const std::string& name,
                    const std::string& description, nlohmann::json parameterSchema,
                    nlohmann::json resultSchema);
    void RemoveSubtree(const std::string& path);
    nlohmann::json ValueSchema(const Node& node) const;
    nlohmann::json DataSchema(const Node& node) const;
    nlohmann::json EventSchema(const Node& node) const;
    nlohmann::json Normalized(const Node& node, const nlohmann::json& value) const;
    std::optional<ValueChange> Store(Node& node, const nlohmann::json& value);

    std::vector<std::pair<std::string, nlohmann::json>> settingDefaults;
    std::map<std::string, Node> nodes;
};

// The parent's path and the node's own name: "settings.label" -> "settings", "label".
std::pair<std::string, std::string> SplitPath(const std::string& path);

}  // namespace Vexa::Framework
