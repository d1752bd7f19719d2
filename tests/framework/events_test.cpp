// Tessaly's events: who is called, on which thread, until when; and that no operation
// waits for a callback, which would deadlock a caller that the callback waits for.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "loader/client_api_wrapper.h"
#include "interfaces/exception_family.h"
#include "event_log.h"
#include "framework_fixture.h"

using FrameworkTest::EventLog;
using FrameworkTest::Subscriber;
using nlohmann::json;

namespace {

std::string EmitParameters(const std::string& source, const std::string& payload, int count) {
    return json{{"source", source}, {"payload", payload}, {"count", count}}.dump();
}

class FrameworkEvents : public ::testing::Test {
protected:
    FrameworkTest::PublishedFramework framework;
    std::unique_ptr<Vexa::ClientApi> client =
        std::make_unique<Vexa::ClientApi>(R"({"simulate_sensors": false})");
    EventLog log;
    Subscriber first{&log};
    Subscriber second{&log};

    int Emit(const std::string& source, const std::string& payload, int count = 1) {
        return json::parse(client->ExecuteCommand("diagnostics.emit", EmitParameters(source, payload, count)))
            .at("deliveries");
    }
    // Delivery is in queue order: once an emit has returned, every notification queued
    // before it has been delivered.
    void Flush() { Emit("flush", "{}", 0); }
};

TEST_F(FrameworkEvents, EmitDeliversEachNotificationOnceToEachDistinctCallbackAndContext) {
    client->RegisterEvent("test.a", EventLog::Record, &first);
    client->RegisterEvent("test.b", EventLog::Record, &first);   // same pair, second path
    client->RegisterEvent("test.a", EventLog::Record, &first);   // same registration again
    client->RegisterEvent("test.a", EventLog::Record, &second);  // same callback, other context
    client->RegisterEvent("test.c", EventLog::RecordToo, &first);
    client->RegisterEvent("tests.a", EventLog::Record, &second);  // other source
    client->RegisterEvent("test", EventLog::Record, &second);     // no dot

    EXPECT_EQ(Emit("test", "{\"a\": 1}", 3), 9);
    EXPECT_EQ(log.CountFor(first), 6u);
    EXPECT_EQ(log.CountFor(second), 3u);
    for (const FrameworkTest::Notification& n : log.Snapshot()) {
        EXPECT_EQ(n.source, "test");
        EXPECT_EQ(n.payload, "{\"a\": 1}");
        EXPECT_NE(n.thread, std::this_thread::get_id());
    }
}

TEST_F(FrameworkEvents, EmitDeliversPayloadTextExactlyEvenWhenItIsNotJson) {
    client->RegisterEvent("raw.x", EventLog::Record, &first);
    for (const std::string& payload :
         {std::string("not json {"), std::string(""), std::string("{\"a\":"), std::string("Grüße ✓")}) {
        EXPECT_EQ(Emit("raw", payload), 1);
        EXPECT_EQ(log.Snapshot().back().payload, payload);
    }
    EXPECT_EQ(Emit("nobody", "x", 5), 0);
}

TEST_F(FrameworkEvents, ValueChangesNotifyTheRegistrationsOfThatPath) {
    client->RegisterEvent("settings.label", EventLog::Record, &first);
    client->RegisterEvent("settings.threshold", EventLog::Record, &second);
    client->SetValue("settings.label", std::string("one"));
    client->SetValue("settings.label", std::string("one"));  // unchanged: no event
    client->SetValue("settings.interval_ms", 500LL);          // nobody listens
    client->SetValue("settings.label", std::string("two"));
    Flush();
    std::vector<FrameworkTest::Notification> seen = log.Snapshot();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].source, "settings");
    EXPECT_EQ(json::parse(seen[0].payload), (json{{"label", "one"}}));
    EXPECT_EQ(json::parse(seen[1].payload), (json{{"label", "two"}}));
    EXPECT_EQ(seen[1].context, &first);
    EXPECT_NE(seen[1].thread, std::this_thread::get_id());

    client->ExecuteCommand("settings.reset", "");
    Flush();
    EXPECT_EQ(log.CountFor(second), 0u);  // the threshold was at its default already
    EXPECT_EQ(json::parse(log.Snapshot().back().payload), (json{{"label", "Vexa sample"}}));
}

TEST_F(FrameworkEvents, CommandsThatChangeSensorsNotify) {
    client->RegisterEvent("sensors.ticks", EventLog::Record, &first);
    client->ExecuteCommand("sensors.sample", "");
    Flush();
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.Snapshot()[0].source, "sensors");
    EXPECT_EQ(json::parse(log.Snapshot()[0].payload), (json{{"ticks", 1}}));
}

