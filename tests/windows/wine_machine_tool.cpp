// vexa-wine-machine: sets up the machine state of a Wine prefix for the Windows test
// runs, through the same calls as the Windows loader tests.
//   vexa-wine-machine trust PEM_FILE          import a root into the machine's Root store
//   vexa-wine-machine distrust PEM_FILE       remove it again
//   vexa-wine-machine publish INSTALL_DIR     publish the framework device with InstallDir
//   vexa-wine-machine remove                  remove every device the tests published
//   vexa-wine-machine code-pages              print the ANSI and OEM code pages
//   vexa-wine-machine modules PID             print the file of each module loaded in that process
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "interfaces/unique_resource.h"
#include "machine_registry.h"

namespace {

// The Python tests ask which libraries their own process has loaded, as they read
// /proc/self/maps on Linux; the files are printed one a line, in UTF-8.
void PrintModules(DWORD processId) {
    const Vexa::UniqueResource<HANDLE, CloseHandle> process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) throw std::runtime_error("cannot open process " + std::to_string(processId));
    std::vector<HMODULE> modules(256);
    DWORD needed = 0;
    bool listed = false;
    while ((listed = EnumProcessModulesEx(process.get(), modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)),
                                          &needed, LIST_MODULES_ALL) != 0) &&
           needed > modules.size() * sizeof(HMODULE)) {
        modules.resize(needed / sizeof(HMODULE));
    }
    modules.resize(listed ? needed / sizeof(HMODULE) : 0);
    for (const HMODULE module : modules) {
        wchar_t name[MAX_PATH * 4];
        const DWORD length = GetModuleFileNameExW(process.get(), module, name, static_cast<DWORD>(std::size(name)));
        if (length == 0) continue;
        std::string utf8(static_cast<std::size_t>(length) * 4, '\0');
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(length), utf8.data(),
                                              static_cast<int>(utf8.size()), nullptr, nullptr);
        utf8.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
        std::printf("%s\n", utf8.c_str());
    }
    if (!listed) throw std::runtime_error("cannot list the modules of process " + std::to_string(processId));
}

}  // namespace

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
        } else if (command == "modules" && argc == 3) {
            PrintModules(static_cast<DWORD>(std::stoul(argv[2])));
        } else if (command == "code-pages" && argc == 2) {
            std::printf("%u %u\n", GetACP(), GetOEMCP());
        } else {
            std::fputs("usage: vexa-wine-machine trust|distrust PEM_FILE | publish INSTALL_DIR | remove | code-pages | modules PID\n", stderr);
            return 2;
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vexa-wine-machine: %s\n", error.what());
        return 1;
    }
}
