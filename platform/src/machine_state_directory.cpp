#include "machine_state_directory.h"

#include <cstdlib>

#include "file_io.h"
#include "guid_text.h"
#include "text.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace VexaPlatform {

fs::path MachineRoot() {
    const char* root = std::getenv("VEXA_PLATFORM_ROOT");
    return (root != nullptr && *root != '\0') ? fs::path(root) : fs::path(kDefaultRoot);
}

bool IsValidInstanceId(const std::string& id) {
    if (id.empty() || id.size() > 199) return false;
    for (char c : id)
        if (c <= 0x20 || c >= 0x7F || c == ',') return false;
    return true;
}

json ReadDevicesDocument(const fs::path& root) {
    std::error_code error;
    if (!fs::is_directory(root, error))
        throw MachineStateError("machine state directory " + root.string() + " does not exist");
    fs::path file = root / kDevicesFile;
    if (!fs::exists(fs::symlink_status(file, error))) return json{{"devices", json::array()}};
    std::optional<std::vector<unsigned char>> bytes = ReadFileBytes(file);
    if (!bytes) throw MachineStateError("cannot read " + file.string());
    json document = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (document.is_discarded()) throw MachineStateError(file.string() + " is not valid JSON");
    DevicesFromDocument(document);  // checks the shape
    return document;
}

namespace {

[[noreturn]] void WrongShape(const std::string& where, const std::string& what) {
    throw MachineStateError("devices.json: " + where + ": " + what);
}

const json& Member(const json& object, const char* key, const std::string& where) {
    auto found = object.find(key);
    if (found == object.end()) WrongShape(where, std::string("missing \"") + key + "\"");
    return *found;
}

bool BooleanMember(const json& object, const char* key, const std::string& where) {
    const json& value = Member(object, key, where);
    if (!value.is_boolean()) WrongShape(where, std::string("\"") + key + "\" must be true or false");
    return value.get<bool>();
}

std::optional<RegistryValues> ValuesFrom(const json& values, const std::string& where) {
    if (values.is_null()) return std::nullopt;
    if (!values.is_object()) WrongShape(where, "\"values\" must be an object or null");
    RegistryValues result;
    for (const auto& [name, data] : values.items()) {
        if (!data.is_string()) WrongShape(where, "value \"" + name + "\" must be a string");
        result.emplace_back(name, data.get<std::string>());
    }
    return result;
}

InterfaceRecord InterfaceFrom(const json& entry, const std::string& where) {
    if (!entry.is_object()) WrongShape(where, "an interface must be an object");
    InterfaceRecord record;
    const json& interfaceClass = Member(entry, "class", where);
    std::optional<GUID> guid =
        interfaceClass.is_string() ? ParseGuid(interfaceClass.get<std::string>()) : std::nullopt;
    if (!guid) WrongShape(where, "\"class\" must be a GUID in braces");
    record.interfaceClass = *guid;
    record.enabled = BooleanMember(entry, "enabled", where);
    record.values = ValuesFrom(Member(entry, "values", where), where);
    return record;
}

DeviceRecord DeviceFrom(const json& entry, const std::string& where) {
    if (!entry.is_object()) WrongShape(where, "a device must be an object");
    DeviceRecord record;
    const json& id = Member(entry, "instance_id", where);
    if (!id.is_string() || !IsValidInstanceId(id.get<std::string>()))
        WrongShape(where, "\"instance_id\" must be a device instance ID");
    record.instanceId = id.get<std::string>();
    record.present = BooleanMember(entry, "present", where);
    const json& interfaces = Member(entry, "interfaces", where);
    if (!interfaces.is_array()) WrongShape(where, "\"interfaces\" must be an array");
    for (std::size_t i = 0; i < interfaces.size(); ++i)
        record.interfaces.push_back(InterfaceFrom(interfaces[i], where + " interface " + std::to_string(i)));
    return record;
}

}  // namespace

std::vector<DeviceRecord> DevicesFromDocument(const json& document) {
    if (!document.is_object()) WrongShape("top level", "must be an object");
    const json& devices = Member(document, "devices", "top level");
    if (!devices.is_array()) WrongShape("top level", "\"devices\" must be an array");
    std::vector<DeviceRecord> records;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        DeviceRecord record = DeviceFrom(devices[i], "device " + std::to_string(i));
        for (const DeviceRecord& earlier : records)
            if (EqualsIgnoreCase(earlier.instanceId, record.instanceId))
                WrongShape("device " + std::to_string(i), "instance ID " + record.instanceId + " appears twice");
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace VexaPlatform
