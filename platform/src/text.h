// Small text helpers of the stand-in: the ASCII case folding that Windows applies
// to device IDs, symbolic links and value names, and the conversion between the
// wide paths of the trust API and the UTF-8 paths of the file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace VexaPlatform {

bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix);

// UTF-32 (wchar_t on Linux) to UTF-8; nullopt for a value that is no Unicode scalar.
std::optional<std::string> Utf8FromWide(std::wstring_view wide);
// UTF-8 to UTF-32; nullopt for malformed UTF-8.
std::optional<std::wstring> WideFromUtf8(std::string_view utf8);

}  // namespace VexaPlatform
