// What crosses the exception boundary from a real library: the library throws from its
// create export or from an operation, and the wrapper's caller receives an object of
// this module with the class, text and code the boundary promises.
#include <functional>
#include <string>
#include <system_error>
#include <typeinfo>

#include <gtest/gtest.h>

#include "loader/client_api_wrapper.h"
#include "loader/exceptions.h"
#include "loader/provider_catalog_api_wrapper.h"
#include "loader_support.h"

using LoaderTest::FrameworkTest;
using LoaderTest::ScopedEnvironment;

namespace {

struct Translation {
    const char* name;
    std::string thrown;                // described for the test library
    const std::type_info& arrives;     // the exact class the caller catches
    std::string text;
    int code;                          // checked for members of the family only
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Translation& translation, std::ostream* out) { *out << translation.thrown; }

// The caught object's text and code; code 0 outside the family.
void ExpectTranslated(const std::exception& e, const Translation& expected) {
    EXPECT_EQ(typeid(e), expected.arrives) << typeid(e).name();
    EXPECT_EQ(e.what(), expected.text);
    if (const auto* family = dynamic_cast<const Vexa::VexaException*>(&e)) {
        EXPECT_EQ(family->code, expected.code);
    }
}

const Translation kTranslations[] = {
    {"VexaException", "VexaException:7:plain", typeid(Vexa::VexaException), "plain", 7},
    {"FrameworkException", "FrameworkException:100:framework", typeid(Vexa::FrameworkException), "framework", 100},
    {"ProviderException", "ProviderException:-3:provider", typeid(Vexa::ProviderException), "provider", -3},
    {"LimitExceededException", "LimitExceededException:429:limit", typeid(Vexa::LimitExceededException), "limit",
     429},
    {"TimeoutException", "TimeoutException:-2147483648:late", typeid(Vexa::TimeoutException), "late",
     -2147483647 - 1},
    {"InvalidArgumentException", "InvalidArgumentException:400:bad", typeid(Vexa::InvalidArgumentException), "bad",
     400},
    {"AccessDeniedException", "AccessDeniedException:403:denied", typeid(Vexa::AccessDeniedException), "denied",
     403},
    {"JsonException", "JsonException:601:own json", typeid(Vexa::JsonException), "own json", 601},
    {"ProviderNotFoundException", "ProviderNotFoundException:404:no such provider",
     typeid(Vexa::ProviderNotFoundException), "no such provider", 404},
    {"LogicError", "logic_error:logic", typeid(std::logic_error), "logic", 0},
    {"OutOfRange", "out_of_range:index 9", typeid(std::logic_error), "index 9", 0},
    {"RuntimeError", "runtime_error:runtime", typeid(std::runtime_error), "runtime", 0},
    {"SystemError", "system_error:disk", typeid(std::runtime_error),
     std::system_error(std::make_error_code(std::errc::io_error), "disk").what(), 0},
    {"Int", "int", typeid(std::runtime_error), "Unknown Exception", 0},
};

class LoaderExceptionBoundary : public FrameworkTest, public ::testing::WithParamInterface<Translation> {};

TEST_P(LoaderExceptionBoundary, FromCreateExport) {
    Install("loader_client", "Tessaly.dll");
    ScopedEnvironment throwing("VEXA_TEST_CREATE_THROW", GetParam().thrown);
    try {
        Vexa::ClientApi api;
        ADD_FAILURE() << "constructed";
    } catch (const std::exception& e) {
        // The library has left the process: what we hold must be our own object.
        EXPECT_EQ(Recorded().back(), "unload");
        ExpectTranslated(e, GetParam());
    }
}

TEST_P(LoaderExceptionBoundary, FromEveryClientOperation) {
    Install("loader_client", "Tessaly.dll");
    Vexa::ClientApi api;
    ScopedEnvironment throwing("VEXA_TEST_OPERATION_THROW", GetParam().thrown);
    const std::function<void()> operations[] = {
        [&] { api.GetProperties("{}"); },
        [&] { api.GetValue("p"); },
        [&] { api.GetNode("p"); },
        [&] { api.GetSchema("p", Vexa::DATA); },
        [&] { api.ExecuteCommand("p", "{}"); },
        [&] { api.QueryNode("p"); },
        [&] { api.RegisterEvent("p", [](const char*, const char*, void*) {}, nullptr); },
        [&] { api.UnregisterEvent("p", [](const char*, const char*, void*) {}); },
        [&] { api.SetValue("p", "chars"); },
        [&] { api.SetValue("p", std::string("text")); },
        [&] { api.SetValue("p", 1.0); },
        [&] { api.SetValue("p", 1LL); },
        [&] { api.SetValue("p", false); },
    };
    for (const auto& operation : operations) {
        try {
            operation();
            ADD_FAILURE() << "returned";
        } catch (const std::exception& e) {
            ExpectTranslated(e, GetParam());
        }
    }
}

TEST_P(LoaderExceptionBoundary, FromEveryCatalogOperation) {
    Install("loader_catalog", "Orbisk.dll");
    Vexa::ProviderCatalogApi catalog;
    ScopedEnvironment throwing("VEXA_TEST_OPERATION_THROW", GetParam().thrown);
    const std::function<void()> operations[] = {
        [&] { catalog.RegisterProvider("/p.dll"); },
        [&] { catalog.UnregisterProvider("/p.dll"); },
        [&] { catalog.QueryProviders(); },
    };
    for (const auto& operation : operations) {
        try {
            operation();
            ADD_FAILURE() << "returned";
        } catch (const std::exception& e) {
            ExpectTranslated(e, GetParam());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Thrown, LoaderExceptionBoundary, ::testing::ValuesIn(kTranslations),
                         [](const ::testing::TestParamInfo<Translation>& info) { return std::string(info.param.name); });

class LoaderExceptionBoundaryText : public FrameworkTest {
protected:
    // What the caller catches when the create export throws as described.
    template <class Check>
    void FromCreate(const std::string& thrown, Check check) {
        Install("loader_client", "Tessaly.dll");
        ScopedEnvironment throwing("VEXA_TEST_CREATE_THROW", thrown);
        try {
            Vexa::ClientApi api;
            ADD_FAILURE() << "constructed";
        } catch (const std::exception& e) {
            check(e);
        }
    }
};

TEST_F(LoaderExceptionBoundaryText, JsonLibraryErrorBecomesJsonException600WithTheLibraryText) {
    FromCreate("json", [](const std::exception& e) {
        EXPECT_EQ(typeid(e), typeid(Vexa::JsonException));
        EXPECT_EQ(std::string(e.what()).rfind("[json.exception.parse_error.", 0), 0u) << e.what();
        EXPECT_EQ(dynamic_cast<const Vexa::JsonException&>(e).code, 600);
    });
}

TEST_F(LoaderExceptionBoundaryText, BadAllocArrivesAsPlainStandardExceptionKeepingItsText) {
    FromCreate("bad_alloc", [](const std::exception& e) {
        EXPECT_STREQ(e.what(), "std::bad_alloc");
        EXPECT_EQ(dynamic_cast<const std::bad_alloc*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const std::runtime_error*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const std::logic_error*>(&e), nullptr);
    });
    FromCreate("exception", [](const std::exception& e) { EXPECT_STREQ(e.what(), "std::exception"); });
}

TEST_F(LoaderExceptionBoundaryText, ProviderExceptionCaughtAsVexaExceptionKeepsItsOwnMessageAndCode) {
    FromCreate("ProviderException:-42:provider failed", [](const std::exception& e) {
        const auto& family = dynamic_cast<const Vexa::VexaException&>(e);
        EXPECT_STREQ(family.what(), "provider failed");
        EXPECT_EQ(family.code, -42);
        EXPECT_NE(dynamic_cast<const Vexa::ProviderException*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const Vexa::FrameworkException*>(&e), nullptr);
    });
}

TEST_F(LoaderExceptionBoundaryText, ProviderNotFoundIsAFrameworkException) {
    FromCreate("ProviderNotFoundException:404:gone", [](const std::exception& e) {
        EXPECT_NE(dynamic_cast<const Vexa::FrameworkException*>(&e), nullptr);
        EXPECT_EQ(dynamic_cast<const Vexa::ProviderException*>(&e), nullptr);
    });
}

}  // namespace
