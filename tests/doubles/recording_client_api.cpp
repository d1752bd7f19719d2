#include <cstdio>
#include <map>
#include <string>

#include "record.h"
#include "recording_apis.h"
#include "throw_described.h"

namespace {

class RecordingClientApi final : public Vexa::Proxy::ClientApi {
public:
    ~RecordingClientApi() override = default;

    std::string GetProperties(const std::string& propertiesConfig) override {
        return Answer("GetProperties(" + propertiesConfig + ")");
    }
    std::string GetValue(const std::string& path) override { return Answer("GetValue(" + path + ")"); }
    std::string GetNode(const std::string& path) override { return Answer("GetNode(" + path + ")"); }
    std::string GetSchema(const std::string& path, Vexa::SchemaType type) override {
        return Answer("GetSchema(" + path + "," + std::to_string(static_cast<int>(type)) + ")");
    }
    std::string ExecuteCommand(const std::string& path, const std::string& parameters) override {
        return Answer("ExecuteCommand(" + path + "," + parameters + ")");
    }
    std::string QueryNode(const std::string& path) override { return Answer("QueryNode(" + path + ")"); }

    // Confirms a registration at once through the callback, with the context given.
    void RegisterEvent(const std::string& path, Vexa::Proxy::EventCallback callback, void* context) override {
        Answer("RegisterEvent(" + path + ")");
        callbacks[path] = callback;
        callback(path.c_str(), "{\"registered\":true}", context);
    }
    void UnregisterEvent(const std::string& path, Vexa::Proxy::EventCallback callback) override {
        const auto found = callbacks.find(path);
        const bool known = found != callbacks.end() && found->second == callback;
        Answer("UnregisterEvent(" + path + "," + (known ? "known" : "unknown") + ")");
        if (known) callbacks.erase(found);
    }

    void SetValue(const std::string& path, const char* value) override {
        Answer("SetValue(" + path + ",char*:" + value + ")");
    }
    void SetValue(const std::string& path, const std::string& value) override {
        Answer("SetValue(" + path + ",string:" + value + ")");
    }
    void SetValue(const std::string& path, double value) override {
        char text[64];
        std::snprintf(text, sizeof text, "%g", value);
        Answer("SetValue(" + path + ",double:" + text + ")");
    }
    void SetValue(const std::string& path, long long value) override {
        Answer("SetValue(" + path + ",long long:" + std::to_string(value) + ")");
    }
    void SetValue(const std::string& path, bool value) override {
        Answer("SetValue(" + path + ",bool:" + (value ? "true" : "false") + ")");
    }

private:
    static std::string Answer(const std::string& call) {
        Record(call);
        ThrowIfEnvironmentAsks("VEXA_TEST_OPERATION_THROW");
        return call;
    }

    std::map<std::string, Vexa::Proxy::EventCallback> callbacks;
};

}  // namespace

Vexa::Proxy::ClientApi* NewRecordingClientApi() { return new RecordingClientApi(); }

void DeleteRecordingClientApi(Vexa::Proxy::ClientApi* api) { delete static_cast<RecordingClientApi*>(api); }
