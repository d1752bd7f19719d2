#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loader/api_loaders.h"
#include "loader/dll_proxy.h"
#include "loader/exceptions.h"
#include "loader/load_error.h"
#include "loader_support.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using LoaderTest::BuiltLibrary;
using LoaderTest::FrameworkTest;

namespace {

using ClientProxy = Vexa::DllProxy<Vexa::Proxy::ClientApi>;

TEST(LoaderLoadError, EveryResultHasItsFixedMessage) {
    const std::pair<Vexa::LoadError, const char*> expected[] = {
        {Vexa::ParameterIsNull, "Failed to load library: Tessaly.dll : 22 : Parameter is Null"},
        {Vexa::LibraryAlreadyLoaded, "Failed to load library: Tessaly.dll : 17 : Library Already Loaded"},
        {Vexa::InvalidDigitalSignature, "Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature"},
        {Vexa::CannotOpenLibrary, "Failed to load library: Tessaly.dll : 2 : Cannot Open Library"},
        {Vexa::IncompatibleBuildConfiguration,
         "Failed to load library: Tessaly.dll : 8 : Incompatible Build Configuration"},
        {Vexa::SymbolNotFound, "Failed to load library: Tessaly.dll : 6 : Symbol Not Found"},
        {Vexa::IncompatibleVersion, "Failed to load library: Tessaly.dll : 14 : Incompatible Version"},
    };
    for (const auto& [error, message] : expected) EXPECT_EQ(Vexa::LoadFailureMessage("Tessaly.dll", error), message);
}

class LoaderDllProxy : public FrameworkTest {
protected:
    // Stages a test library as asName (never over a file still bound) and binds it.
    Vexa::LoadError LoadDirectly(ClientProxy& proxy, const std::string& target,
                                 const std::string& asName = "Tessaly.dll") {
        machine.TrustDevelopmentRoot();
        return proxy.Load(VexaTest::MachineState::Stage(BuiltLibrary(target), installDir, asName));
    }
};

TEST_F(LoaderDllProxy, EmptyPathIsRefusedFirst) {
    ClientProxy proxy("ClientApi");
    EXPECT_EQ(proxy.Load(fs::path()), Vexa::ParameterIsNull);
    ASSERT_EQ(LoadDirectly(proxy, "loader_client"), Vexa::Success);
    EXPECT_EQ(proxy.Load(fs::path()), Vexa::ParameterIsNull);
}

TEST_F(LoaderDllProxy, BindsAWellFormedLibraryCallingOnlyTheBuildTypeExport) {
    ClientProxy proxy("ClientApi");
    ASSERT_EQ(LoadDirectly(proxy, "loader_client"), Vexa::Success);
    EXPECT_NE(proxy.Module(), nullptr);
    EXPECT_NE(proxy.CreateAddress(), nullptr);
    EXPECT_NE(proxy.DestroyAddress(), nullptr);
    EXPECT_NE(proxy.RevisionAddress(), nullptr);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type"}));
}

// A relative path names one file, relative to the current directory, for the check and
// the load alike; the load never searches the library path for it.
TEST_F(LoaderDllProxy, RelativePathIsCheckedAndLoadedAsOneAbsoluteFile) {
    machine.TrustDevelopmentRoot();
    VexaTest::MachineState::Stage(BuiltLibrary("loader_client"), installDir, "Tessaly.dll");
    const fs::path before = fs::current_path();
    fs::current_path(installDir);
    ClientProxy proxy("ClientApi");
    const Vexa::LoadError result = proxy.Load("Tessaly.dll");
    fs::current_path(before);
    EXPECT_EQ(result, Vexa::Success);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type"}));
}

TEST_F(LoaderDllProxy, SecondLoadLeavesTheFirstBindingIntact) {
    ClientProxy proxy("ClientApi");
    ASSERT_EQ(LoadDirectly(proxy, "loader_client"), Vexa::Success);
    const HMODULE module = proxy.Module();
    const auto create = proxy.CreateAddress();
    const auto destroy = proxy.DestroyAddress();
    const auto revision = proxy.RevisionAddress();

    EXPECT_EQ(LoadDirectly(proxy, "loader_revision_4", "Second.dll"), Vexa::LibraryAlreadyLoaded);
    EXPECT_EQ(proxy.Module(), module);
    EXPECT_EQ(proxy.CreateAddress(), create);
    EXPECT_EQ(proxy.DestroyAddress(), destroy);
    EXPECT_EQ(proxy.RevisionAddress(), revision);
    EXPECT_EQ(proxy.RevisionAddress()(), 3u);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision"}));
}

TEST_F(LoaderDllProxy, UnloadReleasesTheLibraryAndForgetsTheExports) {
    ClientProxy proxy("ClientApi");
    proxy.Unload();  // nothing bound: nothing happens
    ASSERT_EQ(LoadDirectly(proxy, "loader_client"), Vexa::Success);
    proxy.Unload();
    EXPECT_EQ(proxy.Module(), nullptr);
    EXPECT_EQ(proxy.CreateAddress(), nullptr);
    EXPECT_EQ(proxy.DestroyAddress(), nullptr);
    EXPECT_EQ(proxy.RevisionAddress(), nullptr);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "unload"}));
    proxy.Unload();
    EXPECT_EQ(Recorded().size(), 3u);
    // Unbound again, so it can bind anew.
    EXPECT_EQ(LoadDirectly(proxy, "loader_client"), Vexa::Success);
}

