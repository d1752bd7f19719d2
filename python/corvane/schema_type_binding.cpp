#include <pybind11/pybind11.h>

#include "python/corvane/bindings.h"
#include "interfaces/schema_type.h"

namespace py = pybind11;

namespace Vexa::VexaPy {

void BindSchemaType(py::module_& module) {
    py::enum_<SchemaType>(module, "SchemaType")
        .value("DATA", DATA)
        .value("EVENT", EVENT)
        .value("COMMAND", COMMAND)
        .value("RESULT", RESULT)
        .value("INIT", INIT)
        .export_values();
}

}  // namespace Vexa::VexaPy
