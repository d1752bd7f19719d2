// vexa-platform: plays the driver's and the signer's part for the Linux stand-in.
#include <cstdlib>
#include <iostream>

#include "commands.h"
#include "machine_state_directory.h"

using namespace VexaPlatformTool;

namespace {

const char* const kUsage =
    "usage: vexa-platform [--root DIR] publish INSTANCE_ID [--absent]\n"
    "                     [--interface CLASS [--disabled] [--no-key] [--value NAME=VALUE]...]...\n"
    "       vexa-platform [--root DIR] remove INSTANCE_ID\n"
    "       vexa-platform [--root DIR] list\n"
    "       vexa-platform [--root DIR] trust PEM_FILE\n"
    "       vexa-platform sign FILE --key KEY_PEM --cert CERT_PEM\n"
    "       vexa-platform [--root DIR] verify FILE\n"
    "The machine state lives in --root, else in $VEXA_PLATFORM_ROOT, else in /var/lib/vexa-platform.\n";

int Run(Arguments arguments) {
    std::filesystem::path root;
    if (!arguments.empty() && arguments[0] == "--root") {
        if (arguments.size() < 2 || arguments[1].empty()) throw UsageError("--root needs a directory");
        root = arguments[1];
        arguments.erase(arguments.begin(), arguments.begin() + 2);
        // verify reads the machine state through the stand-in, which knows only the variable.
        setenv("VEXA_PLATFORM_ROOT", root.c_str(), 1);
    }
    if (arguments.empty()) throw UsageError("no command given");
    std::string command = arguments[0];
    arguments.erase(arguments.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << kUsage;
        return 0;
    }
    if (root.empty()) root = VexaPlatform::MachineRoot();
    if (command == "publish") return Publish(root, arguments);
    if (command == "remove") return Remove(root, arguments);
    if (command == "list") return List(root, arguments);
    if (command == "trust") return Trust(root, arguments);
    if (command == "sign") return Sign(arguments);
    if (command == "verify") return Verify(arguments);
    throw UsageError("unknown command \"" + command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(Arguments(argv + 1, argv + argc));
    } catch (const UsageError& error) {
        std::cerr << "vexa-platform: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "vexa-platform: " << error.what() << "\n";
        return 1;
    }
}
