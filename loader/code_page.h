// Conversions between path objects and the narrow and wide texts that the platform's
// file interfaces take. On Windows the narrow form is in the code page of the
// process's file interfaces (ANSI, or OEM after SetFileApisToOEM); elsewhere it is the
// path's native UTF-8 text.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Vexa::CodePage {

// The narrow text of a path; nothing when a character has no representation in it.
std::optional<std::string> NarrowFromPath(const std::filesystem::path& path);

// The path that a narrow text names; nothing when the narrow text cannot be decoded.
std::optional<std::filesystem::path> PathFromNarrow(const std::string& narrow);

// The wide text of a narrow text; nothing when the narrow text cannot be decoded.
std::optional<std::wstring> WideFromNarrow(const std::string& narrow);

// The absolute form of a narrow path (GetFullPathNameA: relative to the current
// directory, "." and ".." resolved); nothing when the platform cannot give it.
std::optional<std::string> FullNarrowPath(const std::string& narrow);

// For each of a program's narrow arguments, whether it is exactly what the process was
// started with. Windows makes the narrow arguments from the wide command line and puts
// a look-alike or a default character in place of one that the code page lacks, so such
// an argument names something else than was given (an unrelated file, or an option it
// does not spell). The program name, argument 0, is taken as it is. Where arguments are
// narrow from the start, every one arrived whole.
std::vector<bool> ArgumentsArrivedWhole(int argc, const char* const argv[]);

}  // namespace Vexa::CodePage
