// Tessaly's data tree, schemas, properties and commands, reached the way Corvane
// reaches them: through the wrapper, from the published, signed library. Every text
// result must be strict JSON, except what echo and raw hand back.
#include <cmath>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "loader/client_api_wrapper.h"
#include "loader/provider_catalog_api_wrapper.h"
#include "interfaces/exception_family.h"
#include "framework_fixture.h"

using nlohmann::json;

namespace {

// Sensors sampled only on request, so that values stay put.
constexpr const char* kQuietConfiguration = R"({"simulate_sensors": false})";

class FrameworkClient : public ::testing::Test {
protected:
    FrameworkTest::PublishedFramework framework;
    Vexa::ClientApi client{kQuietConfiguration};

    json Value(const std::string& path) { return json::parse(client.GetValue(path)); }
    json Command(const std::string& path, const json& parameters) {
        return json::parse(client.ExecuteCommand(path, parameters.dump()));
    }
};

TEST_F(FrameworkClient, ValuesOfTheFourTypesAreJsonLiterals) {
    EXPECT_EQ(client.GetValue("settings.label"), "\"Vexa sample\"");
    EXPECT_EQ(Value("settings.threshold"), 23.0);
    EXPECT_TRUE(Value("settings.threshold").is_number_float());
    EXPECT_EQ(client.GetValue("settings.interval_ms"), "100");
    EXPECT_EQ(client.GetValue("settings.alarm_enabled"), "true");
    EXPECT_EQ(client.GetValue("sensors.ticks"), "0");
}

TEST_F(FrameworkClient, AFolderValueHoldsItsChildrensValues) {
    json settings = Value("settings");
    EXPECT_EQ(settings, (json{{"label", "Vexa sample"}, {"threshold", 23.0}, {"interval_ms", 100},
                              {"alarm_enabled", true}}));
    json all = Value("");
    EXPECT_EQ(all.at("settings"), settings);
    EXPECT_TRUE(all.at("sensors").contains("temperature"));
    EXPECT_EQ(all.at("providers"), json::object());
}

TEST_F(FrameworkClient, SetValueStoresEachTypeAndKeepsTextExactly) {
    client.SetValue("settings.label", std::string("Grüße \"quoted\" \\ and\nnewline"));
    EXPECT_EQ(Value("settings.label"), "Grüße \"quoted\" \\ and\nnewline");
    client.SetValue("settings.label", "from a character pointer");
    EXPECT_EQ(Value("settings.label"), "from a character pointer");
    client.SetValue("settings.threshold", 19.25);
    EXPECT_EQ(Value("settings.threshold"), 19.25);
    client.SetValue("settings.threshold", 20LL);  // an integer is a fine double
    EXPECT_EQ(Value("settings.threshold"), 20.0);
    client.SetValue("settings.interval_ms", 250LL);
    EXPECT_EQ(Value("settings.interval_ms"), 250);
    client.SetValue("settings.alarm_enabled", false);
    EXPECT_EQ(Value("settings.alarm_enabled"), false);
}

TEST_F(FrameworkClient, RefusesWritesThatDoNotFit) {
    EXPECT_THROW(client.SetValue("settings.nothing", 1LL), Vexa::ProviderNotFoundException);
    EXPECT_THROW(client.SetValue("sensors.temperature", 30.0), Vexa::AccessDeniedException);
    EXPECT_THROW(client.SetValue("settings", true), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.reset", true), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.label", 5LL), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.interval_ms", 2.5), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.interval_ms", true), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.alarm_enabled", std::string("true")),
                 Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.interval_ms", 9LL), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.interval_ms", 60001LL), Vexa::InvalidArgumentException);
    // Values that JSON cannot carry would make every later read fail.
    EXPECT_THROW(client.SetValue("settings.threshold", std::nan("")), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.threshold", std::numeric_limits<double>::infinity()),
                 Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.label", std::string("\xff\xfe")), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.SetValue("settings.label", static_cast<const char*>(nullptr)),
                 Vexa::InvalidArgumentException);
    EXPECT_EQ(Value("settings"), (json{{"label", "Vexa sample"}, {"threshold", 23.0}, {"interval_ms", 100},
                                       {"alarm_enabled", true}}));
}

