// The interpreter check made when the module is imported. A module built against
// one Python minor version cannot be loaded by another: the interpreter's version
// text must begin with the major.minor text the module was compiled for, and the
// character after it must not be a digit, so that "3.1" does not accept "3.11.2".
#pragma once

#include <cstring>

#include <Python.h>

namespace Vexa::VexaPy {

#define VEXA_PY_STRINGIFY_(x) #x
#define VEXA_PY_STRINGIFY(x) VEXA_PY_STRINGIFY_(x)

// The major.minor text of the Python headers this module is compiled against.
inline constexpr const char* kCompiledPythonVersion =
    VEXA_PY_STRINGIFY(PY_MAJOR_VERSION) "." VEXA_PY_STRINGIFY(PY_MINOR_VERSION);

#undef VEXA_PY_STRINGIFY
#undef VEXA_PY_STRINGIFY_

inline bool InterpreterMatches(const char* interpreterVersion, const char* compiledVersion) {
    const std::size_t length = std::strlen(compiledVersion);
    if (std::strncmp(interpreterVersion, compiledVersion, length) != 0) {
        return false;
    }
    const char next = interpreterVersion[length];
    return next < '0' || next > '9';
}

}  // namespace Vexa::VexaPy
