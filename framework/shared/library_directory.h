// The directory the calling framework library was loaded from: the framework's
// install directory, where the provider catalog lives.
#pragma once

#include <filesystem>

namespace Vexa::Framework {

// Throws FrameworkException when the loader cannot tell where the library lies.
std::filesystem::path LibraryDirectory();

}  // namespace Vexa::Framework
