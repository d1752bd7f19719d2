// The exception family and the exception boundary that every call into a framework
// library passes.
#pragma once

#include "interfaces/exception_family.h"

namespace Vexa {

// The exception boundary. Call only from inside a catch-all handler: rethrows the
// exception in flight as an object owned by this module (family members keep class,
// text and code; JSON library errors become JsonException 600; standard exceptions
// are reduced to logic_error, runtime_error or exception with their text; anything
// else becomes runtime_error "Unknown Exception"). Never returns.
[[noreturn]] void TranslateException();

}  // namespace Vexa
