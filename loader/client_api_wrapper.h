// Vexa::ClientApi: binds the framework's client library Tessaly.dll (discovery, trust
// check, load, create) on construction and releases it on destruction. Every
// operation forwards to the interface object inside the exception boundary.
#pragma once

#include <memory>
#include <string>

#include "interfaces/client_api_interface.h"
#include "interfaces/schema_type.h"

namespace Vexa {

class ClientApi {
public:
    // The configuration text handed to the create export: "{}" by default.
    ClientApi();
    explicit ClientApi(const std::string& configuration);
    ~ClientApi();

    ClientApi(const ClientApi&) = delete;
    ClientApi& operator=(const ClientApi&) = delete;

    std::string GetProperties(const std::string& propertiesConfig);
    std::string GetValue(const std::string& path);
    std::string GetNode(const std::string& path);
    std::string GetSchema(const std::string& path, SchemaType type);
    std::string ExecuteCommand(const std::string& path, const std::string& parameters);
    std::string QueryNode(const std::string& path);
    void RegisterEvent(const std::string& path, Proxy::EventCallback callback, void* context);
    void UnregisterEvent(const std::string& path, Proxy::EventCallback callback);
    void SetValue(const std::string& path, const char* value);
    void SetValue(const std::string& path, const std::string& value);
    void SetValue(const std::string& path, double value);
    void SetValue(const std::string& path, long long value);
    void SetValue(const std::string& path, bool value);

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace Vexa
