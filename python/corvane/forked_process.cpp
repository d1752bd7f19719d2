#include "python/corvane/forked_process.h"

#include <atomic>
#include <cerrno>

#ifndef _WIN32
#include <pthread.h>
#endif

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

// Advanced only in a child, while it is the only thread there; read by any thread.
std::atomic<ProcessGeneration> generation{0};

// Set with the interpreter lock held.
bool tracking = false;

void AdvanceGeneration() { generation.fetch_add(1); }

// The C library's hooks, not os.register_at_fork's: those run only for os.fork, and a
// child made by native code (or by the C library's fork called through ctypes) would
// take its parent's objects for its own. There is no fork on Windows.
void RegisterAfterFork(void (*action)()) {
#ifndef _WIN32
    if (const int error = pthread_atfork(nullptr, nullptr, action); error != 0) {
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        throw py::error_already_set();
    }
#else
    (void)action;
#endif
}

}  // namespace

ProcessGeneration CurrentProcessGeneration() { return generation.load(std::memory_order_relaxed); }

void RunInForkedChildren(void (*action)()) {
    // The child's hooks run in the order they were registered, so the generation is
    // advanced before action runs.
    TrackForkedChildren();
    RegisterAfterFork(action);
}

void TrackForkedChildren() {
    if (tracking) {
        return;
    }
    RegisterAfterFork(&AdvanceGeneration);
    tracking = true;
}

}  // namespace Vexa::VexaPy
