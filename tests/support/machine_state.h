// A private machine state for one test: a fresh directory that VEXA_PLATFORM_ROOT
// names for the lifetime of the object, with helpers to publish devices, trust roots
// and stage libraries into an install directory. On Windows (machine_state_windows.cpp)
// the devices and roots go where Windows keeps them, and are removed again at the end.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace VexaTest {

inline constexpr const char* kFrameworkInterfaceClass = "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}";
inline constexpr const char* kFrameworkInstanceId = "SWD\\VexaFramework\\0000";

// The development root that signed every library of the build.
std::filesystem::path DevelopmentRootCertificate();

class MachineState {
public:
    MachineState();
    ~MachineState();
    MachineState(const MachineState&) = delete;
    MachineState& operator=(const MachineState&) = delete;

    const std::filesystem::path& Root() const { return root; }

    // Writes devices.json as {"devices": devices}.
    void WriteDevices(const nlohmann::json& devices);
    // Writes devices.json with these exact bytes (for malformed machine states).
    void WriteDevicesText(const std::string& text);
    // Copies a PEM file into trust/.
    void TrustRoot(const std::filesystem::path& pem);
    void TrustDevelopmentRoot() { TrustRoot(DevelopmentRootCertificate()); }

    // Publishes one present SWD device with one enabled interface of the framework
    // class whose InstallDir is installDir (and trusts the development root).
    void PublishFramework(const std::filesystem::path& installDir,
                          const std::string& instanceId = kFrameworkInstanceId);

    // A fresh directory below the root, for staging libraries.
    std::filesystem::path MakeDirectory(const std::string& name);
    // Copies a built library into dir under the given file name; returns the copy.
    static std::filesystem::path Stage(const std::filesystem::path& built,
                                       const std::filesystem::path& dir, const std::string& asName);

private:
    std::filesystem::path root;
    std::optional<std::string> previousRoot;
    // Roots this object added to the machine's Root store (Windows only).
    std::vector<std::filesystem::path> trusted;
};

}  // namespace VexaTest
