#include "argument_parser.h"

#include <optional>
#include <string>

#include "loader/code_page.h"

namespace fs = std::filesystem;

namespace Vexa::Registration {

namespace {

enum class PathCheck { Accepted, Missing, Unexaminable, NotADll };

bool SelectOperation(const std::string& option, Operation& operation) {
    if (option == "-r") {
        operation = Operation::Register;
    } else if (option == "-u") {
        operation = Operation::Unregister;
    } else if (option == "-q") {
        operation = Operation::Query;
    } else if (option == "-h" || option == "-?" || option == "-help") {
        operation = Operation::None;
    } else {
        return false;
    }
    return true;
}

PathCheck ExaminePath(const char* argument, fs::path& path) {
    // The loader's conversion, in the code page of the file functions; the path
    // object's own conversion of narrow text would use the C library's locale instead,
    // and read some characters of the code page as others.
    std::optional<fs::path> converted = CodePage::PathFromNarrow(argument);
    if (!converted) return PathCheck::Unexaminable;
    path = std::move(*converted);
    std::error_code error;
    try {
        // Only whether the query succeeds matters; what the path names does not.
        static_cast<void>(fs::status(path, error));
    } catch (const std::exception&) {
        return PathCheck::Unexaminable;
    }
    if (error) return IsNotFoundError(error) ? PathCheck::Missing : PathCheck::Unexaminable;
    // It exists, whatever it is: file, directory or link target.
    return HasDllExtension(path) ? PathCheck::Accepted : PathCheck::NotADll;
}

}  // namespace

bool IsNotFoundError(const std::error_code& error) {
    // The platform's own not-found errors (file or path not found, bad network path,
    // invalid name) compare equal to these portable conditions. Anything else, such as
    // access denied or a loop of symbolic links, leaves the path unexamined instead.
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
           error == std::errc::filename_too_long;
}

bool HasDllExtension(const fs::path& path) {
    using String = fs::path::string_type;
    using Char = fs::path::value_type;

    const String component = path.filename().native();
    const String name = component.substr(0, component.find(static_cast<Char>(':')));
    if (name == String(1, '.') || name == String(2, '.')) return false;
    const auto dot = name.rfind(static_cast<Char>('.'));
    if (dot == String::npos || dot == 0) return false;
    return name.compare(dot, String::npos, fs::path(".dll").native()) == 0;
}

ResultCode ParseArguments(int argc, const char* const argv[], Operation& operation,
                          std::vector<fs::path>& providers, const std::vector<bool>& arrivedWhole) {
    const auto whole = [&](int index) {
        const auto at = static_cast<std::size_t>(index);
        return arrivedWhole.empty() || (at < arrivedWhole.size() && arrivedWhole[at]);
    };
    if (argc < 2) return ResultCode::IncorrectInput;
    if (!whole(1) || !SelectOperation(argv[1], operation)) return ResultCode::IncorrectInput;

    ResultCode recorded = ResultCode::Success;
    for (int index = 2; index < argc; ++index) {
        fs::path path;
        switch (whole(index) ? ExaminePath(argv[index], path) : PathCheck::Unexaminable) {
        case PathCheck::Missing:
            return ResultCode::FileNotFound;
        case PathCheck::NotADll:
            return ResultCode::NotADll;
        case PathCheck::Unexaminable:
            // Keep checking the rest: a later missing path or non-DLL still decides.
            recorded = ResultCode::CatalogOperationFailed;
            break;
        case PathCheck::Accepted:
            providers.push_back(std::move(path));
            break;
        }
    }
    return recorded;
}

}  // namespace Vexa::Registration