TEST_F(FrameworkClient, UnknownPathsAreNotFound) {
    for (const char* path : {"nowhere", "settings.", ".settings", "settings..label", "sensors.temperature.x"}) {
        EXPECT_THROW(client.GetValue(path), Vexa::ProviderNotFoundException) << path;
        EXPECT_THROW(client.GetNode(path), Vexa::ProviderNotFoundException) << path;
        EXPECT_THROW(client.QueryNode(path), Vexa::ProviderNotFoundException) << path;
        EXPECT_THROW(client.GetSchema(path, Vexa::DATA), Vexa::ProviderNotFoundException) << path;
        EXPECT_THROW(client.ExecuteCommand(path, "{}"), Vexa::ProviderNotFoundException) << path;
    }
}

TEST_F(FrameworkClient, NodesDescribeThemselvesAndListTheirChildren) {
    EXPECT_EQ(json::parse(client.GetNode("settings.label")),
              (json{{"path", "settings.label"}, {"name", "label"}, {"kind", "value"}, {"type", "string"},
                    {"writable", true}, {"description", "Free text label"}}));
    json sensor = json::parse(client.GetNode("sensors.ticks"));
    EXPECT_EQ(sensor.at("type"), "integer");
    EXPECT_EQ(sensor.at("writable"), false);
    EXPECT_EQ(json::parse(client.GetNode("diagnostics.echo")).at("kind"), "command");

    std::vector<std::string> rootChildren;
    for (const json& child : json::parse(client.QueryNode(""))) rootChildren.push_back(child.at("path"));
    EXPECT_EQ(rootChildren, (std::vector<std::string>{"sensors", "settings", "diagnostics", "providers"}));
    std::vector<std::string> settings;
    for (const json& child : json::parse(client.QueryNode("settings"))) settings.push_back(child.at("name"));
    EXPECT_EQ(settings, (std::vector<std::string>{"label", "threshold", "interval_ms", "alarm_enabled", "reset"}));
    EXPECT_EQ(json::parse(client.QueryNode("settings.label")), json::array());
}

TEST_F(FrameworkClient, SchemasOfEveryKindWhereTheyApply) {
    EXPECT_EQ(json::parse(client.GetSchema("settings.threshold", Vexa::DATA)).at("type"), "number");
    json interval = json::parse(client.GetSchema("settings.interval_ms", Vexa::DATA));
    EXPECT_EQ(interval.at("type"), "integer");
    EXPECT_EQ(interval.at("minimum"), 10);
    EXPECT_EQ(json::parse(client.GetSchema("sensors.alarm", Vexa::DATA)).at("readOnly"), true);
    json settings = json::parse(client.GetSchema("settings", Vexa::DATA));
    EXPECT_EQ(settings.at("properties").at("label").at("type"), "string");
    EXPECT_FALSE(settings.at("properties").contains("reset"));

    json event = json::parse(client.GetSchema("settings.label", Vexa::EVENT));
    EXPECT_EQ(event.at("properties").at("label").at("type"), "string");
    EXPECT_EQ(json::parse(client.GetSchema("sensors", Vexa::EVENT)).at("properties").size(), 5u);

    json emit = json::parse(client.GetSchema("diagnostics.emit", Vexa::COMMAND));
    EXPECT_EQ(emit.at("required"), (json{"source", "payload"}));
    EXPECT_EQ(json::parse(client.GetSchema("diagnostics.sleep", Vexa::RESULT)).at("properties").at("slept_ms").at("type"),
              "integer");
    EXPECT_TRUE(json::parse(client.GetSchema("", Vexa::INIT)).at("properties").contains("simulate_sensors"));
}

