// The client library the benchmarks stage as Tessaly.dll. It does as little as a
// client library can, so that what the benchmarks time is Corvane's share:
//
//   GetValue(name)    the text of the file <name>.json beside the library, read once
//                     when the object is created; "short" gives "\"ok\""; any other
//                     name gives "null".
//   ExecuteCommand("bench.consume", anything)
//                     "null", without looking at the parameters.
//   ExecuteCommand("bench.fire", {"source": S, "payload": T, "threads": K, "count": N})
//                     K new threads each deliver N notifications (S, T) to every
//                     distinct (callback, context) pair registered under a path that
//                     starts with S + "."; T is the payload's JSON text. Returns the
//                     nanoseconds from starting the threads to having joined them.
//   RegisterEvent, UnregisterEvent
//                     keep the registrations, one per distinct (path, callback, context).
//   everything else   "null" or nothing.

#include <dlfcn.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "interfaces/client_api_interface.h"
#include "interfaces/export_contract.h"
#include "bench/workers.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Vexa::Proxy::EventCallback;

constexpr const char* kShortText = "\"ok\"";
constexpr const char* kTextSuffix = ".json";

fs::path LibraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryDirectory), &info) == 0 || info.dli_fname == nullptr) {
        throw std::runtime_error("bench client: cannot tell where the library lies");
    }
    return fs::path(info.dli_fname).parent_path();
}

std::string ReadWhole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("bench client: cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// name -> text, for every <name>.json in the directory.
std::map<std::string, std::string> ReadTexts(const fs::path& directory) {
    std::map<std::string, std::string> texts;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        if (entry.is_regular_file() && entry.path().extension() == kTextSuffix) {
            texts.emplace(entry.path().stem().string(), ReadWhole(entry.path()));
        }
    }
    return texts;
}

struct Receiver {
    EventCallback callback;
    void* context;
    bool operator<(const Receiver& other) const {
        return std::tie(callback, context) < std::tie(other.callback, other.context);
    }
};

class BenchClient final : public Vexa::Proxy::ClientApi {
public:
    BenchClient() : texts(ReadTexts(LibraryDirectory())) {}

    std::string GetProperties(const std::string&) override { return "null"; }
    std::string GetValue(const std::string& name) override {
        if (name == "short") return kShortText;
        auto text = texts.find(name);
        return text != texts.end() ? text->second : "null";
    }
    std::string GetNode(const std::string&) override { return "null"; }
    std::string GetSchema(const std::string&, Vexa::SchemaType) override { return "null"; }
    std::string QueryNode(const std::string&) override { return "null"; }

    std::string ExecuteCommand(const std::string& path, const std::string& parameters) override {
        if (path == "bench.fire") {
            const json p = json::parse(parameters);
            return std::to_string(Fire(p.at("source").get<std::string>(), p.at("payload").get<std::string>(),
                                       p.at("threads").get<int>(), p.at("count").get<long long>()));
        }
        return "null";
    }

    void RegisterEvent(const std::string& path, EventCallback callback, void* context) override {
        std::lock_guard<std::mutex> guard(lock);
        registered.insert({path, Receiver{callback, context}});
    }

    void UnregisterEvent(const std::string& path, EventCallback callback) override {
        std::lock_guard<std::mutex> guard(lock);
        auto it = registered.lower_bound({path, Receiver{callback, nullptr}});
        while (it != registered.end() && it->first == path && it->second.callback == callback) {
            it = registered.erase(it);
        }
    }

    void SetValue(const std::string&, const char*) override {}
    void SetValue(const std::string&, const std::string&) override {}
    void SetValue(const std::string&, double) override {}
    void SetValue(const std::string&, long long) override {}
    void SetValue(const std::string&, bool) override {}

private:
    // The distinct pairs registered under a path beginning with prefix.
    std::vector<Receiver> Receivers(const std::string& prefix) {
        std::lock_guard<std::mutex> guard(lock);
        std::set<Receiver> distinct;
        for (auto it = registered.lower_bound({prefix, Receiver{nullptr, nullptr}});
             it != registered.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
            distinct.insert(it->second);
        }
        return {distinct.begin(), distinct.end()};
    }

    std::int64_t Fire(const std::string& source, const std::string& payload, int threads, long long count) {
        if (threads < 1 || count < 0) throw std::invalid_argument("bench.fire: threads >= 1 and count >= 0");
        // Taken before the clock starts, and read without a lock by the threads.
        const std::vector<Receiver> to = Receivers(source + ".");
        const auto deliver = [&] {
            for (long long i = 0; i < count; ++i) {
                for (const Receiver& r : to) r.callback(source.c_str(), payload.c_str(), r.context);
            }
        };
        const auto start = std::chrono::steady_clock::now();
        {
            VexaBench::Workers workers;
            for (int t = 0; t < threads; ++t) workers.threads.emplace_back(deliver);
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    }

    const std::map<std::string, std::string> texts;
    std::mutex lock;
    // Ordered by path, then pair, so that a prefix and a (path, callback) are ranges.
    std::set<std::pair<std::string, Receiver>> registered;
};

}  // namespace

VEXA_LIBRARY_EXPORT Vexa::Proxy::ClientApi* ClientApiCreate(std::string&) { return new BenchClient(); }

VEXA_LIBRARY_EXPORT void ClientApiDestroy(Vexa::Proxy::ClientApi* instance) {
    delete static_cast<BenchClient*>(instance);
}

VEXA_LIBRARY_EXPORT std::uint32_t ClientApiRevision() { return 3; }

VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() { return 0; }
