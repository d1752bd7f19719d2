// The export contract of both libraries: exactly the four exports, revision 3, an
// acceptable build type, and a library that really leaves the process when released.
// (The signature is checked by every test that loads them through the wrappers.)
#include <dlfcn.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "framework_fixture.h"
#include "interfaces/client_api_interface.h"
#include "interfaces/export_contract.h"
#include "interfaces/provider_catalog_api_interface.h"

namespace {

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

Library Open(const std::string& fileName) {
    return Library(dlopen(FrameworkTest::BuiltLibrary(fileName).c_str(), RTLD_NOW | RTLD_LOCAL));
}

bool IsLoaded(const std::string& fileName) {
    Library probe(dlopen(FrameworkTest::BuiltLibrary(fileName).c_str(), RTLD_NOW | RTLD_NOLOAD));
    return probe != nullptr;
}

// The dynamic symbols the file defines, as the loader sees them.
std::set<std::string> DefinedDynamicSymbols(const std::string& fileName) {
    std::string command = "nm -D --defined-only '" + FrameworkTest::BuiltLibrary(fileName).string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> symbols;
    char line[1024];
    while (pipe && fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) symbols.insert(name);
    }
    return symbols;
}

template <class Function>
Function Resolve(const Library& library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library.get(), name));
}

struct ContractCase {
    const char* file;
    const char* prefix;
};

void PrintTo(const ContractCase& contract, std::ostream* out) { *out << contract.file; }

class FrameworkExports : public ::testing::TestWithParam<ContractCase> {};

TEST_P(FrameworkExports, ExportExactlyTheFourContractFunctions) {
    std::string prefix = GetParam().prefix;
    EXPECT_EQ(DefinedDynamicSymbols(GetParam().file),
              (std::set<std::string>{prefix + "Create", prefix + "Destroy", prefix + "Revision", "GetDllBuildType"}));
}

TEST_P(FrameworkExports, ReportRevisionThreeAndAnAcceptableBuildType) {
    Library library = Open(GetParam().file);
    ASSERT_NE(library, nullptr) << dlerror();
    std::string revision = std::string(GetParam().prefix) + "Revision";
    auto revisionExport = Resolve<Vexa::Proxy::RevisionExport>(library, revision.c_str());
    auto buildType = Resolve<Vexa::Proxy::BuildTypeExport>(library, "GetDllBuildType");
    ASSERT_NE(revisionExport, nullptr);
    ASSERT_NE(buildType, nullptr);
    EXPECT_EQ(revisionExport(), 3u);
    EXPECT_EQ(buildType() & Vexa::Proxy::kIncompatibleBuildBit, 0u);
}

INSTANTIATE_TEST_SUITE_P(FrameworkLibraries, FrameworkExports,
                         ::testing::Values(ContractCase{"Orbisk.dll", "ProviderCatalogApi"},
                                           ContractCase{"Tessaly.dll", "ClientApi"}),
                         [](const auto& info) { return std::string(info.param.prefix); });

// An instance with running threads, destroyed: then the library unloads completely.
TEST(FrameworkUnload, ClientLibraryLeavesTheProcessAfterItsInstanceIsDestroyed) {
    {
        Library library = Open("Tessaly.dll");
        ASSERT_NE(library, nullptr) << dlerror();
        auto create = Resolve<Vexa::Proxy::CreateExport<Vexa::Proxy::ClientApi>>(library, "ClientApiCreate");
        auto destroy = Resolve<Vexa::Proxy::DestroyExport<Vexa::Proxy::ClientApi>>(library, "ClientApiDestroy");
        std::string configuration = R"({"interval_ms": 10})";
        Vexa::Proxy::ClientApi* instance = create(configuration);
        ASSERT_NE(instance, nullptr);
        instance->RegisterEvent("sensors.ticks", [](const char*, const char*, void*) {}, nullptr);
        instance->ExecuteCommand("sensors.sample", "");
        destroy(instance);
    }
    EXPECT_FALSE(IsLoaded("Tessaly.dll"));
}

TEST(FrameworkUnload, CatalogLibraryLeavesTheProcessAfterItsInstanceIsDestroyed) {
    {
        Library library = Open("Orbisk.dll");
        ASSERT_NE(library, nullptr) << dlerror();
        auto create = Resolve<Vexa::Proxy::CreateExport<Vexa::Proxy::ProviderCatalogApi>>(
            library, "ProviderCatalogApiCreate");
        auto destroy = Resolve<Vexa::Proxy::DestroyExport<Vexa::Proxy::ProviderCatalogApi>>(
            library, "ProviderCatalogApiDestroy");
        std::string configuration;
        Vexa::Proxy::ProviderCatalogApi* instance = create(configuration);
        ASSERT_NE(instance, nullptr);
        destroy(instance);
    }
    EXPECT_FALSE(IsLoaded("Orbisk.dll"));
}

}  // namespace
