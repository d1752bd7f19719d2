// The parts of MachineState that are the same on every platform: they only write
// through WriteDevices and the file system.
#include "machine_state.h"

namespace fs = std::filesystem;

namespace VexaTest {

void MachineState::PublishFramework(const fs::path& installDir, const std::string& instanceId) {
    TrustDevelopmentRoot();
    WriteDevices(nlohmann::json::array({{
        {"instance_id", instanceId},
        {"present", true},
        {"interfaces",
         nlohmann::json::array({{{"class", kFrameworkInterfaceClass},
                                 {"enabled", true},
                                 {"values", {{"InstallDir", installDir.string()}}}}})},
    }}));
}

fs::path MachineState::MakeDirectory(const std::string& name) {
    fs::path dir = root / name;
    fs::create_directories(dir);
    return dir;
}

fs::path MachineState::Stage(const fs::path& built, const fs::path& dir, const std::string& asName) {
    fs::path target = dir / asName;
    fs::copy_file(built, target, fs::copy_options::overwrite_existing);
    return target;
}

}  // namespace VexaTest