TEST_F(FrameworkEvents, UnregisterStopsDeliveryForThatPathAndCallbackOnly) {
    client->RegisterEvent("test.a", EventLog::Record, &first);
    client->RegisterEvent("test.a", EventLog::Record, &second);
    client->RegisterEvent("test.a", EventLog::RecordToo, &first);
    client->RegisterEvent("test.b", EventLog::Record, &second);
    EXPECT_EQ(Emit("test", "1"), 3);

    client->UnregisterEvent("test.a", EventLog::Record);  // both contexts go
    EXPECT_EQ(Emit("test", "2"), 2);                      // RecordToo at test.a, Record at test.b
    client->UnregisterEvent("test.b", EventLog::Record);
    client->UnregisterEvent("test.a", EventLog::RecordToo);
    EXPECT_EQ(Emit("test", "3"), 0);
    EXPECT_EQ(log.Count(), 5u);
    // A path that was never registered, or is gone already, is no error.
    EXPECT_NO_THROW(client->UnregisterEvent("test.a", EventLog::Record));
    EXPECT_NO_THROW(client->UnregisterEvent("never.registered", EventLog::Record));
}

TEST_F(FrameworkEvents, RegistrationRefusesEmptyPathsAndNullCallbacks) {
    EXPECT_THROW(client->RegisterEvent("", EventLog::Record, &first), Vexa::InvalidArgumentException);
    EXPECT_THROW(client->RegisterEvent("x.y", nullptr, &first), Vexa::InvalidArgumentException);
}

// The unregistration happens inside a delivery, as when a handler unsubscribes
// itself: the rest of that emit must not reach the callback any more.
TEST_F(FrameworkEvents, NoDeliveryStartsAfterUnregisterReturns) {
    client->RegisterEvent("test.a", EventLog::Record, &first);
    std::atomic<int> calls{0};
    log.duringCallback = [&] {
        if (++calls == 2) client->UnregisterEvent("test.a", EventLog::Record);
    };
    EXPECT_EQ(Emit("test", "x", 10), 2);
    EXPECT_EQ(log.Count(), 2u);
}

