#include "python/corvane/python_error.h"

#include "python/corvane/library_internals.h"

namespace Vexa::VexaPy {

void SetPythonErrorFromNative(const char* unknownText) {
    if (!LibraryInternals::ApplyRegisteredTranslators()) PyErr_SetString(PyExc_SystemError, unknownText);
}

}  // namespace Vexa::VexaPy
