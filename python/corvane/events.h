// Event subscriptions of the Corvane module: the process-wide table of Python
// handlers, shared by every ClientApi and CorvaneJson object, and DispatchEvent, the
// one native callback ever handed to the client library.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

#include "loader/client_api_wrapper.h"

namespace Vexa::VexaPy {

// Adds handler (by identity) under path, then registers DispatchEvent for path with
// the client library, passing as its context pointer the token of context: a number
// never handed out before in this process, which the table maps to context. The table
// keeps context alive until the last handler of every path registered with it is
// unregistered, which withdraws the token. Called with the interpreter lock held.
void RegisterEvent(Vexa::ClientApi& client, const std::string& path, const pybind11::object& handler,
                   const pybind11::object& context);

// Removes handler (by identity) from path; when the last handler of path goes,
// withdraws the registration from the client library. A path without an entry is
// ignored; a handler not registered under an existing path raises
// FrameworkException "Callback was not registered for event" (code 100).
void UnregisterEvent(Vexa::ClientApi& client, const std::string& path, const pybind11::object& handler);

// The client library's EventCallback: runs the handlers registered under the paths
// that the payload's items name. Safe on any thread; never throws. A failure (a
// handler raising, a payload that is not JSON, text that is not UTF-8) ends the
// notification and is reported through sys.unraisablehook. context is the token of a
// registration; notifications for a token withdrawn or never made, and all
// notifications once the interpreter has begun to exit, are dropped without touching
// Python.
void DispatchEvent(const char* source, const char* payload, void* context);

// The context pointer handed to the client library with the registrations made with
// context, or null when none stands: for programs that call DispatchEvent themselves,
// as the library would. Called with the interpreter lock held.
void* RegisteredContextPointer(const pybind11::object& context);

// True on a thread that is inside DispatchEvent: a framework thread running Python
// handlers (or a thread on which the library called back during an operation).
bool IsDispatchingEvent();

}  // namespace Vexa::VexaPy
