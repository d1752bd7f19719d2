// What MinGW-w64's Windows SDK headers get wrong or leave out of what the system code
// uses. Included by common/win32.h alone, after <windows.h> and <cfgmgr32.h>.
#pragma once

// MinGW-w64 declares the older WINTRUST_DATA without pSignatureSettings (80 bytes on
// 64-bit Windows); WinVerifyTrust of current Windows versions reads the full one.
// The header's type is moved aside and the current layout takes its name.
#define WINTRUST_DATA VexaMingwWintrustDataWithoutSettings
#define PWINTRUST_DATA VexaMingwWintrustDataWithoutSettingsPointer
#include <wintrust.h>
#include <softpub.h>
#undef WINTRUST_DATA
#undef PWINTRUST_DATA
struct WINTRUST_SIGNATURE_SETTINGS_;
struct WINTRUST_DATA {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        struct WINTRUST_FILE_INFO_* pFile;
        struct WINTRUST_CATALOG_INFO_* pCatalog;
        struct WINTRUST_BLOB_INFO_* pBlob;
        struct WINTRUST_SGNR_INFO_* pSgnr;
        struct WINTRUST_CERT_INFO_* pCert;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    struct WINTRUST_SIGNATURE_SETTINGS_* pSignatureSettings;
};
using PWINTRUST_DATA = WINTRUST_DATA*;
#ifdef _WIN64
static_assert(sizeof(WINTRUST_DATA) == 88, "WINTRUST_DATA must have the layout with pSignatureSettings");
#endif

// Exported by cfgmgr32 but not declared by MinGW-w64's cfgmgr32.h.
#ifndef CM_Open_Device_Interface_Key_Ex
extern "C" DECLSPEC_IMPORT CONFIGRET WINAPI CM_Open_Device_Interface_Key_ExA(
    LPCSTR pszDeviceInterface, REGSAM samDesired, REGDISPOSITION Disposition, PHKEY phkDeviceInterface,
    ULONG ulFlags, HMACHINE hMachine);
#endif
