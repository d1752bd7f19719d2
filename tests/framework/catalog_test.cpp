// Orbisk's provider catalog, reached the way vexareg reaches it: through the wrapper,
// from the published, signed library.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "loader/provider_catalog_api_wrapper.h"
#include "interfaces/exception_family.h"
#include "framework_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// The provider paths the catalog lists, in its order.
std::vector<std::string> ListedPaths(Vexa::ProviderCatalogApi& catalog) {
    std::vector<std::string> paths;
    for (const std::string& entry : catalog.QueryProviders()) paths.push_back(json::parse(entry).at("path"));
    return paths;
}

class FrameworkCatalog : public ::testing::Test {
protected:
    FrameworkTest::PublishedFramework framework;
};

TEST_F(FrameworkCatalog, StartsEmptyWithoutWritingAnything) {
    Vexa::ProviderCatalogApi catalog;
    EXPECT_TRUE(catalog.QueryProviders().empty());
    EXPECT_FALSE(fs::exists(framework.CatalogFile()));
}

TEST_F(FrameworkCatalog, ListsProvidersInRegistrationOrderWithPathAndName) {
    fs::path beta = framework.MakeProvider("beta.dll");
    fs::path alpha = framework.MakeProvider("alpha.dll");
    {
        Vexa::ProviderCatalogApi catalog;
        catalog.RegisterProvider(beta);
        catalog.RegisterProvider(alpha);
    }
    Vexa::ProviderCatalogApi reopened;
    std::vector<std::string> entries = reopened.QueryProviders();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(json::parse(entries[0]), (json{{"path", beta.string()}, {"name", "beta"}}));
    EXPECT_EQ(json::parse(entries[1]), (json{{"path", alpha.string()}, {"name", "alpha"}}));
}

TEST_F(FrameworkCatalog, KeepsOneEntryForAPathRegisteredAgainUnderAnotherSpelling) {
    fs::path first = framework.MakeProvider("first.dll");
    fs::path second = framework.MakeProvider("second.dll");
    Vexa::ProviderCatalogApi catalog;
    catalog.RegisterProvider(first);
    catalog.RegisterProvider(second);
    catalog.RegisterProvider(first.parent_path() / "." / ".." / first.parent_path().filename() / "first.dll");
    EXPECT_EQ(ListedPaths(catalog), (std::vector<std::string>{first.string(), second.string()}));
}

TEST_F(FrameworkCatalog, StoresRelativePathsAsAbsolute) {
    fs::path provider = framework.MakeProvider("relative.dll");
    fs::path previous = fs::current_path();
    fs::current_path(provider.parent_path());
    Vexa::ProviderCatalogApi catalog;
    catalog.RegisterProvider("relative.dll");
    fs::current_path(previous);
    EXPECT_EQ(ListedPaths(catalog), std::vector<std::string>{provider.string()});
}

TEST_F(FrameworkCatalog, UnregisterRemovesOnlyThatEntry) {
    fs::path a = framework.MakeProvider("a.dll");
    fs::path b = framework.MakeProvider("b.dll");
    fs::path c = framework.MakeProvider("c.dll");
    Vexa::ProviderCatalogApi catalog;
    for (const fs::path& p : {a, b, c}) catalog.RegisterProvider(p);
    catalog.UnregisterProvider(b);
    EXPECT_EQ(ListedPaths(catalog), (std::vector<std::string>{a.string(), c.string()}));
    // A provider whose file is gone can still be taken out of the catalog.
    fs::remove(a);
    catalog.UnregisterProvider(a);
    EXPECT_EQ(ListedPaths(catalog), std::vector<std::string>{c.string()});
}

TEST_F(FrameworkCatalog, RefusesPathsThatAreNotExistingFiles) {
    Vexa::ProviderCatalogApi catalog;
    EXPECT_THROW(catalog.RegisterProvider(framework.InstallDir() / "missing.dll"),
                 Vexa::ProviderNotFoundException);
    EXPECT_THROW(catalog.RegisterProvider(framework.InstallDir()), Vexa::InvalidArgumentException);
    EXPECT_THROW(catalog.RegisterProvider(""), Vexa::InvalidArgumentException);
    EXPECT_TRUE(catalog.QueryProviders().empty());
}

TEST_F(FrameworkCatalog, UnregisteringAnUnlistedPathFailsAndChangesNothing) {
    fs::path listed = framework.MakeProvider("listed.dll");
    fs::path other = framework.MakeProvider("other.dll");
    Vexa::ProviderCatalogApi catalog;
    catalog.RegisterProvider(listed);
    std::string before = ReadFile(framework.CatalogFile());
    try {
        catalog.UnregisterProvider(other);
        FAIL() << "unregistering an unlisted provider succeeded";
    } catch (const Vexa::ProviderNotFoundException& error) {
        EXPECT_NE(std::string(error.what()).find(other.string()), std::string::npos) << error.what();
    }
    EXPECT_EQ(ReadFile(framework.CatalogFile()), before);
}

TEST_F(FrameworkCatalog, NeverOverwritesACatalogItCannotParse) {
    fs::path provider = framework.MakeProvider("p.dll");
    const std::string damaged = "{\"format\": 1, \"providers\": [{\"path\": \"/x\", \"name\": ";
    WriteFile(framework.CatalogFile(), damaged);
    Vexa::ProviderCatalogApi catalog;
    try {
        catalog.RegisterProvider(provider);
        FAIL() << "registering into a damaged catalog succeeded";
    } catch (const Vexa::FrameworkException& error) {
        EXPECT_NE(std::string(error.what()).find("provider-catalog.json"), std::string::npos) << error.what();
    }
    EXPECT_THROW(catalog.UnregisterProvider(provider), Vexa::FrameworkException);
    EXPECT_THROW(catalog.QueryProviders(), Vexa::FrameworkException);
    EXPECT_EQ(ReadFile(framework.CatalogFile()), damaged);
}

