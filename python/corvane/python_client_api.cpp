#include "python/corvane/python_client_api.h"

#include <exception>
#include <thread>

#include <pybind11/pybind11.h>

#include "python/corvane/events.h"

namespace py = pybind11;

namespace Vexa::VexaPy {

ClientApi::ClientApi() : client(std::make_unique<Vexa::ClientApi>()) {}

ClientApi::ClientApi(const std::string& configuration)
    : client(std::make_unique<Vexa::ClientApi>(configuration)) {}

ClientApi::~ClientApi() {
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

std::string ClientApi::GetProperties(const std::string& propertiesConfig) {
    return client->GetProperties(propertiesConfig);
}

std::string ClientApi::GetNode(const std::string& path) { return client->GetNode(path); }

std::string ClientApi::GetValue(const std::string& path) { return client->GetValue(path); }

std::string ClientApi::GetSchema(const std::string& path, SchemaType type) {
    return client->GetSchema(path, type);
}

std::string ClientApi::ExecuteCommand(const std::string& path, const std::string& parameters) {
    // The lock is taken back outside any destructor: when the interpreter is
    // finalizing, retaking it ends a daemon thread by unwinding its stack, which a
    // noexcept destructor (such as a scoped release's) would turn into an abort.
    PyThreadState* const state = PyEval_SaveThread();
    std::string result;
    std::exception_ptr failure;
    try {
        result = client->ExecuteCommand(path, parameters);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return result;
}

std::string ClientApi::QueryNode(const std::string& path) { return client->QueryNode(path); }

void ClientApi::SetValue(const std::string& path, bool value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, long long value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, double value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const std::string& value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const char* value) { client->SetValue(path, value); }

}  // namespace Vexa::VexaPy
