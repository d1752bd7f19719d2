#include "python/corvane/python_client_api.h"

#include <exception>
#include <thread>

#include <pybind11/pybind11.h>

#include "loader/exceptions.h"
#include "python/corvane/events.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

ProcessGeneration TrackedGeneration() {
    TrackForkedChildren();
    return CurrentProcessGeneration();
}

}  // namespace

ClientApi::ClientApi() : createdIn(TrackedGeneration()), client(std::make_unique<Vexa::ClientApi>()) {}

ClientApi::ClientApi(const std::string& configuration)
    : createdIn(TrackedGeneration()), client(std::make_unique<Vexa::ClientApi>(configuration)) {}

ClientApi::~ClientApi() {
    if (client && Inherited()) {
        // A forked child inherited this object. Destroying the interface object would
        // join and signal the parent's framework threads, which do not exist here, and
        // hang or crash the child's exit. The child's copy of the parent's memory is
        // left as it is; it goes with the child.
        (void)client.release();
        return;
    }
    if (client && IsDispatchingEvent()) {
        // A handler dropped the last reference to a client object. This thread is
        // inside one of the framework's callbacks: destroying the interface object
        // here would make the framework join the very thread it runs on, and unload
        // the library under the callback that has yet to return. Another thread
        // finishes the destruction; the framework's destroy waits for this callback.
        std::thread([doomed = std::move(client)]() mutable { doomed.reset(); }).detach();
        return;
    }
    // Destroying the interface object joins the framework's threads. One of them may
    // be waiting for the interpreter lock to deliver an event; holding the lock here
    // would deadlock the process. Nothing of Python is touched while it is released.
    if (PyGILState_Check()) {
        py::gil_scoped_release release;
        client.reset();
    } else {
        client.reset();
    }
}

Vexa::ClientApi& ClientApi::Client() {
    if (Inherited()) {
        throw FrameworkException(
            "The client was made in another process: a forked child cannot use its parent's clients, and makes "
            "its own",
            kProxyFailure);
    }
    return *client;
}

std::string ClientApi::GetProperties(const std::string& propertiesConfig) {
    return Client().GetProperties(propertiesConfig);
}

std::string ClientApi::GetNode(const std::string& path) { return Client().GetNode(path); }

std::string ClientApi::GetValue(const std::string& path) { return Client().GetValue(path); }

std::string ClientApi::GetSchema(const std::string& path, SchemaType type) {
    return Client().GetSchema(path, type);
}

std::string ClientApi::ExecuteCommand(const std::string& path, const std::string& parameters) {
    // The lock is taken back outside any destructor: when the interpreter is
    // finalizing, retaking it ends a daemon thread by unwinding its stack, which a
    // noexcept destructor (such as a scoped release's) would turn into an abort.
    Vexa::ClientApi& library = Client();
    PyThreadState* const state = PyEval_SaveThread();
    std::string result;
    std::exception_ptr failure;
    try {
        result = library.ExecuteCommand(path, parameters);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return result;
}

std::string ClientApi::QueryNode(const std::string& path) { return Client().QueryNode(path); }

void ClientApi::SetValue(const std::string& path, bool value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, long long value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, double value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const std::string& value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const char* value) { Client().SetValue(path, value); }

}  // namespace Vexa::VexaPy
