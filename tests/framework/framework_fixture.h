// Test support for the sample framework: a private machine state in which a fresh copy
// of the built framework is installed and published, and child processes that the
// tests start and must not outlive.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "machine_state.h"

namespace FrameworkTest {

// The signed libraries as the build staged them.
std::filesystem::path BuiltLibrary(const std::string& fileName);

// A machine state of its own with Orbisk.dll and Tessaly.dll copied into an install
// directory below it and published as the framework device, so that every test has its
// own provider catalog.
class PublishedFramework {
public:
    PublishedFramework();

    const std::filesystem::path& InstallDir() const { return installDir; }
    std::filesystem::path CatalogFile() const { return installDir / "provider-catalog.json"; }
    // Creates an (empty) provider library file and returns its absolute path.
    std::filesystem::path MakeProvider(const std::string& name);

private:
    VexaTest::MachineState state;
    std::filesystem::path installDir;
    std::filesystem::path providerDir;
};

// A child process running a program of the build; killed and reaped if still running
// when the owner goes.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits for the end; the exit status, or -1 when a signal ended it.
    int Wait();
    void Kill();

private:
    pid_t pid = -1;
};

}  // namespace FrameworkTest
