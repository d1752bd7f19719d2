#include "console.h"

namespace Vexa::Registration {

const char* const kBanner = "vexareg - Vexa provider registration tool";

bool WriteLine(std::FILE* stream, const std::string& text) {
    const std::string line = text + '\n';
    const bool written = std::fwrite(line.data(), 1, line.size(), stream) == line.size();
    const bool flushed = std::fflush(stream) == 0;
    return written && flushed;
}

std::string ComposeUsage(const char* programName) {
    return std::string("Usage: ") + (programName != nullptr ? programName : "") +
           " [OPTION] [absolute_path_to_dll] \n"
           " Options: '-r' register providers.\n"
           " Options: '-u' unregister providers.\n"
           " Options: '-q' query providers.";
}

void ReportResult(ResultCode code, const std::string& usage) {
    switch (code) {
    case ResultCode::Success:
        break;
    case ResultCode::RegistrationFailed:
        WriteLine(stderr, "Registration failed with exception");
        break;
    case ResultCode::UnregistrationFailed:
        WriteLine(stderr, "Unregistration failed with exception");
        break;
    case ResultCode::QueryFailed:
        // "Faild" is the fixed text scripts match on; the misspelling stays.
        WriteLine(stderr, "Faild to read catalog with exception");
        break;
    case ResultCode::IncorrectInput:
        WriteLine(stderr, "Incorrect input");
        WriteLine(stdout, usage);
        break;
    case ResultCode::HelpRequested:
        WriteLine(stdout, usage);
        break;
    case ResultCode::CatalogOperationFailed:
        WriteLine(stderr, "Catalog operation failed");
        break;
    case ResultCode::FileNotFound:
        WriteLine(stderr, "The specified file does not exist");
        break;
    case ResultCode::NotADll:
        WriteLine(stderr, "The specified file is not a DLL");
        break;
    }
}

}  // namespace Vexa::Registration
