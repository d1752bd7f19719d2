#include "tessaly/client.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>

#include "interfaces/exception_family.h"
#include "shared/framework_constants.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace Vexa::Framework {

namespace {

constexpr long long kMaximumSleepMs = 600000;
constexpr long long kMaximumEmitCount = 1000000;

// Empty text stands for "no parameters"; anything else must be strict JSON.
json ParseJson(const std::string& text, const std::string& what) {
    if (text.empty()) return nullptr;
    try {
        return json::parse(text);
    } catch (const json::parse_error& error) {
        throw JsonException(what + " is not valid JSON: " + error.what(), kJsonError);
    }
}

const json& Member(const json& parameters, const std::string& command, const char* name) {
    if (!parameters.is_object() || !parameters.contains(name))
        throw InvalidArgumentException(command + " needs an object with the member \"" + name + "\"",
                                       kInvalidArgument);
    return parameters.at(name);
}

long long IntegerMember(const json& parameters, const std::string& command, const char* name,
                        long long maximum) {
    const json& member = Member(parameters, command, name);
    if (!member.is_number_integer())
        throw InvalidArgumentException(command + ": \"" + name + "\" must be an integer", kInvalidArgument);
    if (!member.is_number_unsigned() && member.get<long long>() < 0)
        throw InvalidArgumentException(command + ": \"" + name + "\" must not be negative", kInvalidArgument);
    // Read as unsigned: the parser gives non-negative numbers that type, up to 2^64 - 1.
    if (member.get<unsigned long long>() > static_cast<unsigned long long>(maximum))
        throw LimitExceededException(command + ": \"" + name + "\" may be at most " + std::to_string(maximum),
                                     kLimitExceeded);
    return member.get<long long>();
}

// Text handed to callbacks as a C string: an embedded NUL would silently cut it short.
std::string TextMember(const json& parameters, const std::string& command, const char* name) {
    const json& member = Member(parameters, command, name);
    if (!member.is_string())
        throw InvalidArgumentException(command + ": \"" + name + "\" must be a string", kInvalidArgument);
    std::string text = member.get<std::string>();
    if (text.find('\0') != std::string::npos)
        throw InvalidArgumentException(command + ": \"" + name + "\" must not contain NUL characters",
                                       kInvalidArgument);
    return text;
}

// diagnostics.fail: lets clients see how each kind of failure reaches them.
[[noreturn]] void Fail(const json& parameters) {
    const std::string command = "diagnostics.fail";
    std::string kind = TextMember(parameters, command, "exception");
    std::string message = parameters.contains("message") ? TextMember(parameters, command, "message")
                                                         : "Failure requested by diagnostics.fail";
    const json& codeMember = parameters.contains("code") ? parameters.at("code") : json(0);
    if (!codeMember.is_number_integer() || codeMember.get<long long>() < INT32_MIN ||
        codeMember.get<long long>() > INT32_MAX)
        throw InvalidArgumentException(command + ": \"code\" must be a 32-bit integer", kInvalidArgument);
    int code = codeMember.get<int>();
    static const std::map<std::string, std::function<void(const std::string&, int)>> throwers{
        {"VexaException", [](const std::string& m, int c) { throw VexaException(m, c); }},
        {"FrameworkException", [](const std::string& m, int c) { throw FrameworkException(m, c); }},
        {"ProviderException", [](const std::string& m, int c) { throw ProviderException(m, c); }},
        {"LimitExceededException", [](const std::string& m, int c) { throw LimitExceededException(m, c); }},
        {"TimeoutException", [](const std::string& m, int c) { throw TimeoutException(m, c); }},
        {"InvalidArgumentException", [](const std::string& m, int c) { throw InvalidArgumentException(m, c); }},
        {"AccessDeniedException", [](const std::string& m, int c) { throw AccessDeniedException(m, c); }},
        {"JsonException", [](const std::string& m, int c) { throw JsonException(m, c); }},
        {"ProviderNotFoundException", [](const std::string& m, int c) { throw ProviderNotFoundException(m, c); }},
        {"runtime_error", [](const std::string& m, int) { throw std::runtime_error(m); }},
        {"logic_error", [](const std::string& m, int) { throw std::logic_error(m); }},
    };
    auto thrower = throwers.find(kind);
    if (thrower == throwers.end())
        throw InvalidArgumentException(command + ": unknown exception \"" + kind + "\"", kInvalidArgument);
    thrower->second(message, code);
    throw std::logic_error("unreachable");
}

double Round2(double value) { return std::round(value * 100.0) / 100.0; }

}  // namespace

