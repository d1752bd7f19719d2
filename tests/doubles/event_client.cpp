// A client library for the Corvane event tests, staged as Tessaly.dll.
//
// It keeps the event registrations of each interface object and delivers
// notifications to them from threads of its own, on command:
//
//   ExecuteCommand("events.emit", {"source": S, "payload": T, "count": N, "threads": K})
//       K new threads each deliver N notifications (S, T) to every distinct
//       (callback, context) pair registered under a path starting with S + "."; returns
//       after all deliveries are done.
//   ExecuteCommand("events.emit_withdrawn", {"source": S, "payload": T})
//       one new thread delivers (S, T) once to every pair that UnregisterEvent has
//       withdrawn from this object: the late delivery a framework may still make.
//   ExecuteCommand("events.flood", {"source": S, "payload": T, "threads": K})
//       starts K threads that deliver (S, T) to every distinct registered pair, without pause,
//       until the object is destroyed or the process ends.
//   GetValue(P)
//       delivers (P, "\"inline\"") once to the pairs registered under P + ".", on the
//       calling thread, before returning.
//   ExecuteCommand("events.counts", "")
//       {"RegisterEvent": {path: calls}, "UnregisterEvent": {path: calls}}
//   ExecuteCommand("events.refuse", {"count": N})
//       the next N calls of RegisterEvent throw AccessDeniedException "registration
//       refused" (they are counted as calls all the same).
//
// Any text parameter may instead be given in hexadecimal as "source_hex" or
// "payload_hex", for texts that are not UTF-8.
//
// Flood threads may still run while the process exits, so the library pins itself in
// memory and keeps the state they read in objects that are never destroyed. They also
// allocate nothing while they flood: at exit Windows ends them wherever they are, and
// one ended inside malloc leaves the C runtime's heap lock held for good. Windows then
// ends the whole process as soon as the exiting thread waits on that lock; Wine lets it
// wait for ever, so an allocating flood thread hangs the exit there.

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "interfaces/client_api_interface.h"
#include "interfaces/exception_family.h"
#include "interfaces/export_contract.h"

namespace {

using nlohmann::json;
using Vexa::Proxy::EventCallback;

struct Registration {
    std::string path;
    EventCallback callback;
    void* context;
    bool operator<(const Registration& other) const {
        return std::tie(path, callback, context) < std::tie(other.path, other.callback, other.context);
    }
};

// The part of an object that its delivery threads read; shared with them so that a
// flood thread outliving the object (at process exit) reads nothing freed.
struct EventState {
    std::mutex lock;
    std::set<Registration> registered;
    std::set<Registration> withdrawn;
    std::map<std::string, int> registerCalls;
    std::map<std::string, int> unregisterCalls;
    long long refusals = 0;  // of RegisterEvent calls still to come
    std::atomic<bool> stopping{false};
    // Counts changes of registered, so that flood threads copy it only when it changed.
    std::atomic<unsigned long long> generation{0};

    // The distinct (callback, context) pairs registered under a path beginning with
    // prefix, each once, as a framework delivers them.
    std::vector<Registration> Receivers(const std::string& prefix) {
        std::lock_guard<std::mutex> guard(lock);
        return Distinct(registered, prefix);
    }

    static std::vector<Registration> Distinct(const std::set<Registration>& from, const std::string& prefix) {
        std::vector<Registration> receivers;
        for (const Registration& r : from) {
            const bool seen = std::any_of(receivers.begin(), receivers.end(), [&](const Registration& o) {
                return o.callback == r.callback && o.context == r.context;
            });
            if (!seen && r.path.compare(0, prefix.size(), prefix) == 0) {
                receivers.push_back(r);
            }
        }
        return receivers;
    }
};

void Deliver(const std::vector<Registration>& to, const std::string& source, const std::string& payload) {
    for (const Registration& r : to) {
        r.callback(source.c_str(), payload.c_str(), r.context);
    }
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// A text parameter, given as a JSON string under name or as bytes in hexadecimal
// under name + "_hex" (for texts that are not UTF-8).
std::string Text(const json& parameters, const std::string& name) {
    if (parameters.contains(name + "_hex")) {
        return FromHex(parameters.at(name + "_hex").get<std::string>());
    }
    return parameters.at(name).get<std::string>();
}

// Deliberately never released: the library must outlive its flood threads.
void PinLibrary() {
#ifdef _WIN32
    HMODULE self = nullptr;
    (void)GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                             reinterpret_cast<LPCWSTR>(&PinLibrary), &self);
#else
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) != 0 && info.dli_fname != nullptr) {
        (void)dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
    }
