#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "common/code_page.h"

namespace {

using Vexa::CodePage::WideFromNarrow;

TEST(SpineCodePage, NarrowAndPathRoundTrip) {
    const std::string narrow = "/opt/vexa/Fr\xC3\xA4mework/Tessaly.dll";
    EXPECT_EQ(Vexa::CodePage::NarrowFromPath(Vexa::CodePage::PathFromNarrow(narrow)), narrow);
    EXPECT_EQ(Vexa::CodePage::NarrowFromPath(std::filesystem::path()), std::string());
}

TEST(SpineCodePage, WideFormDecodesEveryLength) {
    EXPECT_EQ(WideFromNarrow(""), std::wstring());
    EXPECT_EQ(WideFromNarrow("/a/b.dll"), std::wstring(L"/a/b.dll"));
    // U+00E9, U+20AC, U+1D11E: two, three and four bytes.
    EXPECT_EQ(WideFromNarrow("\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E"), std::wstring(L"\u00E9\u20AC\U0001D11E"));
}

TEST(SpineCodePage, WideFormRefusesMalformedText) {
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

}  // namespace
