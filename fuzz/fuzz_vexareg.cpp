// vexareg's untrusted inputs: the command line (argument parser and path validation)
// and the catalog entries that the query prints as one document.
//
// The first input byte chooses; the rest is cut at zero bytes into the arguments or
// the entries. Paths are examined relative to a scratch directory holding a few files,
// a directory, a symbolic link and a loop of links.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "argument_parser.h"
#include "catalog_operations.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;
using namespace Vexa::Registration;
using VexaFuzz::Violation;

namespace {

fs::path scratch;

void FuzzArguments(const std::vector<std::string>& arguments) {
    std::vector<const char*> argv{"vexareg"};
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    Operation operation = Operation::None;
    std::vector<fs::path> providers;
    const ResultCode result = ParseArguments(static_cast<int>(argv.size()), argv.data(), operation, providers);
    switch (result) {
    case ResultCode::Success:
    case ResultCode::IncorrectInput:
    case ResultCode::CatalogOperationFailed:
    case ResultCode::FileNotFound:
    case ResultCode::NotADll:
        break;
    default:
        Violation("ParseArguments gave result " + std::to_string(static_cast<int>(result)));
    }
    for (const fs::path& provider : providers)
        if (!HasDllExtension(provider)) Violation("accepted a path without the .dll extension");
    if (result == ResultCode::Success && providers.size() + 2 != argv.size())
        Violation("success without accepting every path");
    for (const std::string& argument : arguments) static_cast<void>(HasDllExtension(fs::path(argument)));
}

void FuzzEntries(const std::vector<std::string>& entries) {
    std::string document;
    try {
        document = FormatCatalogDocument(entries);
    } catch (const std::exception&) {
        return;
    }
    // What is printed reads back as the same document.
    nlohmann::json expected;
    for (const std::string& entry : entries) expected["provider_catalog"].push_back(ParseCatalogEntry(entry));
    nlohmann::json reread = nlohmann::json::parse(document, nullptr, false);
    if (reread.is_discarded()) Violation("printed document does not parse");
    if (reread != expected) Violation("printed document differs from the entries");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "vexa-fuzz-vexareg-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    scratch = pattern;
    VexaFuzz::WriteBytes(scratch / "a.dll", "x", 1);
    VexaFuzz::WriteBytes(scratch / "b.DLL", "x", 1);
    VexaFuzz::WriteBytes(scratch / "c.txt", "x", 1);
    VexaFuzz::WriteBytes(scratch / "d.dll:stream", "x", 1);
    fs::create_directories(scratch / "dir.dll" / "sub");
    fs::create_symlink("a.dll", scratch / "link.dll");
    fs::create_symlink("loop2.dll", scratch / "loop1.dll");
    fs::create_symlink("loop1.dll", scratch / "loop2.dll");
    fs::create_symlink("missing.dll", scratch / "dangling.dll");
    if (chdir(scratch.c_str()) != 0) std::abort();
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(scratch, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::vector<std::string> pieces = VexaFuzz::Split(data + 1, size - 1, '\0');
    if (data[0] & 1)
        FuzzEntries(pieces);
    else
        FuzzArguments(pieces);
    return 0;
}