#endif
}

class EventClient final : public Vexa::Proxy::ClientApi {
public:
    EventClient() : state(std::make_shared<EventState>()) {}

    ~EventClient() override {
        state->stopping = true;
        for (std::thread& flood : floods) {
            flood.join();
        }
    }

    std::string GetProperties(const std::string&) override { return "{}"; }
    // Delivers (path, "\"inline\"") once to the pairs registered below path, on the
    // caller's thread before returning: a framework that calls back synchronously.
    std::string GetValue(const std::string& path) override {
        Deliver(state->Receivers(path + "."), path, "\"inline\"");
        return "null";
    }
    std::string GetNode(const std::string&) override { return "{}"; }
    std::string GetSchema(const std::string&, Vexa::SchemaType) override { return "{}"; }
    std::string QueryNode(const std::string&) override { return "[]"; }

    std::string ExecuteCommand(const std::string& path, const std::string& parameters) override {
        if (path == "events.counts") {
            std::lock_guard<std::mutex> guard(state->lock);
            return json{{"RegisterEvent", state->registerCalls}, {"UnregisterEvent", state->unregisterCalls}}.dump();
        }
        const json p = json::parse(parameters);
        if (path == "events.refuse") {
            std::lock_guard<std::mutex> guard(state->lock);
            state->refusals = p.at("count").get<long long>();
            return "{}";
        }
        const std::string source = Text(p, "source");
        const std::string payload = Text(p, "payload");
        if (path == "events.emit") {
            Emit(source, payload, p.value("count", 1), p.value("threads", 1));
        } else if (path == "events.emit_withdrawn") {
            std::vector<Registration> stale;
            {
                std::lock_guard<std::mutex> guard(state->lock);
                stale = EventState::Distinct(state->withdrawn, "");
            }
            std::thread([&] { Deliver(stale, source, payload); }).join();
        } else if (path == "events.flood") {
            StartFlood(source, payload, p.value("threads", 1));
        } else {
            throw std::invalid_argument("unknown command " + path);
        }
        return "{}";
    }

    void RegisterEvent(const std::string& path, EventCallback callback, void* context) override {
        std::lock_guard<std::mutex> guard(state->lock);
        ++state->registerCalls[path];
        if (state->refusals > 0) {
            --state->refusals;
            throw Vexa::AccessDeniedException("registration refused", 403);
        }
        state->registered.insert({path, callback, context});
        ++state->generation;
    }

    void UnregisterEvent(const std::string& path, EventCallback callback) override {
        std::lock_guard<std::mutex> guard(state->lock);
        ++state->unregisterCalls[path];
        for (auto it = state->registered.begin(); it != state->registered.end();) {
            if (it->path == path && it->callback == callback) {
                state->withdrawn.insert(*it);
                it = state->registered.erase(it);
                ++state->generation;
            } else {
                ++it;
            }
        }
    }

    void SetValue(const std::string&, const char*) override {}
    void SetValue(const std::string&, const std::string&) override {}
    void SetValue(const std::string&, double) override {}
    void SetValue(const std::string&, long long) override {}
    void SetValue(const std::string&, bool) override {}

private:
    void Emit(const std::string& source, const std::string& payload, int count, int threads) {
        const std::vector<Registration> to = state->Receivers(source + ".");
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&] {
                for (int i = 0; i < count; ++i) {
                    Deliver(to, source, payload);
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
    }

    void StartFlood(const std::string& source, const std::string& payload, int threads) {
        PinLibrary();
        for (int t = 0; t < threads; ++t) {
            floods.emplace_back([state = state, source, payload] {
                unsigned long long seen = state->generation.load();
                std::vector<Registration> receivers = state->Receivers("");
                while (!state->stopping) {
                    if (const unsigned long long now = state->generation.load(); now != seen) {
                        seen = now;
                        receivers = state->Receivers("");
                    }
                    Deliver(receivers, source, payload);
                }
            });
        }
    }

    std::shared_ptr<EventState> state;
    std::vector<std::thread> floods;
};

}  // namespace

VEXA_LIBRARY_EXPORT Vexa::Proxy::ClientApi* ClientApiCreate(std::string&) { return new EventClient(); }

VEXA_LIBRARY_EXPORT void ClientApiDestroy(Vexa::Proxy::ClientApi* instance) {
    delete static_cast<EventClient*>(instance);
}

VEXA_LIBRARY_EXPORT std::uint32_t ClientApiRevision() { return 3; }

VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() { return 0; }
