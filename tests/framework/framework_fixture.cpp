#include "framework_fixture.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace FrameworkTest {

fs::path BuiltLibrary(const std::string& fileName) { return fs::path(FRAMEWORK_TEST_INSTALL_DIR) / fileName; }

PublishedFramework::PublishedFramework()
    : installDir(state.MakeDirectory("framework")), providerDir(state.MakeDirectory("providers")) {
    for (const char* library : {"Orbisk.dll", "Tessaly.dll"})
        VexaTest::MachineState::Stage(BuiltLibrary(library), installDir, library);
    state.PublishFramework(installDir);
}

fs::path PublishedFramework::MakeProvider(const std::string& name) {
    fs::path path = providerDir / name;
    std::ofstream(path) << "provider " << name << "\n";
    return path;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int error = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (error != 0) throw std::runtime_error("cannot start " + arguments[0]);
}

ChildProcess::~ChildProcess() {
    if (pid > 0) {
        Kill();
        Wait();
    }
}

int ChildProcess::Wait() {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::Kill() {
    if (pid > 0) ::kill(pid, SIGKILL);
}

}  // namespace FrameworkTest
