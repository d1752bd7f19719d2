// publish, remove and list: the driver's part, over devices.json.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <sys/file.h>
#include <sys/stat.h>

#include "commands.h"
#include "file_io.h"
#include "guid_text.h"
#include "interface_link.h"
#include "machine_state_directory.h"
#include "text.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace VexaPlatformTool {
namespace {

// Holds an exclusive lock on the machine-state directory, so that two writers
// cannot lose each other's changes between reading and replacing devices.json.
class MachineStateLock {
public:
    explicit MachineStateLock(const fs::path& root)
        : directory(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (!directory) throw CommandError("cannot open " + root.string() + ": " + std::strerror(errno));
        while (::flock(directory.get(), LOCK_EX) != 0)
            if (errno != EINTR) throw CommandError("cannot lock " + root.string() + ": " + std::strerror(errno));
    }

private:
    VexaPlatform::UniqueFd directory;  // closing it releases the lock
};

json ReadDocument(const fs::path& root) {
    try {
        return VexaPlatform::ReadDevicesDocument(root);
    } catch (const VexaPlatform::MachineStateError& error) {
        throw CommandError(std::string(error.what()) + "; devices.json left as it is");
    }
}

void WriteDocument(const fs::path& root, const json& document) {
    fs::path file = root / VexaPlatform::kDevicesFile;
    struct stat info {};
    mode_t mode = ::stat(file.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0644;
    std::string text = document.dump(2) + "\n";
    try {
        VexaPlatform::WriteFileAtomically(file, text.data(), text.size(), mode);
    } catch (const VexaPlatform::FileError& error) {
        throw CommandError(error.what());
    }
}

// The index of the device with this instance ID (compared as Windows does), or -1.
std::ptrdiff_t FindDevice(const json& devices, const std::string& instanceId) {
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (VexaPlatform::EqualsIgnoreCase(devices[i]["instance_id"].get<std::string>(), instanceId))
            return static_cast<std::ptrdiff_t>(i);
    return -1;
}

json ParseDevice(const Arguments& arguments) {
    if (arguments.empty() || arguments[0].rfind("--", 0) == 0) throw UsageError("publish needs an INSTANCE_ID");
    const std::string& instanceId = arguments[0];
    if (!VexaPlatform::IsValidInstanceId(instanceId))
        throw UsageError("\"" + instanceId + "\" is not a device instance ID (1 to 199 printable characters, "
                         "no spaces or commas)");
    json device = {{"instance_id", instanceId}, {"present", true}, {"interfaces", json::array()}};
    json* current = nullptr;  // the interface that --disabled, --no-key and --value apply to
    auto needInterface = [&](const std::string& option) {
        if (current == nullptr) throw UsageError(option + " must follow an --interface");
    };
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--absent") {
            device["present"] = false;
        } else if (option == "--interface") {
            if (i + 1 >= arguments.size()) throw UsageError("--interface needs a CLASS");
            std::optional<GUID> interfaceClass = VexaPlatform::ParseGuid(arguments[++i]);
            if (!interfaceClass)
                throw UsageError("\"" + arguments[i] + "\" is not a GUID like {4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}");
            device["interfaces"].push_back(
                {{"class", VexaPlatform::FormatGuid(*interfaceClass)}, {"enabled", true}, {"values", json::object()}});
            current = &device["interfaces"].back();
        } else if (option == "--disabled") {
            needInterface(option);
            (*current)["enabled"] = false;
        } else if (option == "--no-key") {
            needInterface(option);
            if (!(*current)["values"].empty()) throw UsageError("--no-key and --value exclude each other");
            (*current)["values"] = nullptr;
        } else if (option == "--value") {
            needInterface(option);
            if (i + 1 >= arguments.size()) throw UsageError("--value needs NAME=VALUE");
            const std::string& assignment = arguments[++i];
            std::size_t equals = assignment.find('=');
            if (equals == std::string::npos) throw UsageError("--value needs NAME=VALUE, got \"" + assignment + "\"");
            json& values = (*current)["values"];
            if (values.is_null()) throw UsageError("--no-key and --value exclude each other");
            std::string name = assignment.substr(0, equals);
            for (const auto& item : values.items())
                if (VexaPlatform::EqualsIgnoreCase(item.key(), name))
                    throw UsageError("value \"" + name + "\" given twice");
            values[name] = assignment.substr(equals + 1);
        } else {
            throw UsageError("publish: unexpected argument \"" + option + "\"");
        }
    }
    return device;
}

}  // namespace

int Publish(const fs::path& root, const Arguments& arguments) {
    json device = ParseDevice(arguments);
    std::error_code error;
    fs::create_directories(root, error);
    if (error) throw CommandError("cannot create " + root.string() + ": " + error.message());
    MachineStateLock lock(root);
    json document = ReadDocument(root);
    json& devices = document["devices"];
    std::ptrdiff_t index = FindDevice(devices, device["instance_id"].get<std::string>());
    if (index >= 0)
        devices[static_cast<std::size_t>(index)] = std::move(device);
    else
        devices.push_back(std::move(device));
    WriteDocument(root, document);
    return 0;
}

int Remove(const fs::path& root, const Arguments& arguments) {
    if (arguments.size() != 1) throw UsageError("remove needs exactly one INSTANCE_ID");
    std::error_code error;
    if (!fs::is_directory(root, error)) throw CommandError("machine state directory " + root.string() + " does not exist");
    MachineStateLock lock(root);
    json document = ReadDocument(root);
    json& devices = document["devices"];
    std::ptrdiff_t index = FindDevice(devices, arguments[0]);
    if (index < 0) throw CommandError("no device " + arguments[0] + " is published");
    devices.erase(static_cast<std::size_t>(index));
    WriteDocument(root, document);
    return 0;
}

// One line per device, then one per interface (class, state, symbolic link),
// then one per value.
int List(const fs::path& root, const Arguments& arguments) {
    if (!arguments.empty()) throw UsageError("list takes no arguments");
    std::vector<VexaPlatform::DeviceRecord> devices;
    try {
        devices = VexaPlatform::DevicesFromDocument(ReadDocument(root));
    } catch (const VexaPlatform::MachineStateError& error) {
        throw CommandError(error.what());
    }
    for (const VexaPlatform::DeviceRecord& device : devices) {
        std::cout << device.instanceId << (device.present ? " present" : " absent") << "\n";
        for (std::size_t i = 0; i < device.interfaces.size(); ++i) {
            const VexaPlatform::InterfaceRecord& entry = device.interfaces[i];
            std::cout << "  " << VexaPlatform::FormatGuid(entry.interfaceClass)
                      << (entry.enabled ? " enabled " : " disabled ") << VexaPlatform::InterfaceLink(device, i)
                      << (entry.values ? "" : " (no key)") << "\n";
            if (entry.values)
                for (const auto& [name, data] : *entry.values) std::cout << "    " << name << " = " << data << "\n";
        }
    }
    return 0;
}

}  // namespace VexaPlatformTool