TEST_F(FrameworkClient, SchemaKindsThatDoNotApplyAreInvalidArguments) {
    EXPECT_THROW(client.GetSchema("diagnostics.echo", Vexa::DATA), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.GetSchema("diagnostics", Vexa::EVENT), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.GetSchema("settings.label", Vexa::COMMAND), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.GetSchema("settings", Vexa::RESULT), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.GetSchema("settings", Vexa::INIT), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.GetSchema("settings", static_cast<Vexa::SchemaType>(0)), Vexa::InvalidArgumentException);
    EXPECT_THROW(client.GetSchema("settings", static_cast<Vexa::SchemaType>(6)), Vexa::InvalidArgumentException);
}

TEST_F(FrameworkClient, PropertiesCarryTheConfigurationVerbatim) {
    json properties = json::parse(client.GetProperties(""));
    EXPECT_EQ(properties.at("configuration"), kQuietConfiguration);
    EXPECT_EQ(properties.at("revision"), 3);
    EXPECT_EQ(properties.at("install_dir"), framework.InstallDir().string());
    EXPECT_EQ(json::parse(client.GetProperties("{\"any\": [1]}")), properties);
    EXPECT_THROW(client.GetProperties("{not json"), Vexa::JsonException);

    for (const char* configuration : {"{}", "", "null", "\"just a string\"", " { \"b\" : 1 , \"a\" : 2 } "}) {
        Vexa::ClientApi other{configuration};
        EXPECT_EQ(json::parse(other.GetProperties("")).at("configuration"), configuration);
    }
}

TEST_F(FrameworkClient, RefusesConfigurationsThatAreNotJsonOrDoNotFit) {
    EXPECT_THROW(Vexa::ClientApi{"{oops"}, Vexa::JsonException);
    EXPECT_THROW(Vexa::ClientApi{R"({"interval_ms": 5})"}, Vexa::InvalidArgumentException);
    EXPECT_THROW(Vexa::ClientApi{R"({"simulate_sensors": "no"})"}, Vexa::InvalidArgumentException);
    Vexa::ClientApi configured{R"({"interval_ms": 40, "simulate_sensors": false})"};
    EXPECT_EQ(configured.GetValue("settings.interval_ms"), "40");
}

TEST_F(FrameworkClient, EchoReturnsItsParameterTextByteForByte) {
    for (const std::string& text : {std::string(""), std::string("not json at all"),
                                    std::string(" {\"b\":1,  \"a\":2} "), std::string("\xff\x01 raw bytes"),
                                    std::string("with\0nul", 8)})
        EXPECT_EQ(client.ExecuteCommand("diagnostics.echo", text), text);
}

TEST_F(FrameworkClient, CommandsCheckTheirParameters) {
    EXPECT_EQ(Command("diagnostics.sleep", {{"ms", 1}}), (json{{"slept_ms", 1}}));
    EXPECT_THROW(client.ExecuteCommand("diagnostics.sleep", "{\"ms\":"), Vexa::JsonException);
    EXPECT_THROW(Command("diagnostics.sleep", {{"ms", "1"}}), Vexa::InvalidArgumentException);
    EXPECT_THROW(Command("diagnostics.sleep", {{"ms", -1}}), Vexa::InvalidArgumentException);
    EXPECT_THROW(Command("diagnostics.sleep", {{"ms", 600001}}), Vexa::LimitExceededException);
    EXPECT_THROW(Command("diagnostics.sleep", json::object()), Vexa::InvalidArgumentException);
    EXPECT_THROW(Command("diagnostics.emit", {{"source", "s"}}), Vexa::InvalidArgumentException);
    EXPECT_THROW(Command("diagnostics.emit", {{"source", ""}, {"payload", "x"}}), Vexa::InvalidArgumentException);
    EXPECT_THROW(Command("diagnostics.emit", {{"source", "s"}, {"payload", std::string("a\0b", 3)}}),
                 Vexa::InvalidArgumentException);
    EXPECT_THROW(Command("diagnostics.emit", {{"source", "s"}, {"payload", "x"}, {"count", 1000001}}),
                 Vexa::LimitExceededException);
    EXPECT_THROW(Command("settings.label", nullptr), Vexa::InvalidArgumentException);
}

