// Records the notifications a client delivers, for the event tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace FrameworkTest {

struct Notification {
    std::string source;
    std::string payload;
    void* context;
    std::thread::id thread;
};

class EventLog;

// What a test registers as the context pointer: it leads the callback to its log.
struct Subscriber {
    EventLog* log;
};

class EventLog {
public:
    // Two callbacks that record alike, so that tests can tell callbacks apart.
    static void Record(const char* source, const char* payload, void* context);
    static void RecordToo(const char* source, const char* payload, void* context);

    std::vector<Notification> Snapshot() const;
    std::size_t Count() const;
    std::size_t CountFor(const Subscriber& subscriber) const;
    // Waits until `count` notifications arrived; false if that took longer than a
    // generous bound (a hang, not a performance limit).
    bool WaitForCount(std::size_t count) const;

    // Runs inside every callback, before it returns (set before registering).
    std::function<void()> duringCallback;

private:
    void Add(const char* source, const char* payload, void* context);

    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<Notification> notifications;
};

}  // namespace FrameworkTest
