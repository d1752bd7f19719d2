// A scriptable stand-in for the framework's Orbisk.dll, staged under that name by the
// vexareg tests. It reads its script from catalog-double.json in its own directory
// when the instance is created and appends every call to catalog-double.log there,
// one JSON array per line. Its destroy export also prints a line to standard output,
// so a test sees where in the tool's output the catalog was closed.
//
// Script members (all optional):
//   "create":           "instance" (default) | "null" | "family" | "standard" | "foreign"
//   "entries":          the catalog entries QueryProviders returns, as texts
//   "query":            "entries" (default) | "family" | "standard" | "foreign"
//   "register_fails":   {"<path>": "family" | "standard" | "foreign"}
//   "unregister_fails": the same for UnregisterProvider
// "family" throws ProviderException, "standard" std::runtime_error, "foreign" an int.

#include <dlfcn.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loader/exceptions.h"
#include "interfaces/export_contract.h"
#include "interfaces/provider_catalog_api_interface.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

fs::path OwnDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&OwnDirectory), &info) == 0 || info.dli_fname == nullptr)
        throw std::runtime_error("catalog double cannot locate itself");
    return fs::path(info.dli_fname).parent_path();
}

// Never throws: the destroy export calls it too.
void Log(const json& record) noexcept {
    try {
        std::ofstream log(OwnDirectory() / "catalog-double.log", std::ios::app);
        log << record.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    } catch (...) {
        std::fputs("catalog-double: cannot write the log\n", stderr);
    }
}

json ReadScript() {
    std::ifstream in(OwnDirectory() / "catalog-double.json");
    if (!in) return json::object();
    return json::parse(in);
}

[[noreturn]] void Fail(const std::string& kind, const std::string& what) {
    if (kind == "family") throw Vexa::ProviderException(what, 4711);
    if (kind == "standard") throw std::runtime_error(what);
    throw 42;
}

class CatalogDouble final : public Vexa::Proxy::ProviderCatalogApi {
public:
    explicit CatalogDouble(json script) : script(std::move(script)) {}
    ~CatalogDouble() override = default;

    void RegisterProvider(const fs::path& provider) override {
        Call("register", "register_fails", provider);
    }

    void UnregisterProvider(const fs::path& provider) override {
        Call("unregister", "unregister_fails", provider);
    }

    std::vector<std::string> QueryProviders() override {
        Log(json::array({"query"}));
        const std::string mode = script.value("query", "entries");
        if (mode != "entries") Fail(mode, "query refused by script");
        return script.value("entries", std::vector<std::string>{});
    }

private:
    void Call(const char* name, const char* failures, const fs::path& provider) {
        Log(json::array({name, provider.string()}));
        const json& refused = script.value(failures, json::object());
        if (refused.contains(provider.string()))
            Fail(refused[provider.string()].get<std::string>(), std::string(name) + " refused by script");
    }

    json script;
};

}  // namespace

VEXA_LIBRARY_EXPORT Vexa::Proxy::ProviderCatalogApi* ProviderCatalogApiCreate(std::string& configuration) {
    Log(json::array({"create", configuration}));
    json script = ReadScript();
    const std::string mode = script.value("create", "instance");
    if (mode == "null") return nullptr;
    if (mode != "instance") Fail(mode, "create refused by script");
    return new CatalogDouble(std::move(script));
}

VEXA_LIBRARY_EXPORT void ProviderCatalogApiDestroy(Vexa::Proxy::ProviderCatalogApi* instance) {
    Log(json::array({"destroy"}));
    delete static_cast<CatalogDouble*>(instance);
    std::fputs("catalog-double: destroyed\n", stdout);
    std::fflush(stdout);
}

VEXA_LIBRARY_EXPORT std::uint32_t ProviderCatalogApiRevision() { return 3; }

VEXA_LIBRARY_EXPORT std::uint32_t GetDllBuildType() { return 0; }
