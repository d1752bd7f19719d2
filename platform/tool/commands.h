// The commands of vexa-platform. Each takes the arguments after its name, writes
// its results to standard output and returns the exit status; faults are thrown.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace VexaPlatformTool {

using Arguments = std::vector<std::string>;

// A command line that does not fit the usage; exit status 2 with the usage text.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command that cannot be carried out; exit status 1 with this text.
class CommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

int Publish(const std::filesystem::path& root, const Arguments& arguments);
int Remove(const std::filesystem::path& root, const Arguments& arguments);
int List(const std::filesystem::path& root, const Arguments& arguments);
int Trust(const std::filesystem::path& root, const Arguments& arguments);
int Sign(const Arguments& arguments);
int Verify(const Arguments& arguments);

}  // namespace VexaPlatformTool
