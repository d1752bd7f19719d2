#include "machine_state.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace VexaTest {

fs::path DevelopmentRootCertificate() { return VEXA_TEST_DEV_ROOT_CERT; }

MachineState::MachineState() {
    std::string pattern = (fs::temp_directory_path() / "vexa-machine-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
    fs::create_directories(root / "trust");
    if (const char* previous = std::getenv("VEXA_PLATFORM_ROOT")) previousRoot = previous;
    setenv("VEXA_PLATFORM_ROOT", root.c_str(), 1);
}

MachineState::~MachineState() {
    if (previousRoot)
        setenv("VEXA_PLATFORM_ROOT", previousRoot->c_str(), 1);
    else
        unsetenv("VEXA_PLATFORM_ROOT");
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

void MachineState::WriteDevices(const nlohmann::json& devices) {
    WriteDevicesText(nlohmann::json{{"devices", devices}}.dump(2));
}

void MachineState::WriteDevicesText(const std::string& text) {
    std::ofstream out(root / "devices.json", std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write devices.json");
}

void MachineState::TrustRoot(const fs::path& pem) {
    fs::copy_file(pem, root / "trust" / pem.filename(), fs::copy_options::overwrite_existing);
}

}  // namespace VexaTest
