#include <string>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "loader/client_api_wrapper.h"
#include "loader/exceptions.h"
#include "loader/provider_catalog_api_wrapper.h"
#include "loader_support.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using LoaderTest::FrameworkTest;

namespace {

// Runs construct, which must throw exactly Exception with this message and code.
template <class Exception, class Construct>
void ExpectConstructionFails(Construct construct, const std::string& message, int code) {
    try {
        construct();
        ADD_FAILURE() << "constructed, expected: " << message;
    } catch (const Exception& e) {
        EXPECT_EQ(typeid(e), typeid(Exception));
        EXPECT_EQ(e.what(), message);
        EXPECT_EQ(e.code, code);
    }
}

// ---- Vexa::ClientApi: binding, creation, release ----

class LoaderClientApi : public FrameworkTest {};

TEST_F(LoaderClientApi, CreatesWithBracesAndDestroysBeforeReleasing) {
    Install("loader_client", "Tessaly.dll");
    {
        Vexa::ClientApi api;
        EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create({})"}));
    }
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create({})", "destroy", "unload"}));
}

TEST_F(LoaderClientApi, HandsTheConfigurationToTheCreateExport) {
    Install("loader_client", "Tessaly.dll");
    { Vexa::ClientApi api("{\"mode\":\"test\"}"); }
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create({\"mode\":\"test\"})", "destroy", "unload"}));
}

TEST_F(LoaderClientApi, EachWrapperBindsAndCreatesOnItsOwn) {
    Install("loader_client", "Tessaly.dll");
    auto first = std::make_unique<Vexa::ClientApi>();
    auto second = std::make_unique<Vexa::ClientApi>();
    first.reset();
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create({})", "build type", "revision",
                                 "create({})", "destroy"}));
    second.reset();
    EXPECT_EQ(Recorded().back(), "unload");
    EXPECT_EQ(Recorded().size(), 10u);
}

// A library that stays in the process after its last FreeLibrary (GCC pins one with an
// STB_GNU_UNIQUE symbol unless told otherwise) binds again for every wrapper: loading
// its path returns the module still loaded, whose state carries on, and the trust check
// still judges the file each time.
TEST_F(LoaderClientApi, AResidentLibraryBindsAgainForEveryWrapper) {
    if (!LoaderTest::PlatformBuildsLibrary("loader_client_pinned")) GTEST_SKIP() << "not built on this platform";
    const fs::path library = Install("loader_client_pinned", "Tessaly.dll");
    Lines expected{"load"};
    for (int round = 1; round <= 5; ++round) {
        SCOPED_TRACE(round);
        Vexa::ClientApi api;
        EXPECT_EQ(api.GetValue("here"), "GetValue(here)");
        expected.insert(expected.end(), {"build type", "revision", "create({})", "creation " + std::to_string(round),
                                         "GetValue(here)", "destroy"});
    }
    EXPECT_EQ(Recorded(), expected) << "loaded once, never unloaded, bound five times";

    fs::copy_file(LoaderTest::BuiltLibrary("loader_client_unsigned"), library, fs::copy_options::overwrite_existing);
    ExpectConstructionFails<Vexa::FrameworkException>(
        [] { Vexa::ClientApi api; }, "Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature", 100);
    EXPECT_EQ(Recorded(), expected);
}

TEST_F(LoaderClientApi, WithoutFrameworkDirectoryNothingIsLoaded) {
    ExpectConstructionFails<Vexa::VexaException>([] { Vexa::ClientApi api; }, "Error Locating Framework Directory",
                                                 1);
    machine.PublishFramework("");
    ExpectConstructionFails<Vexa::VexaException>([] { Vexa::ClientApi api; }, "Error Locating Framework Directory",
                                                 1);
    EXPECT_FALSE(RecordExists());
}

struct RefusedLibrary {
    const char* target;
    const char* message;
    Lines recorded;
};

void PrintTo(const RefusedLibrary& library, std::ostream* out) { *out << library.target; }

class LoaderClientApiRefused : public LoaderClientApi, public ::testing::WithParamInterface<RefusedLibrary> {};

TEST_P(LoaderClientApiRefused, ThrowsTheLoadErrorAndHoldsNothing) {
    if (!LoaderTest::PlatformBuildsLibrary(GetParam().target)) GTEST_SKIP() << "not built on this platform";
    Install(GetParam().target, "Tessaly.dll");
    ExpectConstructionFails<Vexa::FrameworkException>([] { Vexa::ClientApi api; }, GetParam().message, 100);
    EXPECT_EQ(Recorded(), GetParam().recorded);
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, LoaderClientApiRefused,
    ::testing::Values(
        RefusedLibrary{"loader_client_unsigned", "Failed to load library: Tessaly.dll : 42 : Invalid Digital Signature",
                       {}},
        RefusedLibrary{"loader_signed_text", "Failed to load library: Tessaly.dll : 2 : Cannot Open Library", {}},
        RefusedLibrary{"loader_incompatible_build_no_create",
                       "Failed to load library: Tessaly.dll : 8 : Incompatible Build Configuration",
                       {"load", "build type", "unload"}},
        RefusedLibrary{"loader_no_build_type", "Failed to load library: Tessaly.dll : 6 : Symbol Not Found",
                       {"load", "unload"}},
        RefusedLibrary{"loader_revision_2", "Failed to load library: Tessaly.dll : 14 : Incompatible Version",
                       {"load", "build type", "revision", "unload"}},
        RefusedLibrary{"loader_revision_4", "Failed to load library: Tessaly.dll : 14 : Incompatible Version",
                       {"load", "build type", "revision", "unload"}}),
    [](const ::testing::TestParamInfo<RefusedLibrary>& info) { return std::string(info.param.target); });

