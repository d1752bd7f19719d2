// The internals of pybind11 and nlohmann/json that Corvane relies on, and the only
// place that names them: their detail:: namespaces are no interface and may change in
// any release. Written for pybind11 2.10 and nlohmann/json 3.11 (Debian 12's
// packages); on other versions this fails to compile, so that an upgrade checks each
// use below against the new sources first.
#pragma once

#include <iterator>
#include <set>
#include <typeindex>
#include <typeinfo>

#include <nlohmann/json.hpp>
#include <pybind11/pybind11.h>

static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 10,
              "written against pybind11 2.10: check the uses in library_internals.h");
static_assert(NLOHMANN_JSON_VERSION_MAJOR == 3 && NLOHMANN_JSON_VERSION_MINOR == 11,
              "written against nlohmann/json 3.11: check the uses in library_internals.h");

namespace Vexa::VexaPy::LibraryInternals {

// pybind11's shared state, made now rather than by the first use that needs it.
inline void CreatePybind11Internals() { pybind11::detail::get_internals(); }

// The classes registered with pybind11 at one moment, so that a module initialization
// that fails half-way can take back what it registered: pybind11 refuses to register a
// class twice, and the half-built types may stay alive for long (a traceback can hold
// them), so that otherwise every later import would fail.
class TypeRegistrations {
public:
    TypeRegistrations() {
        for (const auto& [native, info] : pybind11::detail::get_internals().registered_types_cpp) {
            natives.insert(native);
        }
        for (const auto& [native, info] : pybind11::detail::get_local_internals().registered_types_cpp) {
            natives.insert(native);
        }
        for (const auto& [type, infos] : pybind11::detail::get_internals().registered_types_py) {
            types.insert(type);
        }
    }

    // Forgets every registration made since this one was taken. The type objects stay
    // as they are; when they go, pybind11 finds them no longer registered and leaves
    // the table alone.
    void ForgetLaterOnes() const {
        auto& internals = pybind11::detail::get_internals();
        EraseUnless(internals.registered_types_cpp, natives);
        EraseUnless(pybind11::detail::get_local_internals().registered_types_cpp, natives);
        EraseUnless(internals.registered_types_py, types);
    }

private:
    template <class Map, class Keys>
    static void EraseUnless(Map& map, const Keys& kept) {
        for (auto entry = map.begin(); entry != map.end();) {
            entry = kept.count(entry->first) != 0 ? std::next(entry) : map.erase(entry);
        }
    }

    std::set<std::type_index> natives;
    std::set<PyTypeObject*> types;
};

// The Python type pybind11 registered for a native class; null when there is none.
inline PyTypeObject* RegisteredType(const std::type_info& native) {
    const pybind11::detail::type_info* info = pybind11::detail::get_type_info(native);
    return info != nullptr ? info->type : nullptr;
}

// Whether value is the native value of a live Python object of the class: pybind11
// registers an instance only once its __init__ has built it.
inline bool IsRegisteredInstance(const void* value, const std::type_info& native) {
    const pybind11::detail::type_info* info = pybind11::detail::get_type_info(native);
    return info != nullptr && value != nullptr && pybind11::detail::get_object_handle(value, info);
}

// The native value inside a pybind11 object of class Self, or null when its holder
// was never constructed. The caller has checked that object is of Self's exact type.
template <class Self>
Self* ConstructedValue(PyObject* object) {
    const auto holder = reinterpret_cast<pybind11::detail::instance*>(object)->get_value_and_holder();
    return holder.holder_constructed() ? holder.template value_ptr<Self>() : nullptr;
}

// Sets the Python error for the exception in flight through the translators
// registered with pybind11, module-local ones first, as pybind11's own dispatch does.
// False when none of them took it.
inline bool ApplyRegisteredTranslators() {
    return pybind11::detail::apply_exception_translators(
               pybind11::detail::get_local_internals().registered_exception_translators) ||
           pybind11::detail::apply_exception_translators(
               pybind11::detail::get_internals().registered_exception_translators);
}

// The shortest text that reads back as value, as nlohmann/json writes numbers.
inline char* ShortestNumberText(char* first, char* last, double value) {
    return nlohmann::detail::to_chars(first, last, value);
}

}  // namespace Vexa::VexaPy::LibraryInternals
