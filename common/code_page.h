// Conversions between path objects and the narrow and wide texts that the platform's
// file interfaces take. On Windows the narrow form is in the code page of the
// process's file interfaces (ANSI, or OEM after SetFileApisToOEM); elsewhere it is the
// path's native UTF-8 text.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace Vexa::CodePage {

// The narrow text of a path; nothing when a character has no representation in it.
std::optional<std::string> NarrowFromPath(const std::filesystem::path& path);

// The path that a narrow text names.
std::filesystem::path PathFromNarrow(const std::string& narrow);

// The wide text of a narrow text; nothing when the narrow text cannot be decoded.
std::optional<std::wstring> WideFromNarrow(const std::string& narrow);

// The absolute form of a narrow path (GetFullPathNameA: relative to the current
// directory, "." and ".." resolved); nothing when the platform cannot give it.
std::optional<std::string> FullNarrowPath(const std::string& narrow);

}  // namespace Vexa::CodePage
