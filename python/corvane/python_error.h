// The Python error for a native exception, chosen as pybind11's own dispatch chooses
// it, for the places that call native code outside that dispatch.
#pragma once

namespace Vexa::VexaPy {

// Sets the Python error that the registered exception translators choose for the
// exception in flight; a SystemError with unknownText when none takes it. Call only
// from inside a catch block.
void SetPythonErrorFromNative(const char* unknownText);

}  // namespace Vexa::VexaPy
