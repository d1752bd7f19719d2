// The pure parts of vexareg: the extension rule for provider paths and the catalog
// document built from the entries.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "argument_parser.h"
#include "catalog_operations.h"
#include "console.h"

using namespace Vexa::Registration;

TEST(VexaregDllExtension, AcceptsExactlyDotDll) {
    for (const char* path : {"a.dll", "/x/y/a.dll", "rel/a.b.dll", "..dll", "a..dll", "a.dll:stream",
                             "a.dll:s.txt", "/x.txt/a.dll"})
        EXPECT_TRUE(HasDllExtension(path)) << path;
}

TEST(VexaregDllExtension, RefusesEverythingElse) {
    for (const char* path : {"a.DLL", "a.Dll", ".dll", "/x/.dll", "a", "a.", "a.dl", "a.dlll",
                             "a.dll.bak", "a.dll/", "/x/a.dll/.", "/x/a.dll/..", ".", "..", "",
                             ":a.dll", "a.dll ", "/x.dll/a"})
        EXPECT_FALSE(HasDllExtension(path)) << path;
}

// The extension is taken from the last path component. On Windows "a:" is a drive, so
// the last component of "a:b.dll" is "b.dll"; elsewhere the component is "a:b.dll",
// whose name ends at the ":".
TEST(VexaregDllExtension, ColonAfterOneLetter) {
#ifdef _WIN32
    EXPECT_TRUE(HasDllExtension("a:b.dll"));
#else
    EXPECT_FALSE(HasDllExtension("a:b.dll"));
#endif
}

// A process may be started with no argument vector at all; that is bad input, not a
// crash.
TEST(VexaregEmptyArgumentVector, IsIncorrectInput) {
    const char* const argv[] = {nullptr};
    Operation operation = Operation::None;
    std::vector<std::filesystem::path> providers;
    EXPECT_EQ(ParseArguments(0, argv, operation, providers), ResultCode::IncorrectInput);
    EXPECT_TRUE(providers.empty());
    EXPECT_EQ(ComposeUsage(nullptr).rfind("Usage:  [OPTION] [absolute_path_to_dll] \n", 0), 0u);
}

