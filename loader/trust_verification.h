// Authenticode verification of a library file before it is loaded.
//
// What is verified must be what is loaded: the loader opens the file with
// OpenUnchangeable before the check and keeps the handle until the library is loaded.
// While it is open nobody can write the file, rename another over it or delete it, so
// the path names the verified bytes until the load has mapped them.
#pragma once

#include <string>

#include "common/resource_owners.h"
#include "common/win32.h"

namespace Vexa {

// Opens the file at narrowPath for reading with share mode FILE_SHARE_READ alone; no
// file when it cannot be opened or is not a file on disk (a pipe or a device, which
// could make a reader wait).
UniqueFile OpenUnchangeable(const std::string& narrowPath);

// True only when the platform's trust verification accepts the file's signature,
// read through `file` when one is given (a handle of OpenUnchangeable for the same
// path). A path that cannot be put into the 260-character buffer of the check
// (terminator included) is refused, never truncated.
bool IsFileTrusted(const std::string& narrowPath, HANDLE file = nullptr);

// WinVerifyTrust as the loader calls it: verification of the file's signature (read
// through `file` when one is given), then the release of the state it left. 0 when
// trusted, else the platform's TRUST_E_* or CERT_E_* code.
LONG VerifyFileTrust(LPCWSTR filePath, HANDLE file = nullptr);

}  // namespace Vexa
