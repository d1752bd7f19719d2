// The one unit with a platform conditional: how narrow path texts are encoded differs
// between Windows (a code page chosen by the process) and other systems (UTF-8).
#include "loader/code_page.h"

#include <memory>

#include "common/win32.h"

namespace fs = std::filesystem;

namespace Vexa::CodePage {

#ifdef _WIN32

namespace {

UINT FileApiCodePage() { return AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

bool IsUtf8(UINT codePage) { return (codePage == CP_ACP ? GetACP() : GetOEMCP()) == CP_UTF8; }

}  // namespace

std::optional<std::string> NarrowFromPath(const fs::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) return std::string();
    const UINT codePage = FileApiCodePage();
    // A character without a representation would otherwise become a default character
    // and name some other file; refuse it instead.
    const bool utf8 = IsUtf8(codePage);
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
    const int length = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(codePage, flags, wide.data(), length, nullptr, 0, nullptr, usedDefaultOut);
    if (size <= 0 || usedDefault) return std::nullopt;
    std::string narrow(static_cast<std::size_t>(size), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.data(), length, narrow.data(), size, nullptr, nullptr) != size)
        return std::nullopt;
    return narrow;
}

std::optional<std::wstring> WideFromNarrow(const std::string& narrow) {
    if (narrow.empty()) return std::wstring();
    const UINT codePage = FileApiCodePage();
    const int length = static_cast<int>(narrow.size());
    const int size = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), length, nullptr, 0);
    if (size <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, narrow.data(), length, wide.data(), size) != size)
        return std::nullopt;
    return wide;
}

std::optional<fs::path> PathFromNarrow(const std::string& narrow) {
    if (std::optional<std::wstring> wide = WideFromNarrow(narrow)) return fs::path(*wide);
    return std::nullopt;
}

std::vector<bool> ArgumentsArrivedWhole(int argc, const char* const argv[]) {
    std::vector<bool> whole(static_cast<std::size_t>(argc), false);
    if (argc > 0) whole[0] = true;
    struct LocalFreeDeleter {
        void operator()(LPWSTR* block) const { LocalFree(block); }
    };
    int count = 0;
    const std::unique_ptr<LPWSTR[], LocalFreeDeleter> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    // A look-alike quote or blank moves the boundaries between arguments: then none of
    // them can be trusted to be what was given.
    if (!wide || count != argc) return whole;
    for (int index = 1; index < argc; ++index)
        whole[static_cast<std::size_t>(index)] = WideFromNarrow(argv[index]) == std::wstring(wide[index]);
    return whole;
}

#else

std::optional<std::string> NarrowFromPath(const fs::path& path) { return path.native(); }

std::optional<fs::path> PathFromNarrow(const std::string& narrow) { return fs::path(narrow); }

std::vector<bool> ArgumentsArrivedWhole(int argc, const char* const[]) {
    return std::vector<bool>(static_cast<std::size_t>(argc), true);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
std::optional<std::wstring> WideFromNarrow(const std::string& narrow) {
    std::wstring wide;
    wide.reserve(narrow.size());
    for (std::size_t i = 0; i < narrow.size();) {
        const auto lead = static_cast<unsigned char>(narrow[i]);
        std::size_t extra = 0;
        char32_t point = 0;
        char32_t lowest = 0;
        if (lead < 0x80) {
            point = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, point = lead & 0x1F, lowest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, point = lead & 0x0F, lowest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, point = lead & 0x07, lowest = 0x10000;
        } else {
            return std::nullopt;
        }
        if (narrow.size() - i <= extra) return std::nullopt;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(narrow[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            point = (point << 6) | (next & 0x3F);
        }
        if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return std::nullopt;
        wide.push_back(static_cast<wchar_t>(point));
        i += extra + 1;
    }
    return wide;
}

#endif

std::optional<std::string> FullNarrowPath(const std::string& narrow) {
    // The first call gives the size needed, terminator included; a path that another
    // thread's change of the current directory lengthened in between is asked again.
    std::string full;
    DWORD needed = GetFullPathNameA(narrow.c_str(), 0, nullptr, nullptr);
    while (needed > full.size()) {
        full.assign(needed, '\0');
        needed = GetFullPathNameA(narrow.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    }
    if (needed == 0) return std::nullopt;
    full.resize(needed);
    return full;
}

}  // namespace Vexa::CodePage
