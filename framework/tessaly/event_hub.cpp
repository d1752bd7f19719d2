#include "tessaly/event_hub.h"

#include <algorithm>
#include <utility>

#include "interfaces/exception_family.h"
#include "shared/framework_constants.h"

namespace Vexa::Framework {

EventHub::EventHub() : thread([this] { Run(); }) {}

EventHub::~EventHub() { Stop(); }

void EventHub::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

void EventHub::Register(const std::string& path, Proxy::EventCallback callback, void* context) {
    std::lock_guard<std::mutex> lock(mutex);
    bool known = std::any_of(registrations.begin(), registrations.end(), [&](const Registration& r) {
        return r.path == path && r.callback == callback && r.context == context;
    });
    if (!known) registrations.push_back({path, callback, context});
}

void EventHub::Unregister(const std::string& path, Proxy::EventCallback callback) {
    std::lock_guard<std::mutex> lock(mutex);
    registrations.erase(std::remove_if(registrations.begin(), registrations.end(),
                                       [&](const Registration& r) {
                                           return r.path == path && r.callback == callback;
                                       }),
                        registrations.end());
}

bool EventHub::HasRegistrations() const {
    std::lock_guard<std::mutex> lock(mutex);
    return !registrations.empty();
}

void EventHub::Publish(const std::string& path, const std::string& source, const std::string& payload) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        bool wanted = std::any_of(registrations.begin(), registrations.end(),
                                  [&](const Registration& r) { return r.path == path; });
        if (!wanted || stopping) return;
        Notification notification;
        notification.source = source;
        notification.payload = payload;
        notification.target = path;
        queue.push_back(std::move(notification));
    }
    wake.notify_one();
}

std::size_t EventHub::Emit(const std::string& source, const std::string& payload, std::size_t count) {
    Notification notification;
    notification.source = source;
    notification.payload = payload;
    notification.target = source + ".";
    notification.prefix = true;
    notification.count = count;
    // A callback that emits would otherwise wait for its own thread forever.
    if (std::this_thread::get_id() == thread.get_id()) return Deliver(notification);

    notification.awaited = true;
    std::future<std::size_t> done = notification.done.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            throw FrameworkException("The client is shutting down; no events are delivered",
                                     kFrameworkFailure);
        queue.push_back(std::move(notification));
    }
    wake.notify_one();
    return done.get();
}

void EventHub::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping) break;
        Notification notification = std::move(queue.front());
        queue.pop_front();
        lock.unlock();
        std::size_t delivered = Deliver(notification);
        if (notification.awaited) notification.done.set_value(delivered);
        lock.lock();
    }
    // Whoever still waits for an emit learns that it was cut short.
    for (Notification& notification : queue) {
        if (notification.awaited)
            notification.done.set_exception(std::make_exception_ptr(FrameworkException(
                "The client was destroyed before the events were delivered", kFrameworkFailure)));
    }
    queue.clear();
}

bool EventHub::Matches(const Registration& registration, const Notification& notification) {
    if (!notification.prefix) return registration.path == notification.target;
    return registration.path.compare(0, notification.target.size(), notification.target) == 0;
}

bool EventHub::StillRegistered(Proxy::EventCallback callback, void* context,
                               const Notification& notification) const {
    return std::any_of(registrations.begin(), registrations.end(), [&](const Registration& r) {
        return r.callback == callback && r.context == context && Matches(r, notification);
    });
}

std::size_t EventHub::Deliver(const Notification& notification) {
    std::vector<std::pair<Proxy::EventCallback, void*>> receivers;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Registration& r : registrations) {
            std::pair<Proxy::EventCallback, void*> receiver{r.callback, r.context};
            if (Matches(r, notification) &&
                std::find(receivers.begin(), receivers.end(), receiver) == receivers.end())
                receivers.push_back(receiver);
        }
    }
    std::size_t delivered = 0;
    for (std::size_t round = 0; round < notification.count; ++round) {
        for (const auto& [callback, context] : receivers) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) return delivered;
                if (!StillRegistered(callback, context, notification)) continue;
            }
            // The caller's code is not ours to judge: whatever it throws ends this one
            // call and must not take the delivery thread down with it.
            try {
                callback(notification.source.c_str(), notification.payload.c_str(), context);
            } catch (...) {
            }
            ++delivered;
        }
    }
    return delivered;
}

}  // namespace Vexa::Framework
