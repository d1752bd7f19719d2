// What the loader tests share: a machine state with an install directory, the test
// libraries the build made, and the record those libraries keep of their life.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "machine_state.h"

namespace LoaderTest {

// The file of a test library built under tests/doubles (target name without suffix).
std::filesystem::path BuiltLibrary(const std::string& target);

// Whether the build of this platform makes the test library: the Windows build has no
// signed file that is not a library (loader_signed_text), as Authenticode signs only
// file types it knows, and no library pinned by an STB_GNU_UNIQUE symbol
// (loader_client_pinned), an ELF matter. Every other library is built everywhere.
bool PlatformBuildsLibrary(const std::string& target);

// Sets an environment variable for its lifetime and restores the previous state.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name;
    std::optional<std::string> previous;
};

// A private machine state whose published framework directory is installDir, with the
// test libraries recording into recordFile.
class FrameworkTest : public ::testing::Test {
protected:
    FrameworkTest();

    // Stages a built test library into the install directory as fileName and publishes
    // the framework device (trusting the development root). Returns the staged file.
    std::filesystem::path Install(const std::string& target, const std::string& fileName);
    // The lines the loaded test libraries recorded so far; empty when none ran.
    std::vector<std::string> Recorded() const;
    bool RecordExists() const { return std::filesystem::exists(recordFile); }

    VexaTest::MachineState machine;
    std::filesystem::path installDir;
    std::filesystem::path recordFile;
    ScopedEnvironment recording;
};

}  // namespace LoaderTest
