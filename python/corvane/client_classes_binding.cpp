// The Python classes ClientApi (texts in, texts out) and CorvaneJson (Python values
// converted to and from JSON where ClientApi passes texts). Both define the same
// fifteen entries in the same order, so one template defines them for either.
//
// Only GetProperties, GetNode, GetValue and RegisterEvent name their parameters;
// everything else is positional only. The SetValue overloads are tried in the order
// they are defined: bool, int, float, then the two text forms.

#include <string>

#include <pybind11/pybind11.h>

#include "python/corvane/bindings.h"
#include "python/corvane/client_api.h"
#include "python/corvane/corvane_json.h"
#include "python/corvane/events.h"
#include "python/corvane/text_getter.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

// Configuration: the type of the second constructor's argument. handlerName: the
// keyword of RegisterEvent's callable ("pyhandler" or "event").
template <class Self, class Configuration>
py::class_<Self> DefineClientClass(py::module_& module, const char* name, const char* handlerName) {
    return py::class_<Self>(module, name)
        .def(py::init<>())
        .def(py::init<const Configuration&>())
        .def("GetProperties", &Self::GetProperties, py::arg("properties_config") = "")
        .def("GetNode", &Self::GetNode, py::arg("path") = "")
        .def("GetValue", &Self::GetValue, py::arg("path") = "")
        .def("GetSchema", &Self::GetSchema)
        .def("ExecuteCommand", &Self::ExecuteCommand)
        .def("QueryNode", &Self::QueryNode)
        .def(
            "RegisterEvent",
            [](Self& self, const std::string& path, const py::function& handler, const py::object& context) {
                RegisterEvent(self.Wrapper(), path, handler, context);
            },
            py::arg("path"), py::arg(handlerName), py::arg("context") = py::none())
        .def("UnregisterEvent",
             [](Self& self, const std::string& path, const py::function& handler) {
                 UnregisterEvent(self.Wrapper(), path, handler);
             })
        .def("SetValue", py::overload_cast<const std::string&, bool>(&Self::SetValue))
        .def("SetValue", py::overload_cast<const std::string&, long long>(&Self::SetValue))
        .def("SetValue", py::overload_cast<const std::string&, double>(&Self::SetValue))
        .def("SetValue", py::overload_cast<const std::string&, const std::string&>(&Self::SetValue))
        .def("SetValue", py::overload_cast<const std::string&, const char*>(&Self::SetValue));
}

}  // namespace

void BindClientApi(py::module_& module) {
    using Self = Vexa::VexaPy::ClientApi;
    auto cls = DefineClientClass<Self, std::string>(module, "ClientApi", "pyhandler");
    TextGetter<Self, &Self::GetProperties>::Install(cls, "GetProperties");
    TextGetter<Self, &Self::GetNode>::Install(cls, "GetNode");
    TextGetter<Self, &Self::GetValue>::Install(cls, "GetValue");
    TextGetter<Self, &Self::QueryNode>::Install(cls, "QueryNode");
}

void BindCorvaneJson(py::module_& module) {
    DefineClientClass<Vexa::CorvaneJson, JsonText>(module, "CorvaneJson", "event");
}

}  // namespace Vexa::VexaPy