TEST_F(LoaderDllProxy, DestructorReleasesTheLibrary) {
    {
        ClientProxy proxy("ClientApi");
        ASSERT_EQ(LoadDirectly(proxy, "loader_client"), Vexa::Success);
    }
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "unload"}));
}

struct BrokenContract {
    const char* target;
    Vexa::LoadError result;
    Lines recorded;
};

void PrintTo(const BrokenContract& contract, std::ostream* out) { *out << contract.target; }

class LoaderDllProxyContract : public LoaderDllProxy, public ::testing::WithParamInterface<BrokenContract> {};

TEST_P(LoaderDllProxyContract, IsRefusedAndReleased) {
    if (!LoaderTest::PlatformBuildsLibrary(GetParam().target)) GTEST_SKIP() << "not built on this platform";
    ClientProxy proxy("ClientApi");
    EXPECT_EQ(LoadDirectly(proxy, GetParam().target), GetParam().result);
    EXPECT_EQ(proxy.Module(), nullptr);
    EXPECT_EQ(proxy.CreateAddress(), nullptr);
    EXPECT_EQ(proxy.DestroyAddress(), nullptr);
    EXPECT_EQ(proxy.RevisionAddress(), nullptr);
    EXPECT_EQ(Recorded(), GetParam().recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, LoaderDllProxyContract,
    ::testing::Values(
        BrokenContract{"loader_no_build_type", Vexa::SymbolNotFound, {"load", "unload"}},
        BrokenContract{"loader_no_create", Vexa::SymbolNotFound, {"load", "build type", "unload"}},
        BrokenContract{"loader_unprefixed", Vexa::SymbolNotFound, {"load", "build type", "unload"}},
        BrokenContract{"loader_incompatible_build", Vexa::IncompatibleBuildConfiguration,
                       {"load", "build type", "unload"}},
        BrokenContract{"loader_incompatible_build_no_create", Vexa::IncompatibleBuildConfiguration,
                       {"load", "build type", "unload"}},
        // The wrong interface: a catalog library offers no ClientApi exports.
        BrokenContract{"loader_catalog", Vexa::SymbolNotFound, {"load", "build type", "unload"}},
        BrokenContract{"loader_signed_text", Vexa::CannotOpenLibrary, {}}),
    [](const ::testing::TestParamInfo<BrokenContract>& info) { return std::string(info.param.target); });

// ---- trust: no code of a library that fails verification may run ----

TEST_F(LoaderDllProxy, UnsignedLibraryIsNeverLoaded) {
    ClientProxy proxy("ClientApi");
    EXPECT_EQ(LoadDirectly(proxy, "loader_client_unsigned"), Vexa::InvalidDigitalSignature);
    EXPECT_EQ(proxy.Module(), nullptr);
    EXPECT_FALSE(RecordExists());
}

// Flips one byte of the marker string in the signed file's code: the library would
// still load, only the broken signature keeps it out.
void Tamper(const fs::path& file) {
    std::fstream io(file, std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(io)), std::istreambuf_iterator<char>());
    const std::size_t at = bytes.find("VEXA-TAMPER-TARGET");
    ASSERT_NE(at, std::string::npos);
    io.seekp(static_cast<std::streamoff>(at));
    io.put('W');
    ASSERT_TRUE(io.good());
}

TEST_F(LoaderDllProxy, TamperedLibraryIsNeverLoaded) {
    machine.TrustDevelopmentRoot();
    const fs::path file = VexaTest::MachineState::Stage(BuiltLibrary("loader_client"), installDir, "Tessaly.dll");
    Tamper(file);
    ClientProxy proxy("ClientApi");
    EXPECT_EQ(proxy.Load(file), Vexa::InvalidDigitalSignature);
    EXPECT_FALSE(RecordExists());
}

