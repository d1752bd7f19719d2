// The Configuration Manager calls, over the devices of the machine state
// (symbolic links: interface_link.h).
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "interface_link.h"
#include "machine_state_directory.h"
#include "registry_key.h"
#include "text.h"

namespace VexaPlatform {
namespace {

constexpr ULONG kIdListFlags = CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT;
constexpr ULONG kInterfaceListFlags = CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES;

// The filter names an enumerator, optionally followed by more of the instance ID
// ("SWD" or "SWD\VexaFramework"); it matches whole components only. An empty
// filter matches every device.
bool MatchesEnumeratorFilter(const std::string& instanceId, std::string_view filter) {
    while (!filter.empty() && filter.back() == '\\') filter.remove_suffix(1);
    if (filter.empty()) return true;
    return StartsWithIgnoreCase(instanceId, filter) &&
           (instanceId.size() == filter.size() || instanceId[filter.size()] == '\\');
}

// Strings separated by a zero byte and ended by an empty string; an empty list is
// the single terminating zero.
std::string MultiString(const std::vector<std::string>& items) {
    std::string block;
    for (const std::string& item : items) {
        block += item;
        block += '\0';
    }
    block += '\0';
    return block;
}

// Runs `body` and turns the ways the machine state can fail into a status.
template <typename Body>
CONFIGRET Guarded(Body body) {
    try {
        return body();
    } catch (const MachineStateError&) {
        return CR_REGISTRY_ERROR;
    } catch (const std::bad_alloc&) {
        return CR_OUT_OF_MEMORY;
    } catch (...) {
        return CR_FAILURE;
    }
}

CONFIGRET SizeOf(const std::string& block, PULONG length) {
    if (block.size() > ULONG(-1)) return CR_FAILURE;
    *length = static_cast<ULONG>(block.size());
    return CR_SUCCESS;
}

CONFIGRET CopyOut(const std::string& block, PZZSTR buffer, ULONG bufferLength) {
    if (block.size() > bufferLength) return CR_BUFFER_SMALL;
    block.copy(buffer, block.size());
    return CR_SUCCESS;
}

std::string DeviceIdList(PCSTR filter, ULONG flags) {
    std::vector<std::string> ids;
    for (const DeviceRecord& device : ReadDevices()) {
        if ((flags & CM_GETIDLIST_FILTER_ENUMERATOR) && filter != nullptr &&
            !MatchesEnumeratorFilter(device.instanceId, filter))
            continue;
        if ((flags & CM_GETIDLIST_FILTER_PRESENT) && !device.present) continue;
        ids.push_back(device.instanceId);
    }
    return MultiString(ids);
}

// The interface list of one device (or of every device when `deviceId` is null
// or empty); CR_NO_SUCH_DEVNODE when the device is not known.
CONFIGRET InterfaceList(const GUID& interfaceClass, const char* deviceId, ULONG flags, std::string& block) {
    bool allDevices = deviceId == nullptr || *deviceId == '\0';
    if (!allDevices && !IsValidInstanceId(deviceId)) return CR_INVALID_DEVICE_ID;
    bool deviceFound = false;
    std::vector<std::string> links;
    for (const DeviceRecord& device : ReadDevices()) {
        if (!allDevices && !EqualsIgnoreCase(device.instanceId, deviceId)) continue;
        deviceFound = true;
        std::size_t ordinal = 0;
        for (const InterfaceRecord& entry : device.interfaces) {
            if (entry.interfaceClass != interfaceClass) continue;
            ++ordinal;
            // Without ALL_DEVICES only active interfaces count: enabled, on a present device.
            bool active = entry.enabled && device.present;
            if (active || (flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES))
                links.push_back(InterfaceLink(device.instanceId, interfaceClass, ordinal));
        }
    }
    if (!allDevices && !deviceFound) return CR_NO_SUCH_DEVNODE;
    block = MultiString(links);
    return CR_SUCCESS;
}

// The interface whose symbolic link is `link`, or null.
const InterfaceRecord* FindInterface(const std::vector<DeviceRecord>& devices, std::string_view link) {
    for (const DeviceRecord& device : devices)
        for (std::size_t i = 0; i < device.interfaces.size(); ++i)
            if (EqualsIgnoreCase(InterfaceLink(device, i), link)) return &device.interfaces[i];
    return nullptr;
}

}  // namespace
}  // namespace VexaPlatform