TEST_F(FrameworkCatalog, RefusesCatalogsOfTheWrongShape) {
    Vexa::ProviderCatalogApi catalog;
    for (const char* text : {"[]", "{\"format\": 2, \"providers\": []}", "{\"format\": 1}",
                             "{\"format\": 1, \"providers\": [{\"name\": \"no path\"}]}", ""}) {
        WriteFile(framework.CatalogFile(), text);
        EXPECT_THROW(catalog.QueryProviders(), Vexa::FrameworkException) << text;
    }
    fs::remove(framework.CatalogFile());
    fs::create_directory(framework.CatalogFile());
    EXPECT_THROW(catalog.RegisterProvider(framework.MakeProvider("p.dll")), Vexa::FrameworkException);
}

// Two processes registering at once: the lock serialises their read-modify-write, so
// no registration of either is lost and each keeps its own order.
TEST_F(FrameworkCatalog, ConcurrentProcessesLoseNoRegistration) {
    constexpr int kPerProcess = 40;
    std::vector<std::string> left{FRAMEWORK_TEST_CATALOG_WRITER, "--wait-fd"};
    std::vector<std::string> right = left;
    std::vector<std::string> leftPaths, rightPaths;
    for (int i = 0; i < kPerProcess; ++i) {
        leftPaths.push_back(framework.MakeProvider("left" + std::to_string(i) + ".dll").string());
        rightPaths.push_back(framework.MakeProvider("right" + std::to_string(i) + ".dll").string());
    }

    int gate[2];
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    fcntl(gate[0], F_SETFD, 0);  // the children inherit the read end only
    left.push_back(std::to_string(gate[0]));
    right.push_back(std::to_string(gate[0]));
    left.insert(left.end(), leftPaths.begin(), leftPaths.end());
    right.insert(right.end(), rightPaths.begin(), rightPaths.end());
    FrameworkTest::ChildProcess leftWriter(left);
    FrameworkTest::ChildProcess rightWriter(right);
    close(gate[0]);
    close(gate[1]);  // releases both writers together
    EXPECT_EQ(leftWriter.Wait(), 0);
    EXPECT_EQ(rightWriter.Wait(), 0);

    Vexa::ProviderCatalogApi catalog;
    std::vector<std::string> listed = ListedPaths(catalog);
    ASSERT_EQ(listed.size(), 2u * kPerProcess);
    std::vector<std::string> listedLeft, listedRight;
    for (const std::string& path : listed)
        (path.find("/left") != std::string::npos ? listedLeft : listedRight).push_back(path);
    EXPECT_EQ(listedLeft, leftPaths);
    EXPECT_EQ(listedRight, rightPaths);
}

// A writer killed at an arbitrary moment leaves the catalog as it was before or after
// one of its registrations, never damaged, and later writers carry on.
TEST_F(FrameworkCatalog, WriterKilledAtAnyMomentLeavesACompleteCatalog) {
    constexpr int kRounds = 12;
    constexpr int kPerRound = 120;
    std::mt19937 random(20261208);
    std::vector<std::string> expected;
    Vexa::ProviderCatalogApi reader;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::string> arguments{FRAMEWORK_TEST_CATALOG_WRITER, "--wait-fd"};
        std::vector<std::string> paths;
        for (int i = 0; i < kPerRound; ++i)
            paths.push_back(framework.MakeProvider("r" + std::to_string(round) + "_" + std::to_string(i) +
                                                   "_with_a_rather_long_file_name_to_make_writes_larger.dll")
                                .string());
        int gate[2];
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        fcntl(gate[0], F_SETFD, 0);
        arguments.push_back(std::to_string(gate[0]));
        arguments.insert(arguments.end(), paths.begin(), paths.end());
        {
            FrameworkTest::ChildProcess writer(arguments);
            close(gate[0]);
            close(gate[1]);
            // Once the writer is under way, kill it at a random moment.
            for (int waited = 0; ListedPaths(reader).size() == expected.size(); ++waited) {
                ASSERT_LT(waited, 20000) << "round " << round << ": the writer makes no progress";
                usleep(500);
            }
            usleep(std::uniform_int_distribution<useconds_t>(0, 30000)(random));
            writer.Kill();
            writer.Wait();
        }

        // The file itself is one complete catalog ...
        json document = json::parse(ReadFile(framework.CatalogFile()), nullptr, false);
        ASSERT_FALSE(document.is_discarded()) << "round " << round << ": the catalog file is damaged";
        // ... holding what earlier rounds left plus the first registrations of this one.
        Vexa::ProviderCatalogApi catalog;
        std::vector<std::string> listed = ListedPaths(catalog);
        ASSERT_GE(listed.size(), expected.size());
        ASSERT_LE(listed.size(), expected.size() + paths.size());
        std::vector<std::string> wanted = expected;
        wanted.insert(wanted.end(), paths.begin(), paths.begin() + (listed.size() - expected.size()));
        ASSERT_EQ(listed, wanted) << "round " << round;
        expected = listed;
    }
    // A writer that runs to its end after all the killed ones still works.
    Vexa::ProviderCatalogApi catalog;
    catalog.RegisterProvider(framework.MakeProvider("last.dll"));
    EXPECT_EQ(ListedPaths(catalog).size(), expected.size() + 1);
}

}  // namespace
