// The machine state's devices.json, as read by the Configuration Manager calls: the
// discovery walk FindFrameworkDirectory, then each call on its own, with the size and
// list calls checked against each other.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "loader/framework_directory.h"
#include "common/win32.h"
#include "fuzz_support.h"

namespace {

using VexaFuzz::Violation;

std::unique_ptr<VexaFuzz::MachineState> machine;

// The strings of a well-formed multi-string block of `size` bytes; a malformed block
// is a fault of the stand-in.
std::vector<std::string> Items(const std::vector<char>& block) {
    if (block.empty() || block.back() != '\0') Violation("multi-string not terminated");
    if (block.size() >= 2 && block[block.size() - 2] != '\0') Violation("multi-string without final empty string");
    std::vector<std::string> items;
    std::size_t offset = 0;
    while (offset < block.size() && block[offset] != '\0') {
        std::string item(block.data() + offset);
        offset += item.size() + 1;
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<std::string> DeviceIds(PCSTR filter, ULONG flags) {
    ULONG size = 0;
    if (CM_Get_Device_ID_List_SizeA(&size, filter, flags) != CR_SUCCESS) return {};
    if (size == 0) Violation("device ID list of size 0");
    std::vector<char> block(size, 'x');
    if (size > 1 && CM_Get_Device_ID_ListA(filter, block.data(), size - 1, flags) != CR_BUFFER_SMALL)
        Violation("device ID list fits a buffer one byte short");
    if (CM_Get_Device_ID_ListA(filter, block.data(), size, flags) != CR_SUCCESS)
        Violation("device ID list call fails after its size call succeeded");
    return Items(block);
}

std::vector<std::string> InterfaceLinks(GUID interfaceClass, const char* deviceId, ULONG flags) {
    ULONG size = 0;
    std::string id = deviceId != nullptr ? deviceId : "";
    char* idArgument = deviceId != nullptr ? id.data() : nullptr;
    if (CM_Get_Device_Interface_List_SizeA(&size, &interfaceClass, idArgument, flags) != CR_SUCCESS) return {};
    if (size == 0) Violation("interface list of size 0");
    std::vector<char> block(size, 'x');
    if (size > 1 &&
        CM_Get_Device_Interface_ListA(&interfaceClass, idArgument, block.data(), size - 1, flags) != CR_BUFFER_SMALL)
        Violation("interface list fits a buffer one byte short");
    if (CM_Get_Device_Interface_ListA(&interfaceClass, idArgument, block.data(), size, flags) != CR_SUCCESS)
        Violation("interface list call fails after its size call succeeded");
    return Items(block);
}

void ReadKey(const std::string& link) {
    for (REGDISPOSITION disposition : {RegDisposition_OpenExisting, RegDisposition_OpenAlways}) {
        HKEY key = nullptr;
        if (CM_Open_Device_Interface_Key_ExA(link.c_str(), KEY_READ, disposition, &key, 0, nullptr) != CR_SUCCESS) {
            if (key != nullptr) Violation("failed open hands out a key");
            continue;
        }
        for (const char* name : {"InstallDir", "installdir", "", "Other"}) {
            DWORD type = REG_NONE;
            DWORD needed = 0;
            if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &needed) != ERROR_SUCCESS) continue;
            if (needed == 0) Violation("string value of size 0");
            std::vector<BYTE> data(needed, 0xAA);
            DWORD size = needed - 1;
            if (RegQueryValueExA(key, name, nullptr, &type, data.data(), &size) != ERROR_MORE_DATA || size != needed)
                Violation("value fits a buffer one byte short");
            size = needed;
            if (RegQueryValueExA(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
                Violation("value read fails after its size query succeeded");
            if (data[needed - 1] != 0) Violation("string value not terminated");
        }
        RegCloseKey(key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    machine = std::make_unique<VexaFuzz::MachineState>();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    machine->WriteDevicesText(data, size);

    // The walk the loaders make.
    BYTE directory[Vexa::kFrameworkDirectoryBufferSize];
    const CONFIGRET found = Vexa::FindFrameworkDirectory(&Vexa::kFrameworkInterfaceClass, directory, sizeof directory);
    if (found == CR_SUCCESS && std::find(directory, directory + sizeof directory, 0) == directory + sizeof directory)
        Violation("directory not terminated inside the buffer");
    try {
        static_cast<void>(Vexa::FrameworkLibraryPath("Tessaly.dll"));
    } catch (const std::exception&) {
    }

    // Each call on its own.
    constexpr ULONG kFilters = CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT;
    DeviceIds(nullptr, CM_GETIDLIST_FILTER_NONE);
    DeviceIds("SWD", kFilters);
    DeviceIds("SWD\\", CM_GETIDLIST_FILTER_ENUMERATOR);
    const GUID other = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    for (const std::string& id : DeviceIds("", CM_GETIDLIST_FILTER_NONE)) {
        for (ULONG flags : {CM_GET_DEVICE_INTERFACE_LIST_PRESENT, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES}) {
            for (const std::string& link : InterfaceLinks(Vexa::kFrameworkInterfaceClass, id.c_str(), flags))
                ReadKey(link);
            InterfaceLinks(other, id.c_str(), flags);
        }
    }
    for (const std::string& link :
         InterfaceLinks(Vexa::kFrameworkInterfaceClass, nullptr, CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES))
        ReadKey(link);
    return 0;
}