TEST_F(LoaderClientApi, NullInstanceIsAFailureAndNeverDestroyed) {
    Install("loader_create_null", "Tessaly.dll");
    ExpectConstructionFails<Vexa::FrameworkException>([] { Vexa::ClientApi api; },
                                                      "Failed to create instance of ClientApi", 100);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create({})", "unload"}));
}

TEST_F(LoaderClientApi, ThrowingCreateReleasesTheLibraryWithoutDestroy) {
    Install("loader_client", "Tessaly.dll");
    LoaderTest::ScopedEnvironment throwing("VEXA_TEST_CREATE_THROW", "AccessDeniedException:5:denied");
    ExpectConstructionFails<Vexa::AccessDeniedException>([] { Vexa::ClientApi api; }, "denied", 5);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create({})", "unload"}));
}

// ---- Vexa::ClientApi: forwarding ----

struct EventSeen {
    std::string source;
    std::string payload;
    int calls = 0;
};

void RecordEvent(const char* source, const char* payload, void* context) {
    auto* seen = static_cast<EventSeen*>(context);
    seen->source = source;
    seen->payload = payload;
    ++seen->calls;
}

TEST_F(LoaderClientApi, QueriesReachTheirOperationAndReturnItsText) {
    Install("loader_client", "Tessaly.dll");
    Vexa::ClientApi api;
    EXPECT_EQ(api.GetProperties("{\"depth\":1}"), "GetProperties({\"depth\":1})");
    EXPECT_EQ(api.GetValue("a.b"), "GetValue(a.b)");
    EXPECT_EQ(api.GetNode("a"), "GetNode(a)");
    EXPECT_EQ(api.GetSchema("a.c", Vexa::COMMAND), "GetSchema(a.c,3)");
    EXPECT_EQ(api.GetSchema("a.c", Vexa::INIT), "GetSchema(a.c,5)");
    EXPECT_EQ(api.ExecuteCommand("a.run", "{\"x\":2}"), "ExecuteCommand(a.run,{\"x\":2})");
    EXPECT_EQ(api.QueryNode("a.*"), "QueryNode(a.*)");
}

TEST_F(LoaderClientApi, EachSetValueReachesItsOwnOverload) {
    Install("loader_client", "Tessaly.dll");
    {
        Vexa::ClientApi api;
        api.SetValue("p", "chars");
        api.SetValue("p", std::string("text"));
        api.SetValue("p", 1.5);
        api.SetValue("p", -7LL);
        api.SetValue("p", true);
    }
    const Lines recorded = Recorded();
    EXPECT_EQ(Lines(recorded.begin() + 4, recorded.end() - 2),
              (Lines{"SetValue(p,char*:chars)", "SetValue(p,string:text)", "SetValue(p,double:1.5)",
                     "SetValue(p,long long:-7)", "SetValue(p,bool:true)"}));
}

TEST_F(LoaderClientApi, EventRegistrationCarriesCallbackAndContext) {
    Install("loader_client", "Tessaly.dll");
    {
        Vexa::ClientApi api;
        EventSeen seen;
        api.RegisterEvent("a.changed", &RecordEvent, &seen);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.source, "a.changed");
        EXPECT_EQ(seen.payload, "{\"registered\":true}");
        api.UnregisterEvent("a.changed", &RecordEvent);
    }
    const Lines recorded = Recorded();
    EXPECT_EQ(Lines(recorded.begin() + 4, recorded.end() - 2),
              (Lines{"RegisterEvent(a.changed)", "UnregisterEvent(a.changed,known)"}));
}

// ---- Vexa::ProviderCatalogApi ----

class LoaderProviderCatalogApi : public FrameworkTest {};

TEST_F(LoaderProviderCatalogApi, CreatesWithEmptyConfigurationAndForwards) {
    Install("loader_catalog", "Orbisk.dll");
    {
        Vexa::ProviderCatalogApi catalog;
        catalog.RegisterProvider("/providers/one.dll");
        catalog.RegisterProvider("/providers/two.dll");
        catalog.UnregisterProvider("/providers/one.dll");
        EXPECT_EQ(catalog.QueryProviders(), (Lines{"{\"path\":\"/providers/two.dll\"}"}));
    }
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "create()", "RegisterProvider(/providers/one.dll)",
                                 "RegisterProvider(/providers/two.dll)", "UnregisterProvider(/providers/one.dll)",
                                 "QueryProviders()", "destroy", "unload"}));
}

TEST_F(LoaderProviderCatalogApi, RefusedLibraryNamesOrbisk) {
    Install("loader_catalog_unsigned", "Orbisk.dll");
    ExpectConstructionFails<Vexa::FrameworkException>(
        [] { Vexa::ProviderCatalogApi catalog; }, "Failed to load library: Orbisk.dll : 42 : Invalid Digital Signature",
        100);
    EXPECT_FALSE(RecordExists());

    Install("loader_catalog_revision_4", "Orbisk.dll");
    ExpectConstructionFails<Vexa::FrameworkException>(
        [] { Vexa::ProviderCatalogApi catalog; }, "Failed to load library: Orbisk.dll : 14 : Incompatible Version",
        100);
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", "unload"}));
}

TEST_F(LoaderProviderCatalogApi, LooksForOrbiskOnly) {
    Install("loader_client", "Tessaly.dll");
    ExpectConstructionFails<Vexa::FrameworkException>(
        [] { Vexa::ProviderCatalogApi catalog; }, "Failed to load library: Orbisk.dll : 42 : Invalid Digital Signature",
        100);
}

}  // namespace
