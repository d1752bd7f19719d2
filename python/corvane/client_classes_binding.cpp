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
#include "python/corvane/corvane_json.h"
#include "python/corvane/events.h"
#include "python/corvane/initialised.h"
#include "python/corvane/python_client_api.h"
#include "python/corvane/text_getter.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

// Configuration: the type of the second constructor's argument. handlerName: the
// keyword of RegisterEvent's callable ("pyhandler" or "event").
template <class Self, class Configuration>
py::class_<Self> DefineClientClass(py::module_& module, const char* name, const char* handlerName) {
    // Every entry but __init__ goes through InitialisedMethod or Initialised: an
    // object whose __init__ never ran has no native value to work on.
    using SetBool = void (Self::*)(const std::string&, bool);
    using SetInteger = void (Self::*)(const std::string&, long long);
    using SetDouble = void (Self::*)(const std::string&, double);
    using SetText = void (Self::*)(const std::string&, const std::string&);
    using SetCharacters = void (Self::*)(const std::string&, const char*);
    return py::class_<Self>(module, name)
        .def(py::init<>())
        .def(py::init<const Configuration&>())
        .def("GetProperties", &InitialisedMethod<&Self::GetProperties>::Call, py::arg("properties_config") = "")
        .def("GetNode", &InitialisedMethod<&Self::GetNode>::Call, py::arg("path") = "")
        .def("GetValue", &InitialisedMethod<&Self::GetValue>::Call, py::arg("path") = "")
        .def("GetSchema", &InitialisedMethod<&Self::GetSchema>::Call)
        .def("ExecuteCommand", &InitialisedMethod<&Self::ExecuteCommand>::Call)
        .def("QueryNode", &InitialisedMethod<&Self::QueryNode>::Call)
        .def(
            "RegisterEvent",
            [](Self* self, const std::string& path, const py::function& handler, const py::object& context) {
                RegisterEvent(Initialised(self).Wrapper(), path, handler, context);
            },
            py::arg("path"), py::arg(handlerName), py::arg("context") = py::none())
        .def("UnregisterEvent",
             [](Self* self, const std::string& path, const py::function& handler) {
                 UnregisterEvent(Initialised(self).Wrapper(), path, handler);
             })
        .def("SetValue", &InitialisedMethod<static_cast<SetBool>(&Self::SetValue)>::Call)
        .def("SetValue", &InitialisedMethod<static_cast<SetInteger>(&Self::SetValue)>::Call)
        .def("SetValue", &InitialisedMethod<static_cast<SetDouble>(&Self::SetValue)>::Call)
        .def("SetValue", &InitialisedMethod<static_cast<SetText>(&Self::SetValue)>::Call)
        .def("SetValue", &InitialisedMethod<static_cast<SetCharacters>(&Self::SetValue)>::Call);
}

// The getters of either class, which a program may call in tight loops, get the
// quicker entry.
template <class Self>
void InstallTextGetters(py::class_<Self>& cls) {
    TextGetter<Self, &Self::GetProperties>::Install(cls, "GetProperties");
    TextGetter<Self, &Self::GetNode>::Install(cls, "GetNode");
    TextGetter<Self, &Self::GetValue>::Install(cls, "GetValue");
    TextGetter<Self, &Self::QueryNode>::Install(cls, "QueryNode");
}

}  // namespace

void BindClientApi(py::module_& module) {
    auto cls = DefineClientClass<Vexa::VexaPy::ClientApi, std::string>(module, "ClientApi", "pyhandler");
    InstallTextGetters(cls);
}

void BindCorvaneJson(py::module_& module) {
    auto cls = DefineClientClass<Vexa::CorvaneJson, JsonText>(module, "CorvaneJson", "event");
    InstallTextGetters(cls);
}

}  // namespace Vexa::VexaPy
