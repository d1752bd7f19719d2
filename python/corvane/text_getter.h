// A quicker entry for the getters of ClientApi and CorvaneJson: methods that take one
// text and return a text or, for CorvaneJson, the Python value of one.
//
// pybind11 calls every method through its generic dispatch: an argument tuple,
// overload resolution, a type lookup for self. For the getters, which a program may
// call in tight loops, that costs more than the rest of the call. This puts a
// vectorcall function in front of it: a call on an object of exactly the class,
// with one str argument and nothing else, runs here; every other call goes to
// pybind11's function unchanged, so keywords, defaults, bytes, subclasses and the
// errors of calls that do not match behave exactly as before. The method keeps
// pybind11's docstring, signature line included.
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include <pybind11/pybind11.h>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "python/corvane/library_internals.h"
#include "python/corvane/python_error.h"

namespace Vexa::VexaPy {

// Member: a method of Self taking const std::string&; what it returns is a std::string
// or a type that pybind11 converts.
template <class Self, auto Member>
class TextGetter {
public:
    // Replaces cls.name, which pybind11 defined from Member, by the quicker entry.
    static void Install(pybind11::class_<Self>& cls, const char* name) {
        const pybind11::object method = cls.attr("__dict__")[name];
        // pybind11 keeps a method as an instancemethod around its function. The
        // function lives as long as the class, which lives as long as the process.
        generic = Py_NewRef(PyInstanceMethod_Function(method.ptr()));
        type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        doc = pybind11::str(method.attr("__doc__"));
        definition = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Call)),
                      METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
        // An instancemethod again, so that the method binds as before and a call
        // through the class with anything but an instance reaches pybind11 too.
        const auto function =
            pybind11::reinterpret_steal<pybind11::object>(PyCFunction_NewEx(&definition, nullptr, nullptr));
        if (!function) throw pybind11::error_already_set();
        const auto entry = pybind11::reinterpret_steal<pybind11::object>(PyInstanceMethod_New(function.ptr()));
        if (!entry) throw pybind11::error_already_set();
        cls.attr(name) = entry;
    }

private:
    // args[0] is the object the method was called on.
    static PyObject* Call(PyObject* /*unbound*/, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
        if (count == 2 && keywords == nullptr && Py_TYPE(args[0]) == type && PyUnicode_CheckExact(args[1])) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(args[1], &size);
            Self* self = LibraryInternals::ConstructedValue<Self>(args[0]);
            if (utf8 != nullptr && self != nullptr) {
                return Run(*self, std::string(utf8, static_cast<std::size_t>(size)));
            }
            // A str that cannot be encoded, or an object never initialised: the
            // generic entry reports those.
            PyErr_Clear();
        }
        return PyObject_Vectorcall(generic, args, static_cast<std::size_t>(count), keywords);
    }

    // As pybind11's dispatch runs a call: its exceptions become Python errors through
    // the same translators, a thread's forced unwinding goes on.
    static PyObject* Run(Self& object, const std::string& text) {
        try {
            auto result = (object.*Member)(text);
            if constexpr (std::is_same_v<decltype(result), std::string>) {
                return PyUnicode_DecodeUTF8(result.data(), static_cast<Py_ssize_t>(result.size()), nullptr);
            } else {
                return pybind11::cast(std::move(result)).release().ptr();
            }
        } catch (pybind11::error_already_set& error) {
            error.restore();
#ifdef __GLIBCXX__
        } catch (abi::__forced_unwind&) {
            throw;
#endif
        } catch (...) {
            SetPythonErrorFromNative("Exception escaped from default exception translator!");
        }
        return nullptr;
    }

    static inline PyObject* generic = nullptr;
    static inline PyTypeObject* type = nullptr;
    static inline std::string doc;
    static inline PyMethodDef definition{};
};

}  // namespace Vexa::VexaPy
