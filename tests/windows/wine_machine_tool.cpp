// vexa-wine-machine: sets up the machine state of a Wine prefix for the Windows test
// runs, through the same calls as the Windows loader tests.
//   vexa-wine-machine trust PEM_FILE          import a root into the machine's Root store
//   vexa-wine-machine distrust PEM_FILE       remove it again
//   vexa-wine-machine publish INSTALL_DIR     publish the framework device with InstallDir
//   vexa-wine-machine remove                  remove every device the tests published
//   vexa-wine-machine code-pages              print the ANSI and OEM code pages
#include <windows.h>

#include <cstdio>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "machine_registry.h"

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "trust" && argc == 3) {
            VexaWine::TrustRoot(VexaWine::ReadCertificate(argv[2]));
        } else if (command == "distrust" && argc == 3) {
            VexaWine::DistrustRoot(VexaWine::ReadCertificate(argv[2]));
        } else if (command == "publish" && argc == 3) {
            VexaWine::PublishDevices(nlohmann::json::array({{
                {"instance_id", "SWD\\VexaFramework\\0000"},
                {"present", true},
                {"interfaces", nlohmann::json::array({{{"class", "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"},
                                                       {"enabled", true},
                                                       {"values", {{"InstallDir", argv[2]}}}}})},
            }}));
        } else if (command == "remove" && argc == 2) {
            VexaWine::RemoveDevices();
        } else if (command == "code-pages" && argc == 2) {
            std::printf("%u %u\n", GetACP(), GetOEMCP());
        } else {
            std::fputs("usage: vexa-wine-machine trust|distrust PEM_FILE | publish INSTALL_DIR | remove | code-pages\n", stderr);
            return 2;
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vexa-wine-machine: %s\n", error.what());
        return 1;
    }
}