TEST_F(LoaderDllProxy, LibrarySignedByAnUntrustedRootIsNeverLoaded) {
    const fs::path file = VexaTest::MachineState::Stage(BuiltLibrary("loader_client"), installDir, "Tessaly.dll");
    ClientProxy proxy("ClientApi");
    EXPECT_EQ(proxy.Load(file), Vexa::InvalidDigitalSignature);
    EXPECT_FALSE(RecordExists());
}

TEST_F(LoaderDllProxy, MissingFileIsNotVerified) {
    machine.TrustDevelopmentRoot();
    ClientProxy proxy("ClientApi");
    EXPECT_EQ(proxy.Load(installDir / "Missing.dll"), Vexa::InvalidDigitalSignature);
}

// A directory below the install directory whose full path has exactly length
// characters, made of components short enough for any file system.
fs::path DirectoryOfLength(const fs::path& base, std::size_t length) {
    fs::path dir = base;
    while (dir.string().size() < length) {
        const std::size_t room = length - dir.string().size() - 1;  // after the separator
        std::size_t part = std::min<std::size_t>(room, 100);
        if (room - part == 1) --part;  // a gap of one could take no component
        dir /= std::string(part, 'd');
    }
    fs::create_directories(dir);
    return dir;
}

TEST_F(LoaderDllProxy, PathMustFitTheTrustBufferWithItsTerminator) {
    machine.TrustDevelopmentRoot();
    const std::string fileName = "Tessaly.dll";

    const fs::path fits = DirectoryOfLength(installDir / "fits", MAX_PATH - 1 - 1 - fileName.size());
    const fs::path longest = VexaTest::MachineState::Stage(BuiltLibrary("loader_client"), fits, fileName);
    ASSERT_EQ(longest.string().size(), MAX_PATH - 1u);
    ClientProxy accepted("ClientApi");
    EXPECT_EQ(accepted.Load(longest), Vexa::Success);
    accepted.Unload();

    const fs::path over = DirectoryOfLength(installDir / "over", MAX_PATH - 1 - fileName.size());
    const fs::path tooLong = VexaTest::MachineState::Stage(BuiltLibrary("loader_client"), over, fileName);
    ASSERT_EQ(tooLong.string().size(), static_cast<std::size_t>(MAX_PATH));
    ClientProxy refused("ClientApi");
    EXPECT_EQ(refused.Load(tooLong), Vexa::InvalidDigitalSignature);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "unload"}));
}

// ---- the loaders: the framework directory and the revision ----

class LoaderApiLoader : public FrameworkTest {};

TEST_F(LoaderApiLoader, FindsItsLibraryInTheFrameworkDirectoryAndChecksTheRevisionOnce) {
    Install("loader_client", "Tessaly.dll");
    Vexa::ClientApiLoader loader;
    EXPECT_EQ(loader.Name(), "ClientApi");
    EXPECT_EQ(loader.Load("Tessaly.dll"), Vexa::Success);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision"}));
}

TEST_F(LoaderApiLoader, RevisionOutsideTheAcceptedRangeLeavesTheLibraryBound) {
    for (const char* target : {"loader_revision_2", "loader_revision_4"}) {
        fs::remove(recordFile);
        Install(target, "Tessaly.dll");
        {
            Vexa::ClientApiLoader loader;
            EXPECT_EQ(loader.Load("Tessaly.dll"), Vexa::IncompatibleVersion) << target;
            EXPECT_NE(loader.Module(), nullptr);
            EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision"}));
        }
        EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "unload"}));
    }
}

TEST_F(LoaderApiLoader, SecondLoadGives17) {
    Install("loader_client", "Tessaly.dll");
    Vexa::ClientApiLoader loader;
    ASSERT_EQ(loader.Load("Tessaly.dll"), Vexa::Success);
    const HMODULE module = loader.Module();
    EXPECT_EQ(loader.Load("Tessaly.dll"), Vexa::LibraryAlreadyLoaded);
    EXPECT_EQ(loader.Module(), module);
    EXPECT_NE(loader.CreateAddress(), nullptr);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision"}));
}

TEST_F(LoaderApiLoader, CatalogLoaderBindsOrbisk) {
    Install("loader_catalog", "Orbisk.dll");
    Vexa::ProviderCatalogApiLoader loader;
    EXPECT_EQ(loader.Name(), "ProviderCatalogApi");
    EXPECT_EQ(loader.Load("Orbisk.dll"), Vexa::Success);
}

TEST_F(LoaderApiLoader, WithoutFrameworkThrowsBeforeLoadingAnything) {
    Vexa::ProviderCatalogApiLoader loader;
    EXPECT_THROW(loader.Load("Orbisk.dll"), Vexa::VexaException);
    EXPECT_EQ(loader.Module(), nullptr);
}

}  // namespace
