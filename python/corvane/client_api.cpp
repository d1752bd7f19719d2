#include "python/corvane/client_api.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace Vexa::VexaPy {

ClientApi::ClientApi() : client(std::make_unique<Vexa::ClientApi>()) {}

ClientApi::ClientApi(const std::string& configuration)
    : client(std::make_unique<Vexa::ClientApi>(configuration)) {}

ClientApi::~ClientApi() {
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
    py::gil_scoped_release release;
    return client->ExecuteCommand(path, parameters);
}

std::string ClientApi::QueryNode(const std::string& path) { return client->QueryNode(path); }

void ClientApi::SetValue(const std::string& path, bool value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, long long value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, double value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const std::string& value) { client->SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const char* value) { client->SetValue(path, value); }

}  // namespace Vexa::VexaPy
