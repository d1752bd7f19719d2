// Authenticode verification of a library file before it is loaded.
#pragma once

#include <string>

namespace Vexa {

// True only when the platform's trust verification accepts the file's signature. A
// path that cannot be put into the 260-character buffer of the check (terminator
// included) is refused, never truncated.
bool IsFileTrusted(const std::string& narrowPath);

}  // namespace Vexa
