// The subset of the Win32 API that the Vexa client tooling calls, for platforms
// other than Windows. Types, constants, structure layouts, status codes and error
// codes are those of the Windows SDK for 64-bit Windows, so that the system code
// reads the same on both platforms; the functions are implemented in platform/src
// over POSIX, OpenSSL and the machine-state directory.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- basic types (LLP64 sizes: long and DWORD are 32 bits on Windows) ----
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using SIZE_T = std::size_t;
using INT_PTR = std::intptr_t;
using LSTATUS = LONG;
using REGSAM = DWORD;
using CHAR = char;
using WCHAR = wchar_t;
using LPVOID = void*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using PULONG = ULONG*;
using LPSTR = char*;
using LPCSTR = const char*;
using PCSTR = const char*;
using PZZSTR = char*;
using PCZZSTR = const char*;
using DEVINSTID_A = char*;
using LPCWSTR = const WCHAR*;
using HANDLE = void*;
using HMACHINE = HANDLE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct HKEY__;
struct HWND__;
struct HINSTANCE__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using HWND = HWND__*;
using HMODULE = HINSTANCE__*;
using FARPROC = INT_PTR (*)();

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using LPGUID = GUID*;
using LPCGUID = const GUID*;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

#define MAX_PATH 260

// ---- Configuration Manager (cfgmgr32) ----
using CONFIGRET = DWORD;
using REGDISPOSITION = ULONG;

#define CR_SUCCESS 0x00000000u
#define CR_DEFAULT 0x00000001u
#define CR_OUT_OF_MEMORY 0x00000002u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_INVALID_DATA 0x0000001Fu
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_FAILURE 0x00000013u
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_REGISTRY_ERROR 0x0000001Bu
#define CR_INVALID_DEVICE_ID 0x0000001Eu
#define CR_NO_SUCH_REGISTRY_KEY 0x00000023u
#define CR_NO_SUCH_VALUE 0x00000025u
#define CR_NO_SUCH_DEVICE_INTERFACE 0x00000037u
#define CR_MACHINE_UNAVAILABLE 0x0000003Cu

#define CM_GETIDLIST_FILTER_NONE 0x00000000u
#define CM_GETIDLIST_FILTER_ENUMERATOR 0x00000001u
#define CM_GETIDLIST_FILTER_PRESENT 0x00000100u
#define CM_GET_DEVICE_INTERFACE_LIST_PRESENT 0x00000000u
#define CM_GET_DEVICE_INTERFACE_LIST_ALL_DEVICES 0x00000001u

#define RegDisposition_OpenAlways 0x00000000u
#define RegDisposition_OpenExisting 0x00000001u

CONFIGRET CM_Get_Device_ID_List_SizeA(PULONG pulLen, PCSTR pszFilter, ULONG ulFlags);
CONFIGRET CM_Get_Device_ID_ListA(PCSTR pszFilter, PZZSTR Buffer, ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_List_SizeA(PULONG pulLen, LPGUID InterfaceClassGuid,
                                             DEVINSTID_A pDeviceID, ULONG ulFlags);
CONFIGRET CM_Get_Device_Interface_ListA(LPGUID InterfaceClassGuid, DEVINSTID_A pDeviceID,
                                        PZZSTR Buffer, ULONG BufferLen, ULONG ulFlags);
CONFIGRET CM_Open_Device_Interface_Key_ExA(LPCSTR pszDeviceInterface, REGSAM samDesired,
                                           REGDISPOSITION Disposition, PHKEY phkDeviceInterface,
                                           ULONG ulFlags, HMACHINE hMachine);

// ---- registry (advapi32) and error codes ----
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_BAD_NETPATH 53L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_MORE_DATA 234L

#define REG_NONE 0u
#define REG_SZ 1u

#define GENERIC_READ 0x80000000u
#define KEY_READ 0x00020019u

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData);
LSTATUS RegCloseKey(HKEY hKey);

// ---- process heap (kernel32) ----
#define HEAP_ZERO_MEMORY 0x00000008u

HANDLE GetProcessHeap();
LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// ---- files (kernel32) ----
// The stand-in opens files for reading only, and only with the share mode that keeps
// them as they are while the handle is open: FILE_SHARE_READ alone (or no sharing).
// Such a handle holds a private, sealed snapshot of the file's bytes taken when it was
// opened; while a handle is open for a path, every further handle of this process for
// that path shares the snapshot, WinVerifyTrust given the handle verifies it, and
// LoadLibraryExA of the path maps it. Other processes may change the file on disk, as
// Windows would refuse them to; this process no longer sees it. Files that are not
// regular files are refused at once with ERROR_ACCESS_DENIED, never waited on; a file
// larger than WinVerifyTrust examines (2 GiB less one byte) with ERROR_FILE_TOO_LARGE,
// unread; and one that does not end at its size (written meanwhile, or without a size,
// as the files of /proc) with ERROR_SHARING_VIOLATION, as Windows refuses a file that
// another handle writes. No file is read beyond its size.
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
// FILE_TYPE_DISK for every open handle (only regular files can be opened);
// FILE_TYPE_UNKNOWN with ERROR_INVALID_HANDLE for anything else.
DWORD GetFileType(HANDLE hFile);