using namespace VexaPlatform;

CONFIGRET CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags) {
    if (pulLen == nullptr) return CR_INVALID_POINTER;
    *pulLen = 0;
    if (ulFlags & ~kIdListFlags) return CR_INVALID_FLAG;
    return Guarded([&] { return SizeOf(DeviceIdList(pszFilter, ulFlags), pulLen); });
}

CONFIGRET CM_Get_Device_ID_ListA(PCSTR pszFilter, PZZSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    if (Buffer == nullptr || BufferLen == 0) return CR_INVALID_POINTER;
    if (ulFlags & ~kIdListFlags) return CR_INVALID_FLAG;
    return Guarded([&] { return CopyOut(DeviceIdList(pszFilter, ulFlags), Buffer, BufferLen); });
}

CONFIGRET CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID,
                                             ULONG ulFlags) {
    if (pulLen == nullptr || InterfaceClassGuid == nullptr) return CR_INVALID_POINTER;
    *pulLen = 0;
    if (ulFlags & ~kInterfaceListFlags) return CR_INVALID_FLAG;
    return Guarded([&] {
        std::string block;
        CONFIGRET status = InterfaceList(*InterfaceClassGuid, pDeviceID, ulFlags, block);
        return status != CR_SUCCESS ? status : SizeOf(block, pulLen);
    });
}

CONFIGRET CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID, PZZSTR Buffer,
                                        ULONG BufferLen, ULONG ulFlags) {
    if (InterfaceClassGuid == nullptr || Buffer == nullptr || BufferLen == 0) return CR_INVALID_POINTER;
    if (ulFlags & ~kInterfaceListFlags) return CR_INVALID_FLAG;
    return Guarded([&] {
        std::string block;
        CONFIGRET status = InterfaceList(*InterfaceClassGuid, pDeviceID, ulFlags, block);
        return status != CR_SUCCESS ? status : CopyOut(block, Buffer, BufferLen);
    });
}

// The key is a read-only snapshot of the interface's values. RegDisposition_OpenAlways
// on an interface without a key gives an empty key that is not written back:
// readers never change the machine state.
CONFIGRET CM_Open_Device_Interface_Key_ExA(LPCSTR pszDeviceInterface, REGSAM /*samDesired*/,
                                           REGDISPOSITION Disposition, PHKEY phkDeviceInterface, ULONG ulFlags,
                                           HMACHINE hMachine) {
    if (pszDeviceInterface == nullptr || phkDeviceInterface == nullptr) return CR_INVALID_POINTER;
    *phkDeviceInterface = nullptr;
    if (ulFlags != 0) return CR_INVALID_FLAG;
    if (Disposition != RegDisposition_OpenAlways && Disposition != RegDisposition_OpenExisting)
        return CR_INVALID_DATA;
    if (hMachine != nullptr) return CR_MACHINE_UNAVAILABLE;
    return Guarded([&] {
        std::vector<DeviceRecord> devices = ReadDevices();
        const InterfaceRecord* entry = FindInterface(devices, pszDeviceInterface);
        if (entry == nullptr) return CR_NO_SUCH_DEVICE_INTERFACE;
        if (!entry->values && Disposition == RegDisposition_OpenExisting) return CR_NO_SUCH_REGISTRY_KEY;
        auto key = std::make_unique<HKEY__>();
        if (entry->values) key->values = *entry->values;
        *phkDeviceInterface = key.release();
        return CR_SUCCESS;
    });
}
