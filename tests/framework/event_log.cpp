#include "event_log.h"

#include <algorithm>

namespace FrameworkTest {

void EventLog::Record(const char* source, const char* payload, void* context) {
    static_cast<Subscriber*>(context)->log->Add(source, payload, context);
}

void EventLog::RecordToo(const char* source, const char* payload, void* context) {
    static_cast<Subscriber*>(context)->log->Add(source, payload, context);
}

void EventLog::Add(const char* source, const char* payload, void* context) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        notifications.push_back({source, payload, context, std::this_thread::get_id()});
    }
    arrived.notify_all();
    if (duringCallback) duringCallback();
}

std::vector<Notification> EventLog::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return notifications;
}

std::size_t EventLog::Count() const {
    std::lock_guard<std::mutex> lock(mutex);
    return notifications.size();
}

std::size_t EventLog::CountFor(const Subscriber& subscriber) const {
    std::lock_guard<std::mutex> lock(mutex);
    return std::count_if(notifications.begin(), notifications.end(),
                         [&](const Notification& n) { return n.context == &subscriber; });
}

bool EventLog::WaitForCount(std::size_t count) const {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(30), [&] { return notifications.size() >= count; });
}

}  // namespace FrameworkTest
