// A client library for the Corvane tests, staged as Tessaly.dll.
//
// It records every call it receives (operation, SetValue overload, arguments) as one
// JSON line in journal.jsonl beside the library file, and behaves as script.json
// beside the library file says, read afresh on every call. See the ScriptedMachine
// fixture of the Python tests for the script format.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "interfaces/exception_family.h"
#include "interfaces/client_api_interface.h"
#include "interfaces/export_contract.h"
#include "shared/library_directory.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Calls may arrive on several threads at once (ExecuteCommand runs without the
// interpreter lock); the journal is appended under this lock.
std::mutex journalLock;

json ReadScript() {
    std::ifstream in(Vexa::Framework::LibraryDirectory() / "script.json");
    if (!in) {
        return json::object();
    }
    return json::parse(in);
}

void Record(const json& entry) {
    std::lock_guard<std::mutex> guard(journalLock);
    std::ofstream out(Vexa::Framework::LibraryDirectory() / "journal.jsonl", std::ios::app);
    // Texts that are not UTF-8 are recorded with replacement characters.
    out << entry.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

[[noreturn]] void Throw(const std::string& kind, const std::string& message) {
    if (kind == "VexaException") throw Vexa::VexaException(message, 7);
    if (kind == "FrameworkException") throw Vexa::FrameworkException(message, 7);
    if (kind == "ProviderException") throw Vexa::ProviderException(message, 7);
    if (kind == "LimitExceededException") throw Vexa::LimitExceededException(message, 7);
    if (kind == "TimeoutException") throw Vexa::TimeoutException(message, 7);
    if (kind == "InvalidArgumentException") throw Vexa::InvalidArgumentException(message, 7);
    if (kind == "AccessDeniedException") throw Vexa::AccessDeniedException(message, 7);
    if (kind == "JsonException") throw Vexa::JsonException(message, 7);
    if (kind == "ProviderNotFoundException") throw Vexa::ProviderNotFoundException(message, 7);
    if (kind == "runtime_error") throw std::runtime_error(message);
    if (kind == "logic_error") throw std::out_of_range(message);
    if (kind == "exception") throw std::bad_alloc();
    if (kind == "json_error") {
        const json parsed = json::parse(message);  // throws the library's parse error
        throw std::runtime_error("scripted double: json_error needs a message that is not JSON");
    }
    throw 42;                                              // anything outside the standard family
}

void WaitForFile(const fs::path& path) {
    // Bounded so that a test whose expectation fails cannot hang for ever.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(path) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Records the call, then does what the script says for op. Returns the result text.
std::string Perform(const std::string& op, json entry) {
    entry["op"] = op;
    Record(entry);
    const json script = ReadScript();
    const auto step = script.find(op);
    if (step == script.end()) {
        return entry.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    if (step->contains("block_until")) {
        WaitForFile(step->at("block_until").get<std::string>());
        Record({{"op", op + ".released"}});
    }
    if (step->contains("throw")) {
        const std::string message = step->contains("message_hex") ? FromHex(step->at("message_hex").get<std::string>())
                                                                  : step->value("message", "");
        Throw(step->at("throw").get<std::string>(), message);
    }
    if (step->contains("result_hex")) {
        return FromHex(step->at("result_hex").get<std::string>());
    }
    return step->value("result", entry.dump(-1, ' ', false, json::error_handler_t::replace));
}

class ScriptedClient final : public Vexa::Proxy::ClientApi {
public:
    ~ScriptedClient() override { Record({{"op", "Destroy"}}); }

    std::string GetProperties(const std::string& config) override {
        return Perform("GetProperties", {{"args", json::array({config})}});
    }
    std::string GetValue(const std::string& path) override { return Perform("GetValue", {{"args", json::array({path})}}); }
    std::string GetNode(const std::string& path) override { return Perform("GetNode", {{"args", json::array({path})}}); }
    std::string GetSchema(const std::string& path, Vexa::SchemaType type) override {
        return Perform("GetSchema", {{"args", json::array({path, static_cast<int>(type)})}});
    }
    std::string ExecuteCommand(const std::string& path, const std::string& parameters) override {
        return Perform("ExecuteCommand", {{"args", json::array({path, parameters})}});
    }
    std::string QueryNode(const std::string& path) override { return Perform("QueryNode", {{"args", json::array({path})}}); }
    void RegisterEvent(const std::string& path, Vexa::Proxy::EventCallback, void*) override {
        Perform("RegisterEvent", {{"args", json::array({path})}});
    }
    void UnregisterEvent(const std::string& path, Vexa::Proxy::EventCallback) override {
        Perform("UnregisterEvent", {{"args", json::array({path})}});
    }
    void SetValue(const std::string& path, const char* value) override {
        Perform("SetValue", {{"overload", "char*"}, {"args", json::array({path, value})}});
    }
    void SetValue(const std::string& path, const std::string& value) override {
        Perform("SetValue", {{"overload", "string"}, {"args", json::array({path, value})}});
    }
    void SetValue(const std::string& path, double value) override {
        Perform("SetValue", {{"overload", "double"}, {"args", json::array({path, value})}});
    }
    void SetValue(const std::string& path, long long value) override {
        Perform("SetValue", {{"overload", "int64"}, {"args", json::array({path, value})}});
    }
    void SetValue(const std::string& path, bool value) override {
        Perform("SetValue", {{"overload", "bool"}, {"args", json::array({path, value})}});
    }
};

}  // namespace

VEXA_LIBRARY_EXPORT Vexa::Proxy::ClientApi* ClientApiCreate(std::string& configuration) {
    const json script = ReadScript();
    Perform("Create", {{"args", json::array({configuration})}});
    if (script.contains("Create") && script["Create"].value("null", false)) {
        return nullptr;
    }
    return new ScriptedClient();
}

VEXA_LIBRARY_EXPORT void ClientApiDestroy(Vexa::Proxy::ClientApi* instance) {
    delete static_cast<ScriptedClient*>(instance);
}

VEXA_LIBRARY_EXPORT std::uint32_t ClientApiRevision() { return 3; }

VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() { return 0; }
