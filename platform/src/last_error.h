// The thread's last error (GetLastError, SetLastError; declared in
// <vexa_platform/windows.h>) and the Windows errors that stand for the POSIX ones.
// Every part of the stand-in that fails a call sets the last error through here, and
// none of them needs another part to do so.
#pragma once

#include <vexa_platform/windows.h>

namespace VexaPlatform {

// The Windows error of a failed open, from its errno: a missing file is
// ERROR_FILE_NOT_FOUND, a path that cannot lead to one ERROR_PATH_NOT_FOUND, no
// memory ERROR_NOT_ENOUGH_MEMORY; anything else, a file that is no regular file
// included, is refused as ERROR_ACCESS_DENIED, as Windows refuses to open a directory
// as a file.
DWORD OpenError(int error);

}  // namespace VexaPlatform
