// A stand-in cfgmgr32.dll for test runs under Wine, whose own Configuration Manager
// cannot list devices. It implements the five calls the loader makes over the
// registry layout that Windows keeps for devices and device interfaces:
//
//   HKLM\SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>
//       the device; its volatile subkey "Control" exists while the device is present
//   HKLM\SYSTEM\CurrentControlSet\Control\DeviceClasses\{class}\##?#<id with # for \>#{class}
//       value DeviceInstance: the device's instance ID
//       subkey "#<reference>": one interface; "Control" value Linked (DWORD) is 1 while
//       it is enabled; "Device Parameters" holds the interface's values
//
// The loader stays the code that runs on Windows; only this library differs. It is
// built for the Wine test runs only, loaded through WINEDLLOVERRIDES=cfgmgr32=n, and
// never shipped.
#define CMAPI __declspec(dllexport)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

extern "C" CMAPI CONFIGRET WINAPI CM_Open_Device_Interface_Key_ExA(LPCSTR pszDeviceInterface, REGSAM samDesired,
                                                                  REGDISPOSITION Disposition, PHKEY phkDeviceInterface,
                                                                  ULONG ulFlags, HMACHINE hMachine);

namespace {

constexpr char kEnumKey[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kClassesKey[] = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses";

class Key {
public:
    Key() = default;
    Key(HKEY parent, const std::string& path, REGSAM access = KEY_READ) {
        if (RegOpenKeyExA(parent, path.c_str(), 0, access, &key) != ERROR_SUCCESS) key = nullptr;
    }
    ~Key() {
        if (key != nullptr) RegCloseKey(key);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    explicit operator bool() const { return key != nullptr; }
    HKEY Get() const { return key; }

    std::vector<std::string> Subkeys() const {
        std::vector<std::string> names;
        for (DWORD index = 0;; ++index) {
            char name[256];
            DWORD size = sizeof name;
            if (RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            names.emplace_back(name, size);
        }
        // Enumeration order is not promised; a sorted list makes every run alike.
        std::sort(names.begin(), names.end());
        return names;
    }

    bool String(const char* name, std::string& value) const {
        char buffer[1024];
        DWORD type = 0;
        DWORD size = sizeof buffer - 1;
        if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
            type != REG_SZ)
            return false;
        buffer[size] = '\0';
        value = buffer;
        return true;
    }

    bool Dword(const char* name, DWORD& value) const {
        DWORD type = 0;
        DWORD size = sizeof value;
        return RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
               type == REG_DWORD;
    }

private:
    HKEY key = nullptr;
};

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                                                  b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

std::string ClassText(const GUID& id) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

bool Present(const std::string& instanceId) {
    return static_cast<bool>(Key(HKEY_LOCAL_MACHINE, std::string(kEnumKey) + "\\" + instanceId + "\\Control"));
}

CONFIGRET DeviceIds(const char* filter, ULONG flags, std::vector<std::string>& ids) {
    constexpr ULONG supported = CM_GETIDLIST_FILTER_ENUMERATOR | CM_GETIDLIST_FILTER_PRESENT;
    if (flags & ~supported) return CR_INVALID_FLAG;
    Key root(HKEY_LOCAL_MACHINE, kEnumKey);
    if (!root) return CR_REGISTRY_ERROR;
    std::vector<std::string> enumerators;
    if (flags & CM_GETIDLIST_FILTER_ENUMERATOR) {
        if (filter == nullptr || *filter == '\0') return CR_INVALID_POINTER;
        enumerators.emplace_back(filter);
    } else {
        enumerators = root.Subkeys();
    }
    for (const std::string& enumerator : enumerators) {
        Key enumeratorKey(root.Get(), enumerator);
        if (!enumeratorKey) continue;
        for (const std::string& device : enumeratorKey.Subkeys()) {
            Key deviceKey(enumeratorKey.Get(), device);
            if (!deviceKey) continue;
            for (const std::string& instance : deviceKey.Subkeys()) {
                std::string id = enumerator + "\\" + device + "\\" + instance;
                if ((flags & CM_GETIDLIST_FILTER_PRESENT) && !Present(id)) continue;
                ids.push_back(std::move(id));
            }
        }
    }
    return CR_SUCCESS;
}

CONFIGRET Interfaces(const GUID* interfaceClass, const char* deviceId, ULONG flags, std::vector<std::string>& links) {
    if (interfaceClass == nullptr) return CR_INVALID_POINTER;
    if (flags & ~static_cast<ULONG>(CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES)) return CR_INVALID_FLAG;
    const std::string classText = ClassText(*interfaceClass);
    Key classKey(HKEY_LOCAL_MACHINE, std::string(kClassesKey) + "\\" + classText);
    if (!classKey) return CR_SUCCESS;
    for (const std::string& interfaceName : classKey.Subkeys()) {
        Key interfaceKey(classKey.Get(), interfaceName);
        std::string instance;
        if (!interfaceKey || !interfaceKey.String("DeviceInstance", instance)) continue;
        if (deviceId != nullptr && *deviceId != '\0' && !SameText(instance, deviceId)) continue;
        if (interfaceName.rfind("##?#", 0) != 0) continue;
        const bool all = (flags & CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES) != 0;
        if (!all && !Present(instance)) continue;
        for (const std::string& reference : interfaceKey.Subkeys()) {
            if (reference.empty() || reference[0] != '#') continue;
            if (!all) {
                Key control(interfaceKey.Get(), reference + "\\Control");
                DWORD linked = 0;
                if (!control || !control.Dword("Linked", linked) || linked != 1) continue;
            }
            std::string link = "\\\\?\\" + interfaceName.substr(4);
            if (reference.size() > 1) link += "\\" + reference.substr(1);
            links.push_back(std::move(link));
        }
    }
    return CR_SUCCESS;
}

ULONG MultiStringSize(const std::vector<std::string>& texts) {
    ULONG size = 1;
    for (const std::string& text : texts) size += static_cast<ULONG>(text.size() + 1);
    return size;
}

CONFIGRET CopyMultiString(const std::vector<std::string>& texts, char* buffer, ULONG length) {
    if (buffer == nullptr || length == 0) return CR_INVALID_POINTER;
    if (MultiStringSize(texts) > length) return CR_BUFFER_SMALL;
    for (const std::string& text : texts) {
        std::copy(text.begin(), text.end(), buffer);
        buffer += text.size();
        *buffer++ = '\0';
    }
    *buffer = '\0';
    return CR_SUCCESS;
}

}  // namespace

extern "C" {

CMAPI CONFIGRET WINAPI CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags) {
    if (pulLen == nullptr) return CR_INVALID_POINTER;
    std::vector<std::string> ids;
    const CONFIGRET status = DeviceIds(pszFilter, ulFlags, ids);
    if (status != CR_SUCCESS) return status;
    *pulLen = MultiStringSize(ids);
    return CR_SUCCESS;
}

CMAPI CONFIGRET WINAPI CM_Get_Device_ID_ListA(PCSTR pszFilter, PCHAR Buffer, ULONG BufferLen, ULONG ulFlags) {
    std::vector<std::string> ids;
    const CONFIGRET status = DeviceIds(pszFilter, ulFlags, ids);
    if (status != CR_SUCCESS) return status;
    return CopyMultiString(ids, Buffer, BufferLen);
}

CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid,
                                                          DEVINSTID_A pDeviceID, ULONG ulFlags) {
    if (pulLen == nullptr) return CR_INVALID_POINTER;
    std::vector<std::string> links;
    const CONFIGRET status = Interfaces(InterfaceClassGuid, pDeviceID, ulFlags, links);
    if (status != CR_SUCCESS) return status;
    *pulLen = MultiStringSize(links);
    return CR_SUCCESS;
}

CMAPI CONFIGRET WINAPI CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID, PCHAR Buffer,
                                                     ULONG BufferLen, ULONG ulFlags) {
    std::vector<std::string> links;
    const CONFIGRET status = Interfaces(InterfaceClassGuid, pDeviceID, ulFlags, links);
    if (status != CR_SUCCESS) return status;
    return CopyMultiString(links, Buffer, BufferLen);
}

