// Vexa::VexaPy::ClientApi: the native object behind the Python class ClientApi. It
// owns one Vexa::ClientApi wrapper, hence one binding of the client library and one
// interface object, and forwards every operation to it.
#pragma once

#include <memory>
#include <string>

#include "loader/client_api_wrapper.h"
#include "interfaces/schema_type.h"
#include "python/corvane/forked_process.h"

namespace Vexa::VexaPy {

class ClientApi {
public:
    // Bind the client library and create its interface object with the configuration
    // text "{}" or the one given. Called with the interpreter lock held.
    ClientApi();
    explicit ClientApi(const std::string& configuration);
    // Destroys the interface object and releases the library without holding the
    // interpreter lock (see python_client_api.cpp). In a forked child, an object
    // inherited from the parent leaves both alone (see Client()).
    ~ClientApi();

    ClientApi(const ClientApi&) = delete;
    ClientApi& operator=(const ClientApi&) = delete;

    std::string GetProperties(const std::string& propertiesConfig);
    std::string GetNode(const std::string& path);
    std::string GetValue(const std::string& path);
    std::string GetSchema(const std::string& path, SchemaType type);
    // Releases the interpreter lock for the library call only: a command may run for
    // long, and other Python threads and event callbacks go on meanwhile.
    std::string ExecuteCommand(const std::string& path, const std::string& parameters);
    std::string QueryNode(const std::string& path);
    void SetValue(const std::string& path, bool value);
    void SetValue(const std::string& path, long long value);
    void SetValue(const std::string& path, double value);
    void SetValue(const std::string& path, const std::string& value);
    void SetValue(const std::string& path, const char* value);

    // The wrapper, for the event subscriptions made through this object.
    Vexa::ClientApi& Wrapper() { return Client(); }

private:
    // The wrapper, or VexaException in a forked child that inherited this object: the
    // framework's interface object belongs to threads of the parent that do not exist
    // in the child, and may wait for them for ever.
    Vexa::ClientApi& Client();
    bool Inherited() const { return createdIn != CurrentProcessGeneration(); }

    ProcessGeneration createdIn;  // first: fork tracking starts before the library is bound
    std::unique_ptr<Vexa::ClientApi> client;
};

}  // namespace Vexa::VexaPy
