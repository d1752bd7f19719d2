// Tessaly's event registrations and the framework thread that delivers notifications.
//
// What callers may rely on:
// - Callbacks are called only on the hub's own thread, never inside a caller's call,
//   one at a time, in the order the notifications were queued.
// - No operation of the hub waits for a callback, except Emit, which waits for the
//   deliveries it asked for. The hub's mutex is never held while a callback runs.
// - Right before each callback call the hub checks, under its mutex, that a matching
//   registration of that (callback, context) still exists; that check is where a delivery
//   starts. Once Unregister(path, callback) has returned, no delivery to that callback for
//   that path starts any more. A delivery that started before may still be running when
//   Unregister returns (waiting for it could deadlock a caller that the callback itself
//   waits for).
// - Stop() (and the destructor) ends the thread: deliveries not yet started are dropped,
//   a callback in progress is waited for, and nothing is called afterwards.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "interfaces/client_api_interface.h"

namespace Vexa::Framework {

class EventHub {
public:
    EventHub();
    ~EventHub();
    EventHub(const EventHub&) = delete;
    EventHub& operator=(const EventHub&) = delete;

    // Keeps one registration per distinct (path, callback, context).
    void Register(const std::string& path, Proxy::EventCallback callback, void* context);
    // Removes every registration of that path and callback; none is no error.
    void Unregister(const std::string& path, Proxy::EventCallback callback);
    bool HasRegistrations() const;

    // Queues one notification for each (callback, context) registered at exactly `path`;
    // does nothing when there is none. Does not wait.
    void Publish(const std::string& path, const std::string& source, const std::string& payload);

    // Delivers `count` notifications to each distinct (callback, context) registered
    // under a path beginning with source + ".", and returns the number of callback calls
    // once they have all returned. Called from a callback, it delivers on the spot.
    std::size_t Emit(const std::string& source, const std::string& payload, std::size_t count);

    // Ends delivery and joins the thread; idempotent.
    void Stop();

private:
    struct Registration {
        std::string path;
        Proxy::EventCallback callback;
        void* context;
    };
    struct Notification {
        std::string source;
        std::string payload;
        std::string target;  // the exact path, or for prefix targets the prefix
        bool prefix = false;
        std::size_t count = 1;
        std::promise<std::size_t> done;  // set for Emit; unused otherwise
        bool awaited = false;
    };

    void Run();
    std::size_t Deliver(const Notification& notification);
    static bool Matches(const Registration& registration, const Notification& notification);
    bool StillRegistered(Proxy::EventCallback callback, void* context,
                         const Notification& notification) const;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<Registration> registrations;
    std::deque<Notification> queue;
    bool stopping = false;
    std::thread thread;  // last: starts after everything it uses exists
};

}  // namespace Vexa::Framework