// While a callback is held up, every other operation on the instance still completes:
// none of them waits for the callback.
TEST_F(FrameworkEvents, OperationsDoNotWaitForACallbackInProgress) {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> firstCall{true};
    log.duringCallback = [&] {
        if (firstCall.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    };
    client->RegisterEvent("test.a", EventLog::Record, &first);
    client->RegisterEvent("settings.label", EventLog::Record, &second);
    std::future<std::string> emit = std::async(std::launch::async, [&] {
        return client->ExecuteCommand("diagnostics.emit", EmitParameters("test", "held", 1));
    });
    entered.get_future().wait();

    client->SetValue("settings.label", std::string("while held"));
    EXPECT_EQ(client->GetValue("settings.label"), "\"while held\"");
    client->RegisterEvent("test.b", EventLog::Record, &second);
    client->UnregisterEvent("test.b", EventLog::Record);
    client->UnregisterEvent("settings.label", EventLog::Record);
    EXPECT_NO_THROW(client->QueryNode("settings"));
    EXPECT_EQ(client->ExecuteCommand("diagnostics.echo", "still served"), "still served");

    release.set_value();
    EXPECT_EQ(json::parse(emit.get()), (json{{"deliveries", 1}}));
    // The label's change was queued after the held delivery, and its registration was
    // gone before it could start.
    Flush();
    EXPECT_EQ(log.CountFor(second), 0u);
}

TEST_F(FrameworkEvents, OperationsRunWhileAnotherCommandIsInProgress) {
    std::future<std::string> sleeping = std::async(std::launch::async, [&] {
        return client->ExecuteCommand("diagnostics.sleep", R"({"ms": 200})");
    });
    for (int i = 0; i < 50; ++i) {
        client->SetValue("settings.interval_ms", 100LL + i);
        EXPECT_EQ(client->GetValue("settings.interval_ms"), std::to_string(100 + i));
    }
    EXPECT_EQ(sleeping.get(), R"({"slept_ms":200})");
}

TEST_F(FrameworkEvents, AnEmitFromInsideACallbackIsDeliveredRightAway) {
    client->RegisterEvent("outer.a", EventLog::Record, &first);
    client->RegisterEvent("inner.a", EventLog::Record, &second);
    std::atomic<bool> once{true};
    std::string innerResult;
    log.duringCallback = [&] {
        if (once.exchange(false))
            innerResult = client->ExecuteCommand("diagnostics.emit", EmitParameters("inner", "i", 2));
    };
    EXPECT_EQ(Emit("outer", "o"), 1);
    EXPECT_EQ(json::parse(innerResult), (json{{"deliveries", 2}}));
    EXPECT_EQ(log.CountFor(second), 2u);
}

TEST_F(FrameworkEvents, ACallbackThatThrowsDoesNotStopDelivery) {
    client->RegisterEvent("test.a", EventLog::Record, &first);
    log.duringCallback = [] { throw std::runtime_error("handler failed"); };
    EXPECT_EQ(Emit("test", "x", 3), 3);
    log.duringCallback = nullptr;
    EXPECT_EQ(Emit("test", "y"), 1);
}

TEST_F(FrameworkEvents, SensorsAreSampledWhileSomethingIsSubscribed) {
    client = std::make_unique<Vexa::ClientApi>(R"({"interval_ms": 10})");
    client->RegisterEvent("sensors.ticks", EventLog::Record, &first);
    ASSERT_TRUE(log.WaitForCount(3));
    long long previous = 0;
    for (const FrameworkTest::Notification& n : log.Snapshot()) {
        long long ticks = json::parse(n.payload).at("ticks");
        EXPECT_GT(ticks, previous);
        previous = ticks;
    }

    client->UnregisterEvent("sensors.ticks", EventLog::Record);
    Flush();
    std::size_t settled = log.Count();
    client->ExecuteCommand("sensors.sample", "");
    Flush();
    EXPECT_EQ(log.Count(), settled);
}

TEST_F(FrameworkEvents, DestroyWhileEventsFlowWaitsForTheCallbackAndEndsDelivery) {
    client = std::make_unique<Vexa::ClientApi>(R"({"interval_ms": 10})");
    std::atomic<bool> inCallback{false};
    std::atomic<bool> destroyed{false};
    std::atomic<int> lateCalls{0};
    log.duringCallback = [&] {
        if (destroyed) ++lateCalls;
        inCallback = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        inCallback = false;
    };
    for (const char* path : {"sensors.ticks", "sensors.temperature", "sensors.humidity"})
        client->RegisterEvent(path, EventLog::Record, &first);
    ASSERT_TRUE(log.WaitForCount(10));

    client.reset();
    destroyed = true;
    EXPECT_FALSE(inCallback);
    std::size_t final = log.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log.Count(), final);
    EXPECT_EQ(lateCalls, 0);
    // Every thread of the instance has ended, so the library really left the process.
    EXPECT_EQ(dlopen((framework.InstallDir() / "Tessaly.dll").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

// Registrations are the instance's; settings are the machine's, and an instance that
// takes up another's setting announces it to its own handlers.
TEST_F(FrameworkEvents, InstancesKeepTheirOwnRegistrationsAndShareTheSettings) {
    Vexa::ClientApi other{R"({"simulate_sensors": false})"};
    client->RegisterEvent("test.a", EventLog::Record, &first);
    client->RegisterEvent("settings.label", EventLog::Record, &first);
    other.SetValue("settings.label", std::string("other"));
    EXPECT_EQ(client->GetValue("settings.label"), "\"other\"");
    Flush();
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.Snapshot().at(0).payload, R"({"label":"other"})");
    client->UnregisterEvent("settings.label", EventLog::Record);
    EXPECT_EQ(json::parse(other.ExecuteCommand("diagnostics.emit", EmitParameters("test", "x", 1))),
              (json{{"deliveries", 0}}));
    EXPECT_EQ(Emit("test", "x"), 1);
}

// The sensor thread of a sampling instance takes up the threshold that another
// instance stores: the alarm follows it from the next samples on.
TEST_F(FrameworkEvents, TheSensorThreadTakesUpTheThresholdAnotherInstanceStores) {
    Vexa::ClientApi sampling{R"({"interval_ms": 10})"};
    sampling.RegisterEvent("sensors.alarm", EventLog::Record, &first);
    auto ticks = [&] { return json::parse(sampling.GetValue("sensors.ticks")).get<long long>(); };
    for (double threshold : {-100.0, 100.0}) {
        client->SetValue("settings.threshold", threshold);
        // Waits for two samples to start after the write, then checks the next three.
        for (int sample = 0; sample < 5; ++sample) {
            const long long before = ticks();
            while (ticks() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (sample >= 2) {
                EXPECT_EQ(sampling.GetValue("sensors.alarm"), threshold < 0 ? "true" : "false") << threshold;
            }
        }
    }
    sampling.UnregisterEvent("sensors.alarm", EventLog::Record);
}

}  // namespace
