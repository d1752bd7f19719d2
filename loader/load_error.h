// The result of binding a framework library. The values are the errno numbers of the
// Windows runtime library (so EILSEQ is 42 here, whatever the host's errno.h says).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace Vexa {

enum LoadError : std::int32_t {
    Success = 0,
    ParameterIsNull = 22,                  // EINVAL: the library path is empty
    LibraryAlreadyLoaded = 17,             // EEXIST: the proxy already holds a library
    InvalidDigitalSignature = 42,          // EILSEQ: the file's signature was not verified
    CannotOpenLibrary = 2,                 // ENOENT: the system refused to load the file
    IncompatibleBuildConfiguration = 8,    // ENOEXEC: the build-type word has bit 9 set
    SymbolNotFound = 6,                    // ENXIO: one of the four exports is missing
    IncompatibleVersion = 14,              // EFAULT: the interface revision is not accepted
};

// The fixed text of a result ("Invalid Digital Signature"); empty for Success.
const char* LoadErrorText(LoadError error);

// "Failed to load library: <file> : <result> : <text>", the message of the
// FrameworkException that a wrapper throws when its library cannot be bound.
std::string LoadFailureMessage(const std::filesystem::path& fileName, LoadError error);

}  // namespace Vexa