CMAPI CONFIGRET WINAPI CM_Open_Device_Interface_Key_ExA(LPCSTR pszDeviceInterface, REGSAM samDesired,
                                                        REGDISPOSITION Disposition, PHKEY phkDeviceInterface,
                                                        ULONG ulFlags, HMACHINE hMachine) {
    if (pszDeviceInterface == nullptr || phkDeviceInterface == nullptr) return CR_INVALID_POINTER;
    if (ulFlags != 0 || hMachine != nullptr) return CR_INVALID_FLAG;
    const std::string link = pszDeviceInterface;
    if (link.rfind("\\\\?\\", 0) != 0) return CR_NO_SUCH_DEVICE_INTERFACE;
    // \\?\<id>#{class}[\reference]
    const std::string rest = link.substr(4);
    const std::size_t referenceAt = rest.find('\\');
    const std::string name = rest.substr(0, referenceAt);
    const std::string reference = referenceAt == std::string::npos ? std::string() : rest.substr(referenceAt + 1);
    const std::size_t classAt = name.rfind('#');
    if (classAt == std::string::npos) return CR_NO_SUCH_DEVICE_INTERFACE;
    const std::string classText = name.substr(classAt + 1);
    const std::string interfaceKey = std::string(kClassesKey) + "\\" + classText + "\\##?#" + name + "\\#" + reference;
    if (!Key(HKEY_LOCAL_MACHINE, interfaceKey)) return CR_NO_SUCH_DEVICE_INTERFACE;

    const std::string parameters = interfaceKey + "\\Device Parameters";
    HKEY key = nullptr;
    LONG result;
    if (Disposition == RegDisposition_OpenExisting)
        result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, parameters.c_str(), 0, samDesired, &key);
    else if (Disposition == RegDisposition_OpenAlways)
        result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, parameters.c_str(), 0, nullptr, 0, samDesired, nullptr, &key,
                                 nullptr);
    else
        return CR_INVALID_DATA;
    if (result != ERROR_SUCCESS) return CR_NO_SUCH_REGISTRY_KEY;
    *phkDeviceInterface = key;
    return CR_SUCCESS;
}

}  // extern "C"
