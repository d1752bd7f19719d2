// Finding the framework's install directory: the framework driver publishes it as the
// value "InstallDir" in the registry key of its device interface.
#pragma once

#include <filesystem>

#include "common/win32.h"

namespace Vexa {

// The device-interface class of the framework driver: {4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}.
inline constexpr GUID kFrameworkInterfaceClass = {
    0x4c0e7a1d, 0x8b2f, 0x4e65, {0x9a, 0x13, 0x6f, 0x2d, 0x5c, 0x8b, 0x0e, 0x47}};

// The size of the buffer the loaders hand to FindFrameworkDirectory.
inline constexpr DWORD kFrameworkDirectoryBufferSize = MAX_PATH;

// Copies the InstallDir value of the first present software device ("SWD") whose first
// interface of the class holds one into buffer. Returns CR_SUCCESS when buffer holds
// the value, CR_INVALID_POINTER for a null class or buffer or a zero size,
// CR_OUT_OF_MEMORY when the device list is empty by size or cannot be allocated,
// CR_NO_SUCH_VALUE when no device supplies a value that fits, or the status of a
// failed device-list query.
CONFIGRET FindFrameworkDirectory(const GUID* interfaceClass, BYTE* buffer, ULONG bufferSize);

// The full path of a framework library: the install directory joined with fileName by
// the path-append rule. Throws VexaException "Error Locating Framework Directory"
// (code 1) when the directory is not found or empty.
std::filesystem::path FrameworkLibraryPath(const std::filesystem::path& fileName);

}  // namespace Vexa