Client::Client(const std::string& configuration, const fs::path& installDirectory)
    : configuration(configuration),
      installDirectory(installDirectory),
      catalog(installDirectory),
      storedSettings(installDirectory) {
    json settings = ParseJson(configuration, "The configuration");
    if (settings.is_object()) {
        if (settings.contains("simulate_sensors")) {
            if (!settings["simulate_sensors"].is_boolean())
                throw InvalidArgumentException("Configuration: \"simulate_sensors\" must be true or false",
                                               kInvalidArgument);
            simulateSensors = settings["simulate_sensors"].get<bool>();
        }
        if (settings.contains("interval_ms"))
            configuredSettings["interval_ms"] = tree.Checked("settings.interval_ms", settings["interval_ms"]);
    }
    // A damaged settings file must not keep clients from being made (repairing or
    // removing it mends it); reading or writing a setting reports it.
    try {
        ApplySettings(storedSettings.Read());
    } catch (const FrameworkException&) {
        ApplySettings(json::object());
    }
    sensorThread = std::thread([this] { SampleLoop(); });
}

Client::~Client() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    sensorWake.notify_all();
    sensorThread.join();
    events.Stop();
}

template <class Read>
std::string Client::ReadNode(const std::string& path, bool wholeTree, Read read) {
    auto within = [&](const char* folder) {
        return path == folder || path.rfind(std::string(folder) + ".", 0) == 0 || (wholeTree && path.empty());
    };
    const bool providers = within("providers");
    const bool settings = within("settings");
    // Read the files before taking the mutex: a slow disk must not hold up the events.
    std::vector<json> entries;
    if (providers) entries = catalog.Read();
    const json stored = settings ? storedSettings.Read() : json();
    std::lock_guard<std::mutex> lock(mutex);
    if (providers) tree.SetProviders(entries);
    if (settings) ApplySettings(stored);
    return read(tree.Get(path)).dump();
}

std::string Client::GetProperties(const std::string& propertiesConfig) {
    ParseJson(propertiesConfig, "The properties configuration");
    return json{{"name", "Tessaly"},
                {"description", "Sample framework client"},
                {"revision", kInterfaceRevision},
                {"build_type", kBuildType},
                {"install_dir", installDirectory.string()},
                {"simulate_sensors", simulateSensors},
                {"configuration", configuration}}
        .dump();
}

std::string Client::GetValue(const std::string& path) {
    return ReadNode(path, true, [&](const Node& node) { return tree.ValueOf(node); });
}

std::string Client::GetNode(const std::string& path) {
    return ReadNode(path, false, [&](const Node& node) { return tree.Describe(node); });
}

std::string Client::GetSchema(const std::string& path, SchemaType type) {
    return ReadNode(path, type == SchemaType::DATA,
                    [&](const Node& node) { return tree.Schema(node, static_cast<int>(type)); });
}

std::string Client::QueryNode(const std::string& path) {
    return ReadNode(path, false, [&](const Node& node) {
        json children = json::array();
        for (const std::string& name : node.children)
            children.push_back(tree.Describe(tree.Get(path.empty() ? name : path + "." + name)));
        return children;
    });
}

std::string Client::ExecuteCommand(const std::string& path, const std::string& parameters) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (tree.Get(path).kind != NodeKind::Command)
            throw InvalidArgumentException("\"" + path + "\" is not a command", kInvalidArgument);
    }
    if (path == "diagnostics.echo") return parameters;
    json arguments = ParseJson(parameters, "The parameters of " + path);
    if (path == "diagnostics.raw") return TextMember(arguments, path, "text");
    if (path == "diagnostics.fail") Fail(arguments);
    if (path == "diagnostics.sleep") return Sleep(arguments).dump();
    if (path == "diagnostics.emit") return Emit(arguments).dump();
    if (path == "sensors.sample") return SampleNow().dump();
    if (path == "settings.reset") return ResetSettings().dump();
    throw ProviderNotFoundException("No handler for command \"" + path + "\"", kNotFound);
}

