// CallLibrary: the one exception boundary around every call into a framework library
// (the create and forwarded interface calls, the build-type and revision exports).
//
// What a library throws is an object of that library: its code, and with a private
// copy of the C++ runtime (every module of the Windows build links its runtime
// statically) even the storage of its text, belong to the library. Passing it through
// TranslateException while the library is still loaded leaves the caller with an
// object of this module only, which may outlive the library.
#pragma once

#include <utility>

#include "loader/exceptions.h"

namespace Vexa {

// Returns call()'s result; whatever it throws leaves translated (TranslateException).
template <class Call>
decltype(auto) CallLibrary(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        TranslateException();
    }
}

// The same; when the call throws, release() runs once the exception is translated
// (the library may go then: nothing of it is in flight any more), and the translated
// exception travels on.
template <class Call, class Release>
decltype(auto) CallLibrary(Call&& call, Release&& release) {
    try {
        return CallLibrary(std::forward<Call>(call));
    } catch (...) {
        std::forward<Release>(release)();
        throw;
    }
}

}  // namespace Vexa
