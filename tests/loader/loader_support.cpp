#include "loader_support.h"

#include <cstdlib>
#include <fstream>
#include <utility>

namespace fs = std::filesystem;

namespace LoaderTest {

namespace {

void SetVariable(const std::string& name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetVariable(const std::string& name) {
#ifdef _WIN32
    _putenv_s(name.c_str(), "");  // an empty value removes the variable
#else
    unsetenv(name.c_str());
#endif
}

}  // namespace

fs::path BuiltLibrary(const std::string& target) { return fs::path(LOADER_TEST_LIBRARY_DIR) / (target + ".dll"); }

bool PlatformBuildsLibrary(const std::string& target) {
#ifdef _WIN32
    return target != "loader_signed_text" && target != "loader_client_pinned";
#else
    (void)target;
    return true;
#endif
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value) : name(std::move(name)) {
    if (const char* old = std::getenv(this->name.c_str())) previous = old;
    SetVariable(this->name, value);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous)
        SetVariable(name, *previous);
    else
        UnsetVariable(name);
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

}  // namespace LoaderTest
