// The client interface that Tessaly.dll implements, as Corvane calls it.
#pragma once

#include <string>

#include "interfaces/schema_type.h"

namespace Vexa::Proxy {

// Event notification: the source path, the payload (JSON text), and the context
// pointer given at registration. Called on a thread of the framework's choosing.
using EventCallback = void (*)(const char* source, const char* payload, void* context);

class ClientApi {
protected:
    // Slot 0. Protected: an instance is released only through the destroy export of
    // the library that made it, never deleted by a caller.
    virtual ~ClientApi() = default;

public:
    virtual std::string GetProperties(const std::string& propertiesConfig) = 0;      // 1
    virtual std::string GetValue(const std::string& path) = 0;                         // 2
    virtual std::string GetNode(const std::string& path) = 0;                          // 3
    virtual std::string GetSchema(const std::string& path, SchemaType type) = 0;      // 4
    virtual std::string ExecuteCommand(const std::string& path,
                                       const std::string& parameters) = 0;             // 5
    virtual std::string QueryNode(const std::string& path) = 0;                        // 6
    virtual void RegisterEvent(const std::string& path, EventCallback callback,
                               void* context) = 0;                                     // 7
    virtual void UnregisterEvent(const std::string& path, EventCallback callback) = 0; // 8
    virtual void SetValue(const std::string& path, const char* value) = 0;            // 9
    virtual void SetValue(const std::string& path, const std::string& value) = 0;     // 10
    virtual void SetValue(const std::string& path, double value) = 0;                 // 11
    virtual void SetValue(const std::string& path, long long value) = 0;              // 12
    virtual void SetValue(const std::string& path, bool value) = 0;                   // 13
};

}  // namespace Vexa::Proxy
