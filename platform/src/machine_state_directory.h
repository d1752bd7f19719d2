// The machine-state directory: what the stand-in knows of "this machine's"
// devices and trusted roots. It is read afresh on every call; readers never write.
//
//   $VEXA_PLATFORM_ROOT/devices.json   the published software devices
//   $VEXA_PLATFORM_ROOT/trust/         PEM files; every certificate in them is a trusted root
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include <vexa_platform/windows.h>

namespace VexaPlatform {

inline constexpr const char* kDefaultRoot = "/var/lib/vexa-platform";
inline constexpr const char* kDevicesFile = "devices.json";
inline constexpr const char* kTrustDirectory = "trust";

// A value name and its string data, in file order.
using RegistryValues = std::vector<std::pair<std::string, std::string>>;

struct InterfaceRecord {
    GUID interfaceClass{};
    bool enabled = false;
    std::optional<RegistryValues> values;  // nullopt: the interface has no registry key
};

struct DeviceRecord {
    std::string instanceId;
    bool present = false;
    std::vector<InterfaceRecord> interfaces;
};

// Why the machine state cannot be used; the text names the file and the fault.
class MachineStateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// VEXA_PLATFORM_ROOT, or the default when it is unset or empty.
std::filesystem::path MachineRoot();

// Device instance IDs as Windows allows them: 1 to 199 printable ASCII
// characters other than space and comma.
bool IsValidInstanceId(const std::string& id);

// devices.json of `root` as a document; {"devices": []} when the file is missing.
// Throws MachineStateError when the root is missing, the file unreadable, not
// JSON, or not of the expected shape.
nlohmann::json ReadDevicesDocument(const std::filesystem::path& root);

// The devices of a document; throws MachineStateError on a wrong shape. Members
// other than those of the documented shape are ignored.
std::vector<DeviceRecord> DevicesFromDocument(const nlohmann::json& document);

// The devices of the current machine state; throws MachineStateError.
inline std::vector<DeviceRecord> ReadDevices() { return DevicesFromDocument(ReadDevicesDocument(MachineRoot())); }

}  // namespace VexaPlatform