// The absolute form of a path: relative to the current directory, with "." and ".."
// resolved by the text alone (links are not followed). Returns the length without the
// terminator, or, when nBufferLength is too small, the size needed with it; 0 on failure.
DWORD GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart);

// ---- library loading (kernel32) ----
// LoadLibraryExA maps a private snapshot of the file (the one a held handle took, see
// CreateFileW, or one taken for this load) and returns the same module, counted, for
// every load of the same full path until the last FreeLibrary, and after it for as long
// as the module stays in the process (one with an STB_GNU_UNIQUE symbol, or one that
// pins itself, as a pinned module stays on Windows). FreeLibrary refuses a handle that
// LoadLibraryExA did not give with ERROR_INVALID_HANDLE. The module names its
// file by that path (dladdr), as GetModuleFileName would on Windows. A bare file name
// is not found: Windows would search its default directories, which the stand-in has not.
#define LOAD_LIBRARY_SEARCH_DEFAULT_DIRS 0x00001000u

HMODULE LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD dwFlags);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// ---- trust verification (wintrust) ----
#define WTD_UI_ALL 1u
#define WTD_UI_NONE 2u
#define WTD_UI_NOBAD 3u
#define WTD_UI_NOGOOD 4u
#define WTD_REVOKE_NONE 0u
#define WTD_REVOKE_WHOLECHAIN 1u
#define WTD_CHOICE_FILE 1u
#define WTD_STATEACTION_IGNORE 0u
#define WTD_STATEACTION_VERIFY 1u
#define WTD_STATEACTION_CLOSE 2u

// HRESULT-style codes, as the LONG that WinVerifyTrust returns.
#define TRUST_E_PROVIDER_UNKNOWN static_cast<LONG>(0x800B0001u)
#define TRUST_E_ACTION_UNKNOWN static_cast<LONG>(0x800B0002u)
#define TRUST_E_SUBJECT_FORM_UNKNOWN static_cast<LONG>(0x800B0003u)
#define TRUST_E_SUBJECT_NOT_TRUSTED static_cast<LONG>(0x800B0004u)
#define TRUST_E_NOSIGNATURE static_cast<LONG>(0x800B0100u)
#define TRUST_E_BAD_DIGEST static_cast<LONG>(0x80096010u)
#define TRUST_E_CERT_SIGNATURE static_cast<LONG>(0x80096004u)
#define TRUST_E_SYSTEM_ERROR static_cast<LONG>(0x80096001u)
#define CERT_E_UNTRUSTEDROOT static_cast<LONG>(0x800B0109u)
#define CERT_E_CHAINING static_cast<LONG>(0x800B010Au)
#define CERT_E_WRONG_USAGE static_cast<LONG>(0x800B0110u)
#define CERT_E_EXPIRED static_cast<LONG>(0x800B0101u)
#define TRUST_E_NO_SIGNER_CERT static_cast<LONG>(0x80096002u)
#define CRYPT_E_BAD_ENCODE static_cast<LONG>(0x80092002u)
#define CRYPT_E_FILE_ERROR static_cast<LONG>(0x80092003u)
#define E_INVALIDARG static_cast<LONG>(0x80070057u)

struct WINTRUST_FILE_INFO {
    DWORD cbStruct;
    LPCWSTR pcwszFilePath;
    HANDLE hFile;
    GUID* pgKnownSubject;
};

struct WINTRUST_DATA {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    union {
        WINTRUST_FILE_INFO* pFile;
        void* pCatalog;
        void* pBlob;
        void* pSgnr;
        void* pCert;
    };
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};

static_assert(sizeof(WINTRUST_FILE_INFO) == 32, "WINTRUST_FILE_INFO must have the Windows x64 layout");
static_assert(sizeof(WINTRUST_DATA) == 88, "WINTRUST_DATA must have the Windows x64 layout");

// {00AAC56B-CD44-11D0-8CC2-00C04FC295EE}
#define WINTRUST_ACTION_GENERIC_VERIFY_V2 \
    { 0x00aac56b, 0xcd44, 0x11d0, { 0x8c, 0xc2, 0x00, 0xc0, 0x4f, 0xc2, 0x95, 0xee } }

// On Linux: the embedded signature of platform/src/signature_format.h, checked
// against the PEM roots in $VEXA_PLATFORM_ROOT/trust; the result codes and the
// order of the checks are listed in platform/src/win_verify_trust.h.
LONG WinVerifyTrust(HWND hwnd, GUID* pgActionID, LPVOID pWVTData);