// An argument that is not what the process was given (on Windows, one into which the
// code page put a look-alike for a character it lacks) is never taken for what it
// spells: an option so marked is not recognised, and a path so marked is left out
// unexamined, like one whose text cannot be converted, whatever it names.
class VexaregArgumentsNotWhole : public ::testing::Test {
protected:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() /
                    ("vexareg-arguments-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)));
        std::filesystem::create_directories(directory);
        for (const char* name : {"a.dll", "b.dll"}) std::ofstream(directory / name) << "x";
        a = (directory / "a.dll").string();
        b = (directory / "b.dll").string();
        missing = (directory / "missing.dll").string();
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    ResultCode Parse(const std::vector<std::string>& arguments, const std::vector<bool>& whole,
                     std::vector<std::filesystem::path>& providers) {
        std::vector<const char*> argv{"vexareg"};
        for (const std::string& argument : arguments) argv.push_back(argument.c_str());
        Operation operation = Operation::None;
        return ParseArguments(static_cast<int>(argv.size()), argv.data(), operation, providers, whole);
    }

    std::filesystem::path directory;
    std::string a, b, missing;
};

TEST_F(VexaregArgumentsNotWhole, EachPositionSwept) {
    const std::vector<std::string> arguments{"-r", a, b};
    for (std::size_t marked = 0; marked <= arguments.size() + 1; ++marked) {
        std::vector<bool> whole(arguments.size() + 1, true);
        if (marked >= 1 && marked < whole.size()) whole[marked] = false;
        std::vector<std::filesystem::path> providers;
        const ResultCode code = Parse(arguments, whole, providers);
        std::vector<std::filesystem::path> expected;
        if (marked != 2) expected.push_back(a);
        if (marked != 3) expected.push_back(b);
        if (marked == 1) {
            EXPECT_EQ(code, ResultCode::IncorrectInput);
            EXPECT_TRUE(providers.empty());
        } else {
            EXPECT_EQ(code, marked == 2 || marked == 3 ? ResultCode::CatalogOperationFailed : ResultCode::Success)
                << marked;
            EXPECT_EQ(providers, expected) << marked;
        }
    }
}

TEST_F(VexaregArgumentsNotWhole, MarkedPathIsNotExaminedButLaterOnesAre) {
    std::vector<std::filesystem::path> providers;
    // A marked missing path is not reported missing; a later missing one still decides.
    EXPECT_EQ(Parse({"-q", missing}, {true, true, false}, providers), ResultCode::CatalogOperationFailed);
    EXPECT_EQ(Parse({"-q", a, missing}, {true, true, false, true}, providers), ResultCode::FileNotFound);
    // A short vector leaves the arguments beyond it unexamined as well.
    EXPECT_EQ(Parse({"-r", a}, {true, true}, providers), ResultCode::CatalogOperationFailed);
}

TEST(VexaregNotFound, ErrorsThatMeanNoSuchFile) {
    EXPECT_TRUE(IsNotFoundError(std::make_error_code(std::errc::no_such_file_or_directory)));
    EXPECT_TRUE(IsNotFoundError(std::make_error_code(std::errc::not_a_directory)));
    EXPECT_TRUE(IsNotFoundError(std::make_error_code(std::errc::filename_too_long)));
    EXPECT_FALSE(IsNotFoundError(std::make_error_code(std::errc::permission_denied)));
    EXPECT_FALSE(IsNotFoundError(std::make_error_code(std::errc::too_many_symbolic_link_levels)));
    EXPECT_FALSE(IsNotFoundError(std::make_error_code(std::errc::io_error)));
}

TEST(VexaregCatalogDocument, WorkedExample) {
    EXPECT_EQ(FormatCatalogDocument({R"({"b":[true],"a":1})", "7"}),
              "{\n"
              "    \"provider_catalog\": [\n"
              "        {\n"
              "            \"a\": 1,\n"
              "            \"b\": [\n"
              "                true\n"
              "            ]\n"
              "        },\n"
              "        7\n"
              "    ]\n"
              "}");
}

TEST(VexaregCatalogDocument, NoEntriesIsNull) { EXPECT_EQ(FormatCatalogDocument({}), "null"); }

TEST(VexaregCatalogDocument, OneScalarEntry) {
    EXPECT_EQ(FormatCatalogDocument({" \"x\"\n"}), "{\n    \"provider_catalog\": [\n        \"x\"\n    ]\n}");
}

TEST(VexaregCatalogDocument, NonAsciiStaysUtf8) {
    EXPECT_EQ(FormatCatalogDocument({"\"\\u00e9\xc3\xa9\""}),
              "{\n    \"provider_catalog\": [\n        \"\xc3\xa9\xc3\xa9\"\n    ]\n}");
}

TEST(VexaregCatalogDocument, InvalidUtf8IsRefused) {
    EXPECT_ANY_THROW(FormatCatalogDocument({"\"\xff\""}));
    EXPECT_ANY_THROW(FormatCatalogDocument({"\"\\ud800\""}));
}

TEST(VexaregCatalogDocument, EntriesMustBeOneStrictValue) {
    for (const char* entry : {"", "   ", "1 2", "{}x", "[1,]", "// c\n1", "/* c */1", "{'a':1}", "NaN", "tru"})
        EXPECT_ANY_THROW(FormatCatalogDocument({"1", entry})) << entry;
}

TEST(VexaregEntryNesting, BoundIsInclusive) {
    const auto nested = [](int depth, const char* open, const char* inner, const char* close) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += open;
        text += inner;
        for (int i = 0; i < depth; ++i) text += close;
        return text;
    };
    EXPECT_NO_THROW(ParseCatalogEntry(nested(kMaxEntryNesting, "[", "", "]")));
    EXPECT_NO_THROW(ParseCatalogEntry(nested(kMaxEntryNesting, "{\"k\":", "1", "}")));
    EXPECT_ANY_THROW(ParseCatalogEntry(nested(kMaxEntryNesting + 1, "[", "", "]")));
    EXPECT_ANY_THROW(ParseCatalogEntry(nested(kMaxEntryNesting + 1, "{\"k\":", "1", "}")));
    EXPECT_ANY_THROW(ParseCatalogEntry(nested(100000, "[", "", "]")));
    // The whole document nests two levels deeper than its deepest entry and still prints.
    EXPECT_NO_THROW(FormatCatalogDocument({nested(kMaxEntryNesting, "[", "", "]")}));
}
