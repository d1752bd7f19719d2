// Methods of ClientApi and CorvaneJson run only on objects that __init__ built.
//
// pybind11 hands a method the address of the object's native value as it finds it.
// An object whose __init__ never ran or failed (one made with __new__, or a subclass
// that carries on after its base __init__ raised) has no native value: pybind11 then
// allocates raw memory on the spot and passes that, and a method working on it crashes
// the process. Called through the class, self may even be None, which arrives as a
// null pointer. Only an object that __init__ built is registered as a live instance,
// so that registration is what tells the two apart.
#pragma once

#include <string>
#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

#include "python/corvane/library_internals.h"

namespace Vexa::VexaPy {

// The object, or TypeError when it was never initialised.
template <class Self>
Self& Initialised(Self* self) {
    if (!LibraryInternals::IsRegisteredInstance(self, typeid(Self))) {
        const PyTypeObject* type = LibraryInternals::RegisteredType(typeid(Self));
        const std::string name = type != nullptr ? type->tp_name : typeid(Self).name();
        throw pybind11::type_error(name +
                                   " object is not initialised: its __init__() was not called or did not succeed");
    }
    return *self;
}

// Member as a function of (Self*, arguments...) that refuses an object never
// initialised. pybind11 describes self in the signature as it does for Member itself.
template <auto Member>
struct InitialisedMethod;

template <class Self, class Result, class... Args, Result (Self::*Member)(Args...)>
struct InitialisedMethod<Member> {
    static Result Call(Self* self, Args... args) {
        return (Initialised(self).*Member)(std::forward<Args>(args)...);
    }
};

}  // namespace Vexa::VexaPy
