#include "python/corvane/forked_process.h"

#include <atomic>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

// Advanced only in a child, while it is the only thread there; read by any thread.
std::atomic<ProcessGeneration> generation{0};

// Set with the interpreter lock held.
bool tracking = false;

void AdvanceGeneration() { generation.fetch_add(1); }

// os.register_at_fork exists only where fork does (not on Windows).
void RegisterAfterFork(void (*action)()) {
    const py::module_ os = py::module_::import("os");
    if (py::hasattr(os, "register_at_fork")) {
        os.attr("register_at_fork")(py::arg("after_in_child") = py::cpp_function(action));
    }
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
