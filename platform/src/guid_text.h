// The registry form of a GUID: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <vexa_platform/windows.h>

namespace VexaPlatform {

// Accepts either letter case; nullopt for anything else.
std::optional<GUID> ParseGuid(std::string_view text);
// Lower case, with braces.
std::string FormatGuid(const GUID& guid);

}  // namespace VexaPlatform
