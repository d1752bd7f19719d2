#include "loader/load_error.h"

namespace Vexa {

const char* LoadErrorText(LoadError error) {
    switch (error) {
    case Success: return "";
    case ParameterIsNull: return "Parameter is Null";
    case LibraryAlreadyLoaded: return "Library Already Loaded";
    case InvalidDigitalSignature: return "Invalid Digital Signature";
    case CannotOpenLibrary: return "Cannot Open Library";
    case IncompatibleBuildConfiguration: return "Incompatible Build Configuration";
    case SymbolNotFound: return "Symbol Not Found";
    case IncompatibleVersion: return "Incompatible Version";
    }
    return "";
}

std::string LoadFailureMessage(const std::filesystem::path& fileName, LoadError error) {
    return "Failed to load library: " + fileName.string() + " : " +
           std::to_string(static_cast<std::int32_t>(error)) + " : " + LoadErrorText(error);
}

}  // namespace Vexa
