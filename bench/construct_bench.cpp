// What constructing and destroying a Vexa::ClientApi costs, stage by stage, against
// the least that checking the library file can cost: reading it and hashing it with
// SHA-256.
//
// Usage: construct_bench REPETITIONS CALLS
// The framework is found as the loader finds it (VEXA_PLATFORM_ROOT names the machine
// state on Linux). Each repetition runs every stage CALLS times, the stages one after
// the other, so that a change of machine load affects all of them alike. Prints one
// JSON object: {"library": path, "bytes": size, "stages": {name: [ns per call, one per
// repetition]}}.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include "loader/api_loaders.h"
#include "loader/client_api_wrapper.h"
#include "loader/framework_directory.h"
#include "common/resource_owners.h"
#include "loader/trust_verification.h"
#include "common/win32.h"
#include "interfaces/export_contract.h"

namespace {

using Clock = std::chrono::steady_clock;
using ClientCreate = Vexa::Proxy::CreateExport<Vexa::Proxy::ClientApi>;
using ClientDestroy = Vexa::Proxy::DestroyExport<Vexa::Proxy::ClientApi>;

void Require(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error(what);
}

template <class Function>
Function Export(HMODULE module, const char* name) {
    using Generic = void (*)();
    const auto address = reinterpret_cast<Function>(reinterpret_cast<Generic>(GetProcAddress(module, name)));
    Require(address != nullptr, std::string("missing export ") + name);
    return address;
}

Vexa::UniqueModule LoadLibraryFile(const std::string& path) {
    Vexa::UniqueModule module(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    Require(static_cast<bool>(module), "cannot load " + path);
    return module;
}

// Nanoseconds per call of `calls` calls of body.
double Time(int calls, const std::function<void()>& body) {
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) body();
    const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
    return elapsed.count() / calls;
}

void Discover() {
    BYTE buffer[Vexa::kFrameworkDirectoryBufferSize] = {};
    Require(Vexa::FindFrameworkDirectory(&Vexa::kFrameworkInterfaceClass, buffer, sizeof buffer) == CR_SUCCESS,
            "framework directory not found");
}

// LoadLibraryExA, the four exports of the contract, FreeLibrary.
void LoadAndResolve(const std::string& path) {
    const Vexa::UniqueModule module = LoadLibraryFile(path);
    Export<ClientCreate>(module.get(), "ClientApiCreate");
    Export<ClientDestroy>(module.get(), "ClientApiDestroy");
    Export<Vexa::Proxy::RevisionExport>(module.get(), "ClientApiRevision");
    Export<Vexa::Proxy::BuildTypeExport>(module.get(), "GetDllBuildType");
}

// The floor of any check of the file: read it whole, then hash it.
void ReadAndHash(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Require(static_cast<bool>(in), "cannot read " + path);
    std::vector<char> bytes(std::filesystem::file_size(path));
    Require(static_cast<bool>(in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))),
            "cannot read " + path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) == 1, "SHA-256 failed");
}

// Create and destroy of the interface object, with the library loaded (untimed) around them.
double TimeCreateDestroy(const std::string& path, int calls) {
    const Vexa::UniqueModule module = LoadLibraryFile(path);
    const auto create = Export<ClientCreate>(module.get(), "ClientApiCreate");
    const auto destroy = Export<ClientDestroy>(module.get(), "ClientApiDestroy");
    return Time(calls, [&] {
        std::string configuration = "{}";
        Vexa::Proxy::ClientApi* instance = create(configuration);
        Require(instance != nullptr, "create export made no object");
        destroy(instance);
    });
}

int Run(int repetitions, int calls) {
    const std::string path = Vexa::FrameworkLibraryPath(Vexa::ClientApiLoader::kFileName).string();
    Require(Vexa::IsFileTrusted(path), path + " is not trusted");

    const std::vector<std::pair<std::string, std::function<double()>>> stages = {
        {"discovery", [&] { return Time(calls, Discover); }},
        {"trust", [&] { return Time(calls, [&] { Require(Vexa::IsFileTrusted(path), "trust refused"); }); }},
        {"load", [&] { return Time(calls, [&] { LoadAndResolve(path); }); }},
        {"create", [&] { return TimeCreateDestroy(path, calls); }},
        {"client", [&] { return Time(calls, [] { Vexa::ClientApi client; }); }},
        {"sha256", [&] { return Time(calls, [&] { ReadAndHash(path); }); }},
    };
    nlohmann::json times = nlohmann::json::object();
    for (int r = 0; r < repetitions; ++r) {
        for (const auto& [name, stage] : stages) times[name].push_back(stage());
    }
    std::cout << nlohmann::json{{"library", path},
                                {"bytes", std::filesystem::file_size(path)},
                                {"stages", times}}
              << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Require(argc == 3, "usage: construct_bench REPETITIONS CALLS");
        const int repetitions = std::stoi(argv[1]);
        const int calls = std::stoi(argv[2]);
        Require(repetitions > 0 && calls > 0, "REPETITIONS and CALLS must be positive");
        return Run(repetitions, calls);
    } catch (const std::exception& error) {
        std::cerr << "construct_bench: " << error.what() << std::endl;
        return 1;
    }
}
