// Registry reads from the key snapshots that CM_Open_Device_Interface_Key_ExA hands out.
#include <cstring>

#include "registry_key.h"
#include "text.h"

using VexaPlatform::EqualsIgnoreCase;

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (hKey == nullptr) return ERROR_INVALID_HANDLE;
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    // A null name is the key's default value, whose name is empty.
    std::string_view name = lpValueName != nullptr ? lpValueName : "";
    for (const auto& [valueName, data] : hKey->values) {
        if (!EqualsIgnoreCase(valueName, name)) continue;
        if (lpType != nullptr) *lpType = REG_SZ;
        // A string value's size counts its terminating zero.
        std::size_t needed = data.size() + 1;
        if (needed > DWORD(-1)) return ERROR_MORE_DATA;
        if (lpcbData == nullptr) return ERROR_SUCCESS;
        DWORD available = *lpcbData;
        *lpcbData = static_cast<DWORD>(needed);
        if (lpData == nullptr) return ERROR_SUCCESS;
        if (available < needed) return ERROR_MORE_DATA;
        std::memcpy(lpData, data.c_str(), needed);
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegCloseKey(HKEY hKey) {
    if (hKey == nullptr) return ERROR_INVALID_HANDLE;
    delete hKey;
    return ERROR_SUCCESS;
}
