#include "python/corvane/python_client_api.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <thread>

#include <pybind11/pybind11.h>

#include "loader/exceptions.h"
#include "python/corvane/events.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

// Destructions that run with the interpreter lock released must take it back before
// the interpreter starts to finalize: a thread that asks for the lock after that is
// ended by unwinding its stack (up to 3.13) or parked for ever (from 3.14 on), and
// an unwinding that meets the destructor aborts the process. So the exit hook,
// which runs while Python is still whole, waits for those in progress, and from then
// on a destruction keeps the lock. That is safe by then: the event hook, which runs
// before this one, has stopped every delivery that could wait for the lock.
// Both are touched with the interpreter lock held, but for the wait.
bool pythonEnding = false;
std::atomic<int> unlockedDestructions{0};
bool exitHookInstalled = false;

void WaitForUnlockedDestructions() {
    pythonEnding = true;
    py::gil_scoped_release unlocked;
    while (unlockedDestructions.load() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A forked child has only the thread that forked: destructions that other threads
// had in progress will never finish there.
void ForgetOtherThreadsDestructions() { unlockedDestructions.store(0); }

ProcessGeneration TrackedGeneration() {
    if (!exitHookInstalled) {
        // Installed with the first client, hence before the event hook (first
        // registration), and so run after it: atexit runs its hooks in reverse order.
        py::module_::import("atexit").attr("register")(py::cpp_function(&WaitForUnlockedDestructions));
        exitHookInstalled = true;
        RunInForkedChildren(&ForgetOtherThreadsDestructions);
    }
    return CurrentProcessGeneration();
}

}  // namespace

ClientApi::ClientApi() : createdIn(TrackedGeneration()), client(std::make_unique<Vexa::ClientApi>()) {}

ClientApi::ClientApi(const std::string& configuration)
    : createdIn(TrackedGeneration()), client(std::make_unique<Vexa::ClientApi>(configuration)) {}

ClientApi::~ClientApi() {
    if (client && Inherited()) {
        // A forked child inherited this object. Destroying the interface object would
        // join and signal the parent's framework threads, which do not exist here, and
        // hang or crash the child's exit. The child's copy of the parent's memory is
        // left as it is; it goes with the child.
        (void)client.release();
        return;
    }
    if (client && IsDispatchingEvent()) {
        // A handler dropped the last reference to a client object. This thread is
        // inside one of the framework's callbacks: destroying the interface object
        // here would make the framework join the very thread it runs on, and unload
        // the library under the callback that has yet to return. Another thread
        // finishes the destruction; the framework's destroy waits for this callback.
        std::thread([doomed = std::move(client)]() mutable { doomed.reset(); }).detach();
        return;
    }
    // Destroying the interface object joins the framework's threads. One of them may
    // be waiting for the interpreter lock to deliver an event; holding the lock here
    // would deadlock the process. Nothing of Python is touched while it is released.
    // The lock is released and taken back by hand, so that a failure to take it back
    // (see WaitForUnlockedDestructions) could not leave from a scoped release's
    // destructor; once Python is ending, it is kept.
    if (!PyGILState_Check() || pythonEnding) {
        client.reset();
        return;
    }
    unlockedDestructions.fetch_add(1);
    PyThreadState* const state = PyEval_SaveThread();
    client.reset();
    PyEval_RestoreThread(state);
    unlockedDestructions.fetch_sub(1);
}

Vexa::ClientApi& ClientApi::Client() {
    if (Inherited()) {
        throw FrameworkException(
            "The client was made in another process: a forked child cannot use its parent's clients, and makes "
            "its own",
            kProxyFailure);
    }
    return *client;
}

std::string ClientApi::GetProperties(const std::string& propertiesConfig) {
    return Client().GetProperties(propertiesConfig);
}

std::string ClientApi::GetNode(const std::string& path) { return Client().GetNode(path); }

std::string ClientApi::GetValue(const std::string& path) { return Client().GetValue(path); }

std::string ClientApi::GetSchema(const std::string& path, SchemaType type) {
    return Client().GetSchema(path, type);
}

std::string ClientApi::ExecuteCommand(const std::string& path, const std::string& parameters) {
    // The lock is taken back outside any destructor: when the interpreter is
    // finalizing, retaking it ends a daemon thread by unwinding its stack, which a
    // noexcept destructor (such as a scoped release's) would turn into an abort.
    Vexa::ClientApi& library = Client();
    PyThreadState* const state = PyEval_SaveThread();
    std::string result;
    std::exception_ptr failure;
    try {
        result = library.ExecuteCommand(path, parameters);
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return result;
}

std::string ClientApi::QueryNode(const std::string& path) { return Client().QueryNode(path); }

void ClientApi::SetValue(const std::string& path, bool value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, long long value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, double value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const std::string& value) { Client().SetValue(path, value); }

void ClientApi::SetValue(const std::string& path, const char* value) { Client().SetValue(path, value); }

}  // namespace Vexa::VexaPy
