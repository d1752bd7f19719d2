// The parts of the Corvane module body, each registering one concern on the module.
#pragma once

#include <pybind11/pybind11.h>

namespace Vexa::VexaPy {

void BindSchemaType(pybind11::module_& module);
void RegisterExceptions(pybind11::module_& module);
void BindClientApi(pybind11::module_& module);
void BindCorvaneJson(pybind11::module_& module);

}  // namespace Vexa::VexaPy
