#include "loader/framework_directory.h"

#include <algorithm>
#include <string>

#include "loader/code_page.h"
#include "loader/exceptions.h"
#include "common/resource_owners.h"

namespace Vexa {

namespace {

constexpr char kSoftwareDeviceEnumerator[] = "SWD";
constexpr char kInstallDirValue[] = "InstallDir";

// Length of the zero-terminated string at text, looking at no more than available
// bytes; available when no terminator lies within them.
std::size_t BoundedLength(const char* text, std::size_t available) {
    return static_cast<std::size_t>(std::find(text, text + available, '\0') - text);
}

// Reads InstallDir from the first interface of the class on one device. CR_SUCCESS
// when buffer holds the value; CR_NO_SUCH_VALUE when this device does not supply it.
CONFIGRET QueryDevice(GUID& interfaceClass, char* deviceId, BYTE* buffer, ULONG bufferSize) {
    ULONG listSize = 0;
    if (CM_Get_Device_Interface_List_SizeA(&listSize, &interfaceClass, deviceId,
                                           CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != CR_SUCCESS)
        return CR_NO_SUCH_VALUE;
    const HeapBlock block = AllocateZeroed(listSize);
    if (!block) return CR_NO_SUCH_VALUE;
    char* interfaces = static_cast<char*>(block.get());
    if (CM_Get_Device_Interface_ListA(&interfaceClass, deviceId, interfaces, listSize,
                                      CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != CR_SUCCESS)
        return CR_NO_SUCH_VALUE;
    if (listSize <= 1) return CR_NO_SUCH_VALUE;
    // Only the first interface is used; it must end inside the block.
    if (BoundedLength(interfaces, listSize) == listSize) return CR_NO_SUCH_VALUE;

    UniqueKey key;
    if (CM_Open_Device_Interface_Key_ExA(interfaces, GENERIC_READ, RegDisposition_OpenExisting,
                                        key.put(), 0, nullptr) != CR_SUCCESS)
        return CR_NO_SUCH_VALUE;
    DWORD size = bufferSize;
    if (RegQueryValueExA(key.get(), kInstallDirValue, nullptr, nullptr, buffer, &size) != ERROR_SUCCESS)
        return CR_NO_SUCH_VALUE;
    return CR_SUCCESS;
}

}  // namespace

CONFIGRET FindFrameworkDirectory(const GUID* interfaceClass, BYTE* buffer, ULONG bufferSize) {
    if (interfaceClass == nullptr || buffer == nullptr || bufferSize == 0) return CR_INVALID_POINTER;
    GUID classId = *interfaceClass;
    constexpr ULONG filter = CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT;

    ULONG idListSize = 0;
    CONFIGRET status = CM_Get_Device_ID_List_SizeA(&idListSize, kSoftwareDeviceEnumerator, filter);
    if (status != CR_SUCCESS) return status;
    if (idListSize == 0) return CR_OUT_OF_MEMORY;
    const HeapBlock block = AllocateZeroed(idListSize);
    if (!block) return CR_OUT_OF_MEMORY;
    char* ids = static_cast<char*>(block.get());
    status = CM_Get_Device_ID_ListA(kSoftwareDeviceEnumerator, ids, idListSize, filter);
    if (status != CR_SUCCESS) return status;

    // Walk the multi-string; an ID is used only when its terminator lies inside the list.
    status = CR_NO_SUCH_VALUE;
    std::size_t offset = 0;
    while (offset < idListSize && ids[offset] != '\0') {
        char* deviceId = ids + offset;
        const std::size_t length = BoundedLength(deviceId, idListSize - offset);
        if (length == idListSize - offset) break;
        status = QueryDevice(classId, deviceId, buffer, bufferSize);
        if (status == CR_SUCCESS) break;
        offset += length + 1;
    }
    return status;
}

std::filesystem::path FrameworkLibraryPath(const std::filesystem::path& fileName) {
    BYTE buffer[kFrameworkDirectoryBufferSize] = {};
    std::string directory;
    if (FindFrameworkDirectory(&kFrameworkInterfaceClass, buffer, sizeof buffer) == CR_SUCCESS) {
        const char* text = reinterpret_cast<const char*>(buffer);
        directory.assign(text, BoundedLength(text, sizeof buffer));
    }
    std::filesystem::path path = CodePage::PathFromNarrow(directory).value_or(std::filesystem::path());
    if (path.empty()) throw VexaException("Error Locating Framework Directory", kFrameworkDirectoryNotFound);
    path /= fileName;
    return path;
}

}  // namespace Vexa