TEST_F(FrameworkClient, RawReturnsItsTextUnparsed) {
    EXPECT_EQ(client.ExecuteCommand("diagnostics.raw", R"({"text": ""})"), "");
    EXPECT_EQ(client.ExecuteCommand("diagnostics.raw", R"({"text": "18446744073709551615"})"),
              "18446744073709551615");
    EXPECT_EQ(client.ExecuteCommand("diagnostics.raw", R"({"text": "{\"b\":1,\"a\":2}"})"), R"({"b":1,"a":2})");
}

TEST_F(FrameworkClient, FailThrowsTheNamedClassWithItsMessageAndCode) {
    try {
        Command("diagnostics.fail", {{"exception", "TimeoutException"}, {"message", "too slow"}, {"code", -7}});
        FAIL() << "diagnostics.fail returned";
    } catch (const Vexa::TimeoutException& error) {
        EXPECT_STREQ(error.what(), "too slow");
        EXPECT_EQ(error.code, -7);
    }
    EXPECT_THROW(Command("diagnostics.fail", {{"exception", "ProviderException"}}), Vexa::ProviderException);
    EXPECT_THROW(Command("diagnostics.fail", {{"exception", "runtime_error"}}), std::runtime_error);
    EXPECT_THROW(Command("diagnostics.fail", {{"exception", "Nonsense"}}), Vexa::InvalidArgumentException);
}

TEST_F(FrameworkClient, DemoCommandsSampleAndReset) {
    EXPECT_EQ(Command("sensors.sample", nullptr), (json{{"ticks", 1}}));
    EXPECT_EQ(client.ExecuteCommand("sensors.sample", ""), R"({"ticks":2})");
    EXPECT_EQ(Value("sensors.ticks"), 2);
    EXPECT_NE(Value("sensors.temperature"), 21.5);

    client.SetValue("settings.label", std::string("changed"));
    client.SetValue("settings.threshold", 1.0);
    EXPECT_EQ(Command("settings.reset", json::object()), (json{{"changed", {"label", "threshold"}}}));
    EXPECT_EQ(Value("settings.label"), "Vexa sample");
}

TEST_F(FrameworkClient, AlarmFollowsThresholdAndSwitch) {
    client.SetValue("settings.threshold", -100.0);
    Command("sensors.sample", nullptr);
    EXPECT_EQ(Value("sensors.alarm"), true);
    EXPECT_EQ(Value("sensors.status"), "alarm");
    client.SetValue("settings.alarm_enabled", false);
    Command("sensors.sample", nullptr);
    EXPECT_EQ(Value("sensors.alarm"), false);
    EXPECT_EQ(Value("sensors.status"), "ok");
}

TEST_F(FrameworkClient, ProvidersFolderShowsTheCatalog) {
    EXPECT_EQ(json::parse(client.QueryNode("providers")), json::array());
    std::filesystem::path provider = framework.MakeProvider("thermo.dll");
    {
        Vexa::ProviderCatalogApi catalog;
        catalog.RegisterProvider(provider);
    }
    EXPECT_EQ(Value("providers"), (json{{"0", {{"name", "thermo"}, {"path", provider.string()}}}}));
    EXPECT_EQ(Value("providers.0.path"), provider.string());
    EXPECT_EQ(json::parse(client.QueryNode("providers")).at(0).at("path"), "providers.0");
    EXPECT_THROW(client.SetValue("providers.0.name", std::string("x")), Vexa::AccessDeniedException);
    {
        Vexa::ProviderCatalogApi catalog;
        catalog.UnregisterProvider(provider);
    }
    EXPECT_THROW(client.GetValue("providers.0"), Vexa::ProviderNotFoundException);
}

TEST_F(FrameworkClient, ADamagedCatalogFailsOnlyWhatShowsIt) {
    std::ofstream(framework.CatalogFile()) << "garbage";
    EXPECT_THROW(client.GetValue("providers"), Vexa::FrameworkException);
    EXPECT_THROW(client.GetValue(""), Vexa::FrameworkException);
    EXPECT_NO_THROW(client.QueryNode(""));
    EXPECT_EQ(Value("settings.label"), "Vexa sample");
}

// Settings are the machine's: a later instance sees what an earlier one stored, a
// configured interval counts only where none is stored, and a reset is everyone's.
TEST_F(FrameworkClient, SettingsOutliveTheInstanceThatWroteThem) {
    client.SetValue("settings.label", std::string("kept"));
    client.SetValue("settings.threshold", 20LL);
    {
        Vexa::ClientApi later{R"({"simulate_sensors": false, "interval_ms": 50})"};
        EXPECT_EQ(json::parse(later.GetValue("settings")),
                  (json{{"label", "kept"}, {"threshold", 20.0}, {"interval_ms", 50}, {"alarm_enabled", true}}));
        later.SetValue("settings.interval_ms", 70LL);
    }
    EXPECT_EQ(Value("settings.interval_ms"), 70);
    Vexa::ClientApi third{kQuietConfiguration};
    EXPECT_EQ(json::parse(third.ExecuteCommand("settings.reset", "")),
              (json{{"changed", {"label", "threshold", "interval_ms"}}}));
    EXPECT_EQ(Value("settings"), (json{{"label", "Vexa sample"}, {"threshold", 23.0}, {"interval_ms", 100},
                                       {"alarm_enabled", true}}));
}

// Each instance writes its own setting again and again while the others write theirs:
// the writers' lock serialises the read-modify-write of the file, so every setting
// ends as its writer left it.
TEST_F(FrameworkClient, ConcurrentWritersLoseNoSetting) {
    constexpr int kRounds = 60;
    auto writeLabel = [](Vexa::ClientApi& c, int i) { c.SetValue("settings.label", "label " + std::to_string(i)); };
    auto writeThreshold = [](Vexa::ClientApi& c, int i) { c.SetValue("settings.threshold", 0.5 + i); };
    auto writeInterval = [](Vexa::ClientApi& c, int i) { c.SetValue("settings.interval_ms", 10LL + i); };
    auto writeAlarm = [](Vexa::ClientApi& c, int i) { c.SetValue("settings.alarm_enabled", i % 2 == 0); };
    std::vector<std::thread> writers;
    for (auto write : {+writeLabel, +writeThreshold, +writeInterval, +writeAlarm}) {
        writers.emplace_back([write] {
            Vexa::ClientApi own{kQuietConfiguration};
            for (int i = 0; i <= kRounds; ++i) write(own, i);
        });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(Value("settings"), (json{{"label", "label 60"}, {"threshold", 60.5}, {"interval_ms", 70},
                                       {"alarm_enabled", true}}));
}

// A settings file that cannot be used is reported by whatever reads or writes the
// settings, naming the file, and never written over; the rest of the tree and new
// instances work, and removing the file mends it.
TEST_F(FrameworkClient, ADamagedSettingsFileFailsOnlyWhatShowsItAndIsNeverWrittenOver) {
    const std::filesystem::path file = framework.InstallDir() / "client-settings.json";
    for (const std::string damaged : {"garbage", R"({"format": 2, "settings": {}})", R"({"format": 1})",
                                      R"({"format": 1, "settings": {"label": 5}})",
                                      R"({"format": 1, "settings": {"interval_ms": 5}})"}) {
        SCOPED_TRACE(damaged);
        std::ofstream(file) << damaged;
        Vexa::ClientApi fresh{kQuietConfiguration};
        for (const char* path : {"settings.label", "settings", ""}) {
            try {
                fresh.GetValue(path);
                ADD_FAILURE() << "GetValue(\"" << path << "\") read a damaged settings file";
            } catch (const Vexa::FrameworkException& error) {
                EXPECT_NE(std::string(error.what()).find(file.string() + " is damaged"), std::string::npos)
                    << error.what();
            }
        }
        EXPECT_THROW(fresh.SetValue("settings.label", std::string("x")), Vexa::FrameworkException);
        EXPECT_THROW(fresh.ExecuteCommand("settings.reset", ""), Vexa::FrameworkException);
        EXPECT_EQ(json::parse(fresh.ExecuteCommand("sensors.sample", "")), (json{{"ticks", 1}}));
        std::ifstream kept(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), damaged);
    }
    std::filesystem::remove(file);
    EXPECT_EQ(Value("settings.label"), "Vexa sample");
}

}  // namespace
