#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "loader/code_page.h"
#ifdef _WIN32
#include "common/win32.h"
#endif

namespace {

using Vexa::CodePage::WideFromNarrow;

// Narrow texts are UTF-8 on Linux; on Windows they are in the code page of the file
// interfaces, which is UTF-8 only when the system or the program chose it.
bool NarrowIsUtf8() {
#ifdef _WIN32
    return (AreFileApisANSI() ? GetACP() : GetOEMCP()) == CP_UTF8;
#else
    return true;
#endif
}

TEST(LoaderCodePage, NarrowAndPathRoundTrip) {
    const std::string narrow = "/opt/vexa/Fr\xC3\xA4mework/Tessaly.dll";
    EXPECT_EQ(Vexa::CodePage::NarrowFromPath(Vexa::CodePage::PathFromNarrow(narrow).value()), narrow);
    EXPECT_EQ(Vexa::CodePage::NarrowFromPath(std::filesystem::path()), std::string());
}

TEST(LoaderCodePage, WideFormDecodesEveryLength) {
    if (!NarrowIsUtf8()) GTEST_SKIP() << "narrow texts are not UTF-8 here";
    EXPECT_EQ(WideFromNarrow(""), std::wstring());
    EXPECT_EQ(WideFromNarrow("/a/b.dll"), std::wstring(L"/a/b.dll"));
    // U+00E9, U+20AC, U+1D11E: two, three and four bytes.
    EXPECT_EQ(WideFromNarrow("\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"), std::wstring(L"\u00E9\u20AC\U0001D11E"));
}

TEST(LoaderCodePage, WideFormRefusesMalformedText) {
    if (!NarrowIsUtf8()) GTEST_SKIP() << "narrow texts are not UTF-8 here";
    for (const std::string& bad : {
             std::string("\x80"),              // continuation without lead
             std::string("\xC3"),              // truncated
             std::string("\xE2\x82"),          // truncated
             std::string("\xC0\xAF"),          // overlong '/'
             std::string("\xE0\x80\xAF"),      // overlong '/'
             std::string("\xED\xA0\x80"),      // surrogate
             std::string("\xF4\x90\x80\x80"),  // beyond U+10FFFF
             std::string("\xFF"),
             std::string("a\xC3(b"),           // bad continuation
         })
        EXPECT_EQ(WideFromNarrow(bad), std::nullopt) << bad;
}

#ifdef _WIN32
// The Western European code page 1252, the default of the test runs under Wine: every
// character it has converts both ways; one it lacks makes the path unusable rather than
// being replaced by a look-alike that would name another file.
TEST(LoaderCodePage, WindowsCodePage1252) {
    if (AreFileApisANSI() ? GetACP() != 1252 : GetOEMCP() != 1252) GTEST_SKIP() << "code page is not 1252";
    EXPECT_EQ(WideFromNarrow("\xE9\x80"), std::wstring(L"\u00E9\u20AC"));
    EXPECT_EQ(Vexa::CodePage::NarrowFromPath(std::filesystem::path(L"C:\\\u00E9\u20AC.dll")),
              std::string("C:\\\xE9\x80.dll"));
    EXPECT_EQ(Vexa::CodePage::NarrowFromPath(std::filesystem::path(L"C:\\\u0100.dll")), std::nullopt);
    EXPECT_EQ(Vexa::CodePage::PathFromNarrow("C:\\\xE9.dll"), std::filesystem::path(L"C:\\\u00E9.dll"));
    // Every byte decodes in this single-byte code page, even the five it leaves
    // unassigned, so narrow arguments never fail to convert here; what fails is a
    // character that a narrow argument could not carry (ArgumentsArrivedWhole).
}
#endif

}  // namespace