json Client::Sleep(const json& parameters) {
    long long ms = IntegerMember(parameters, "diagnostics.sleep", "ms", kMaximumSleepMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return json{{"slept_ms", ms}};
}

json Client::Emit(const json& parameters) {
    const std::string command = "diagnostics.emit";
    std::string source = TextMember(parameters, command, "source");
    if (source.empty()) throw InvalidArgumentException(command + ": \"source\" must not be empty", kInvalidArgument);
    std::string payload = TextMember(parameters, command, "payload");
    long long count = parameters.contains("count") ? IntegerMember(parameters, command, "count", kMaximumEmitCount) : 1;
    return json{{"deliveries", events.Emit(source, payload, static_cast<std::size_t>(count))}};
}

json Client::SampleNow() {
    std::lock_guard<std::mutex> lock(mutex);
    Sample();
    return json{{"ticks", tree.Get("sensors.ticks").value}};
}

json Client::ResetSettings() {
    const std::vector<ValueChange> changes = ChangeStoredSettings([](json& stored) {
        if (stored.empty()) return false;
        stored = json::object();
        return true;
    });
    json changed = json::array();
    for (const ValueChange& change : changes) changed.push_back(change.key);
    return json{{"changed", changed}};
}

void Client::RegisterEvent(const std::string& path, Proxy::EventCallback callback, void* context) {
    if (path.empty()) throw InvalidArgumentException("Event path is empty", kInvalidArgument);
    if (callback == nullptr) throw InvalidArgumentException("Event callback is null", kInvalidArgument);
    events.Register(path, callback, context);
}

void Client::UnregisterEvent(const std::string& path, Proxy::EventCallback callback) {
    events.Unregister(path, callback);
}

void Client::SetValue(const std::string& path, const char* value) {
    if (value == nullptr) throw InvalidArgumentException("Value for \"" + path + "\" is null", kInvalidArgument);
    Write(path, json(std::string(value)));
}
void Client::SetValue(const std::string& path, const std::string& value) { Write(path, json(value)); }
void Client::SetValue(const std::string& path, double value) { Write(path, json(value)); }
void Client::SetValue(const std::string& path, long long value) { Write(path, json(value)); }
void Client::SetValue(const std::string& path, bool value) { Write(path, json(value)); }

// Every writable value is a setting.
void Client::Write(const std::string& path, const json& value) {
    json checked;
    {
        std::lock_guard<std::mutex> lock(mutex);
        checked = tree.Checked(path, value);
    }
    const std::string name = SplitPath(path).second;
    ChangeStoredSettings([&](json& stored) {
        auto current = stored.find(name);
        if (current != stored.end() && *current == checked) return false;
        stored[name] = std::move(checked);
        return true;
    });
}

std::vector<ValueChange> Client::ChangeStoredSettings(const std::function<bool(json&)>& change) {
    storedSettings.Update([&](json& stored) {
        {
            // A file holding a value that fits no setting is damaged: never written over.
            std::lock_guard<std::mutex> lock(mutex);
            CheckStored(stored);
        }
        return change(stored);
    });
    return RefreshSettings();
}

void Client::CheckStored(const json& stored) const {
    try {
        tree.CheckSettings(stored);
    } catch (const InvalidArgumentException& error) {
        storedSettings.Damaged(error.what());
    }
}

std::vector<ValueChange> Client::ApplySettings(const json& stored) {
    // The configured values were checked when the instance was made.
    CheckStored(stored);
    json values = configuredSettings;
    values.update(stored);
    std::vector<ValueChange> changes = tree.SetSettings(values);
    for (const ValueChange& change : changes) Announce(change);
    return changes;
}

std::vector<ValueChange> Client::RefreshSettings() {
    const json stored = storedSettings.Read();
    std::lock_guard<std::mutex> lock(mutex);
    return ApplySettings(stored);
}

void Client::Announce(const ValueChange& change) {
    events.Publish(change.source + "." + change.key, change.source, json{{change.key, change.value}}.dump());
}

// One sample of the simulated sensors: smooth curves over the sample count, so that
// successive samples differ and the alarm comes and goes with the threshold.
void Client::Sample() {
    long long ticks = tree.Get("sensors.ticks").value.get<long long>() + 1;
    double temperature = Round2(21.5 + 2.0 * std::sin(ticks * 0.3));
    double humidity = Round2(45.0 + 5.0 * std::cos(ticks * 0.2));
    bool alarm = tree.Get("settings.alarm_enabled").value.get<bool>() &&
                 temperature > tree.Get("settings.threshold").value.get<double>();
    const std::pair<const char*, json> readings[] = {
        {"sensors.ticks", ticks},
        {"sensors.temperature", temperature},
        {"sensors.humidity", humidity},
        {"sensors.alarm", alarm},
        {"sensors.status", alarm ? "alarm" : "ok"},
    };
    for (const auto& [path, value] : readings)
        if (auto change = tree.Update(path, value)) Announce(*change);
}

void Client::SampleLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        auto period = std::chrono::milliseconds(tree.Get("settings.interval_ms").value.get<long long>());
        if (sensorWake.wait_for(lock, period, [this] { return stopping; })) break;
        if (!simulateSensors || !events.HasRegistrations()) continue;
        // The threshold and the period another process set count from the next sample.
        // The file is read without the mutex; a damaged one leaves the settings as they
        // were (its readers report it).
        lock.unlock();
        std::optional<json> stored;
        try {
            stored = storedSettings.Read();
        } catch (const FrameworkException&) {
        }
        lock.lock();
        if (stopping) break;
        if (stored) {
            try {
                ApplySettings(*stored);
            } catch (const FrameworkException&) {
            }
        }
        Sample();
    }
}

}  // namespace Vexa::Framework
