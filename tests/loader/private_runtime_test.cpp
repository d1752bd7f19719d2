// A library with a private copy of the C++ runtime (as every module of the Windows
// build has, linked statically) throws from each of its exports. Whatever it throws,
// the caller of the wrapper receives an object of this module with class, text and
// code intact, after the library has left the process; a throwing destroy export
// leaves the wrapper's destruction silent. An object that still shared storage with
// the library (the text of an empty message lives in the library's runtime) or the
// library's own exception object would crash the test process here.
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <typeinfo>
#include <vector>

#include <gtest/gtest.h>

#include "loader/client_api_wrapper.h"
#include "loader/exceptions.h"
#include "loader/provider_catalog_api_wrapper.h"
#include "loader_support.h"

using Lines = std::vector<std::string>;
using LoaderTest::FrameworkTest;
using LoaderTest::ScopedEnvironment;

namespace {

// The wrapper under test, with the library it binds and the text its create export gets.
struct Wrapper {
    const char* name;
    const char* target;
    const char* fileName;
    const char* created;  // the create export's record line
    std::shared_ptr<void> (*construct)();
};

const Wrapper kWrappers[] = {
    {"ClientApi", "loader_client_private_runtime", "Tessaly.dll", "create({})",
     [] { return std::shared_ptr<void>(std::make_shared<Vexa::ClientApi>()); }},
    {"ProviderCatalogApi", "loader_catalog_private_runtime", "Orbisk.dll", "create()",
     [] { return std::shared_ptr<void>(std::make_shared<Vexa::ProviderCatalogApi>()); }},
};

// The export that throws: the environment variable of exports.cpp that makes it throw,
// and the lines the library records up to and including the throw.
struct ThrowingExport {
    const char* name;
    const char* variable;
    int recordedCalls;  // of "build type", "revision", create: how many ran
};

const ThrowingExport kConstructionExports[] = {
    {"BuildType", "VEXA_TEST_BUILD_TYPE_THROW", 1},
    {"Revision", "VEXA_TEST_REVISION_THROW", 2},
    {"Create", "VEXA_TEST_CREATE_THROW", 3},
};

// What the library throws (described for throw_described.h) and what arrives.
struct Thrown {
    const char* name;
    const char* described;
    const std::type_info& arrives;
    const char* text;
    int code;  // checked for members of the family only
};

const Thrown kThrown[] = {
    {"VexaEmpty", "VexaException:7:", typeid(Vexa::VexaException), "", 7},
    {"ProviderEmpty", "ProviderException:-3:", typeid(Vexa::ProviderException), "", -3},
    {"AccessDeniedEmpty", "AccessDeniedException:403:", typeid(Vexa::AccessDeniedException), "", 403},
    {"JsonEmpty", "JsonException:601:", typeid(Vexa::JsonException), "", 601},
    {"ProviderNotFound", "ProviderNotFoundException:404:no such provider",
     typeid(Vexa::ProviderNotFoundException), "no such provider", 404},
    {"RuntimeErrorEmpty", "runtime_error:", typeid(std::runtime_error), "", 0},
    {"LogicErrorEmpty", "logic_error:", typeid(std::logic_error), "", 0},
    {"OutOfRange", "out_of_range:index 9", typeid(std::logic_error), "index 9", 0},
    {"Exception", "exception", typeid(std::exception), "std::exception", 0},
    {"Int", "int", typeid(std::runtime_error), "Unknown Exception", 0},
};

// gtest prints parameters it cannot name as bytes; these name them.
void PrintTo(const Wrapper& wrapper, std::ostream* out) { *out << wrapper.name; }
void PrintTo(const ThrowingExport& thrower, std::ostream* out) { *out << thrower.name; }
void PrintTo(const Thrown& thrown, std::ostream* out) { *out << thrown.described; }

Lines ExpectedRecord(const Wrapper& wrapper, int calls) {
    const Lines all = {"build type", "revision", wrapper.created};
    Lines lines = {"load"};
    lines.insert(lines.end(), all.begin(), all.begin() + calls);
    lines.push_back("unload");
    return lines;
}

// ---- construction: build type, revision and create exports that throw ----

class LoaderPrivateRuntimeConstruction
    : public FrameworkTest,
      public ::testing::WithParamInterface<std::tuple<Wrapper, ThrowingExport, Thrown>> {};

TEST_P(LoaderPrivateRuntimeConstruction, CallerGetsItsOwnTranslatedExceptionAndTheLibraryIsReleased) {
    const auto& [wrapper, thrower, thrown] = GetParam();
    Install(wrapper.target, wrapper.fileName);
    ScopedEnvironment throwing(thrower.variable, thrown.described);
    try {
        wrapper.construct();
        ADD_FAILURE() << "constructed";
    } catch (const std::exception& e) {
        // The library has left the process before anything of the object is read.
        EXPECT_EQ(Recorded(), ExpectedRecord(wrapper, thrower.recordedCalls));
        if (thrown.arrives == typeid(std::exception)) {
            // Reduced to std::exception (an object of this module that keeps the text),
            // and to nothing more specific.
            EXPECT_EQ(dynamic_cast<const std::logic_error*>(&e), nullptr);
            EXPECT_EQ(dynamic_cast<const std::runtime_error*>(&e), nullptr);
        } else {
            EXPECT_EQ(typeid(e), thrown.arrives) << typeid(e).name();
        }
        EXPECT_EQ(std::string(e.what()), thrown.text);
        if (const auto* family = dynamic_cast<const Vexa::VexaException*>(&e)) {
            EXPECT_EQ(family->code, thrown.code);
            // The copy keeps being an independent object of this module.
            const Vexa::VexaException copy = *family;
            EXPECT_EQ(std::string(copy.what()), thrown.text);
        }
    }
    // The translated object is gone by now; the process is still here.
    EXPECT_EQ(Recorded().back(), "unload");
}

INSTANTIATE_TEST_SUITE_P(
    Exports, LoaderPrivateRuntimeConstruction,
    ::testing::Combine(::testing::ValuesIn(kWrappers), ::testing::ValuesIn(kConstructionExports),
                       ::testing::ValuesIn(kThrown)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name + "_" +
               std::get<2>(info.param).name;
    });

// ---- destruction: a destroy export that throws ----

class LoaderPrivateRuntimeDestruction : public FrameworkTest,
                                       public ::testing::WithParamInterface<std::tuple<Wrapper, Thrown>> {};

TEST_P(LoaderPrivateRuntimeDestruction, DestructionStaysSilentAndReleasesTheLibrary) {
    const auto& [wrapper, thrown] = GetParam();
    Install(wrapper.target, wrapper.fileName);
    ScopedEnvironment throwing("VEXA_TEST_DESTROY_THROW", thrown.described);
    std::shared_ptr<void> api = wrapper.construct();
    api.reset();  // a throw out of the destructor would end the process here
    EXPECT_EQ(Recorded(), (Lines{"load", "build type", "revision", wrapper.created, "destroy", "unload"}));
}

INSTANTIATE_TEST_SUITE_P(Exports, LoaderPrivateRuntimeDestruction,
                         ::testing::Combine(::testing::ValuesIn(kWrappers), ::testing::ValuesIn(kThrown)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

}  // namespace
