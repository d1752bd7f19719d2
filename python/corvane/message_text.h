// Native messages as Python text.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

namespace Vexa::VexaPy {

// The message decoded as UTF-8, with every byte that is not part of valid UTF-8
// written as \xNN. Messages may quote bytes the framework or the JSON parser read
// (a parse error quotes the offending bytes); without this, Python could not make a
// str of them and the exception would be raised without any text. Call with the
// interpreter lock held.
pybind11::str MessageText(const char* message);

}  // namespace Vexa::VexaPy
