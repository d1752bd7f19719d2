// Tessaly's client: the implementation of Vexa::Proxy::ClientApi over the demo data
// tree, with commands, schemas and events.
//
// Settings are the machine's, not the instance's: a write goes to the install
// directory's stored settings (stored_settings.h) before the instance shows it, and
// every read of a setting, every sample and the creation take up what any client of
// any process stored, announcing what changed.
//
// Threads: every operation may be called from any thread while others run on the same
// instance. The instance owns two threads: the event hub's delivery thread (the only
// thread that calls callbacks) and the sensor thread, which samples the sensors every
// settings.interval_ms milliseconds while any event is registered. Only ExecuteCommand
// ever waits for a callback (diagnostics.emit waits for its deliveries); no other
// operation waits for anything but the instance's short-held mutex. The destructor stops
// and joins both threads.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "interfaces/client_api_interface.h"
#include "shared/provider_catalog_file.h"
#include "tessaly/data_tree.h"
#include "tessaly/event_hub.h"
#include "tessaly/stored_settings.h"

namespace Vexa::Framework {

class Client final : public Proxy::ClientApi {
public:
    // `configuration` is kept verbatim. It may be empty or any JSON text; an object may
    // set "interval_ms" (the initial sampling period) and "simulate_sensors" (false stops
    // the periodic sampling). Text that is not JSON throws JsonException.
    Client(const std::string& configuration, const std::filesystem::path& installDirectory);
    ~Client() override;

    std::string GetProperties(const std::string& propertiesConfig) override;
    std::string GetValue(const std::string& path) override;
    std::string GetNode(const std::string& path) override;
    std::string GetSchema(const std::string& path, SchemaType type) override;
    std::string ExecuteCommand(const std::string& path, const std::string& parameters) override;
    std::string QueryNode(const std::string& path) override;
    void RegisterEvent(const std::string& path, Proxy::EventCallback callback, void* context) override;
    void UnregisterEvent(const std::string& path, Proxy::EventCallback callback) override;
    void SetValue(const std::string& path, const char* value) override;
    void SetValue(const std::string& path, const std::string& value) override;
    void SetValue(const std::string& path, double value) override;
    void SetValue(const std::string& path, long long value) override;
    void SetValue(const std::string& path, bool value) override;

private:
    // Runs `read` on the node at `path` under the mutex; paths below "providers" and
    // "settings" (and the root's value) first refresh that folder from its file.
    template <class Read>
    std::string ReadNode(const std::string& path, bool wholeTree, Read read);
    void Write(const std::string& path, const nlohmann::json& value);
    // Throws FrameworkException naming the settings file when a stored value does not
    // fit its setting; called with the mutex held.
    void CheckStored(const nlohmann::json& stored) const;
    // Makes the settings the stored ones over the configured ones over the defaults and
    // announces what changed; called with the mutex held. Throws as CheckStored.
    std::vector<ValueChange> ApplySettings(const nlohmann::json& stored);
    // Reads the stored settings, then applies them under the mutex.
    std::vector<ValueChange> RefreshSettings();
    // Lets `change` edit the stored settings under their writers' lock, so that two
    // clients setting values at once lose neither write; then takes up the file as it is
    // now, whoever wrote it last, and returns what changed.
    std::vector<ValueChange> ChangeStoredSettings(const std::function<bool(nlohmann::json&)>& change);
    // Hands value changes to the hub; called with the mutex held so that notifications
    // of one path keep the order of its changes.
    void Announce(const ValueChange& change);
    void Sample();
    void SampleLoop();

    // The commands; each takes the parsed parameters (null for an empty text).
    nlohmann::json Sleep(const nlohmann::json& parameters);
    nlohmann::json Emit(const nlohmann::json& parameters);
    nlohmann::json SampleNow();
    nlohmann::json ResetSettings();

    const std::string configuration;
    const std::filesystem::path installDirectory;
    ProviderCatalogFile catalog;
    StoredSettings storedSettings;
    nlohmann::json configuredSettings = nlohmann::json::object();  // from the configuration
    bool simulateSensors = true;

    std::mutex mutex;  // guards tree and stopping
    std::condition_variable sensorWake;
    DataTree tree;
    bool stopping = false;

    EventHub events;
    std::thread sensorThread;  // last: starts after everything it uses exists
};

}  // namespace Vexa::Framework
