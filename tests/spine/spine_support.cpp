#include "spine_support.h"

#include <cstdlib>
#include <fstream>
#include <utility>

namespace fs = std::filesystem;

namespace SpineTest {

fs::path BuiltLibrary(const std::string& target) { return fs::path(SPINE_TEST_LIBRARY_DIR) / (target + ".dll"); }

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value) : name(std::move(name)) {
    if (const char* old = std::getenv(this->name.c_str())) previous = old;
    setenv(this->name.c_str(), value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous)
        setenv(name.c_str(), previous->c_str(), 1);
    else
        unsetenv(name.c_str());
}

FrameworkTest::FrameworkTest()
    : installDir(machine.MakeDirectory("framework")),
      recordFile(machine.Root() / "record.txt"),
      recording("VEXA_TEST_RECORD_FILE", recordFile.string()) {}

fs::path FrameworkTest::Install(const std::string& target, const std::string& fileName) {
    fs::path staged = VexaTest::MachineState::Stage(BuiltLibrary(target), installDir, fileName);
    machine.PublishFramework(installDir);
    return staged;
}

std::vector<std::string> FrameworkTest::Recorded() const {
    std::vector<std::string> lines;
    std::ifstream in(recordFile);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace SpineTest
