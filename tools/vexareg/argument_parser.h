// The command line of vexareg: the option, then the provider paths, each checked to
// exist and to name a ".dll" before any catalog operation sees it.
#pragma once

#include <filesystem>
#include <system_error>
#include <vector>

#include "result_code.h"

namespace Vexa::Registration {

enum class Operation : int {
    None = 0,  // help
    Register = 1,
    Unregister = 2,
    Query = 3,
};

// Reads the option into `operation` and appends every accepted path to `providers`.
// Gives IncorrectInput for a missing or unknown option, FileNotFound or NotADll at
// the first path that fails those checks (later paths are not examined), and
// CatalogOperationFailed when some path could not be examined at all. Only queries
// the file system; opens nothing.
//
// `arrivedWhole` tells, by index, which arguments are exactly what the process was
// given (CodePage::ArgumentsArrivedWhole); empty means all of them. An option that did
// not arrive whole is not recognised; a path that did not is not examined, like one
// whose text cannot be converted.
ResultCode ParseArguments(int argc, const char* const argv[], Operation& operation,
                          std::vector<std::filesystem::path>& providers,
                          const std::vector<bool>& arrivedWhole = {});

// True for the errors that mean "there is no such file": the path or one of its
// directories is missing, or the name cannot name a file.
bool IsNotFoundError(const std::error_code& error);

// True when the last component's extension is exactly ".dll". The extension runs from
// the component's last "." (not in first position) to its end or to its first ":"
// (where a stream name would begin); "." and ".." have none.
bool HasDllExtension(const std::filesystem::path& path);

}  // namespace Vexa::Registration
