// The machine state of a Windows test run, kept where Windows keeps it: devices and
// their interfaces in the registry layout that the stand-in cfgmgr32.dll reads, and
// trusted roots in the machine's Root certificate store. Test-only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace VexaWine {

// Publishes devices given as the Linux machine state lists them:
// [{"instance_id": "SWD\\X\\0", "present": true,
//   "interfaces": [{"class": "{...}", "enabled": true, "values": {"InstallDir": "..."} or null}]}]
// after removing every device an earlier call published. Throws std::runtime_error.
void PublishDevices(const nlohmann::json& devices);

// Removes every device that PublishDevices created.
void RemoveDevices();

// The DER bytes of the first certificate of a PEM file.
std::vector<unsigned char> ReadCertificate(const std::filesystem::path& pem);

// Adds the certificate to, or removes it from, the local machine's Root store (removing
// one that is not there does nothing).
void TrustRoot(const std::vector<unsigned char>& der);
void DistrustRoot(const std::vector<unsigned char>& der);

}  // namespace VexaWine
