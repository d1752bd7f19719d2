// The machine state of a test on Windows: devices go to the registry layout that the
// Configuration Manager reads (through the stand-in cfgmgr32.dll under Wine), trusted
// roots to the machine's Root store. Both are undone when the object goes.
#include <windows.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "machine_registry.h"
#include "machine_state.h"

namespace fs = std::filesystem;

namespace VexaTest {

fs::path DevelopmentRootCertificate() { return VEXA_TEST_DEV_ROOT_CERT; }

MachineState::MachineState() {
    static unsigned counter = 0;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        root = base / ("vexa-machine-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
        if (fs::create_directory(root)) break;
    }
    VexaWine::RemoveDevices();
}

MachineState::~MachineState() {
    try {
        VexaWine::RemoveDevices();
        for (const fs::path& pem : trusted) VexaWine::DistrustRoot(VexaWine::ReadCertificate(pem));
    } catch (const std::exception&) {
        // A destructor cannot report; the next machine state starts by cleaning up.
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

void MachineState::WriteDevices(const nlohmann::json& devices) { VexaWine::PublishDevices(devices); }

// The registry cannot hold a malformed device list: a text that is not a device list
// leaves the machine without devices.
void MachineState::WriteDevicesText(const std::string& text) {
    const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
    if (document.is_object() && document.contains("devices") && document["devices"].is_array())
        VexaWine::PublishDevices(document["devices"]);
    else
        VexaWine::RemoveDevices();
}

void MachineState::TrustRoot(const fs::path& pem) {
    VexaWine::TrustRoot(VexaWine::ReadCertificate(pem));
    trusted.push_back(pem);
}

}  // namespace VexaTest
