// The Corvane module's untrusted inputs, in an embedded interpreter with the module
// built in and the event double staged as the client library:
//   first byte even: a notification (source, zero byte, payload) handed to
//       DispatchEvent for a context whose path has Python handlers registered, so that
//       dispatch really calls Python (one handler raises; the report goes to a quiet
//       sys.unraisablehook);
//   first byte 1 mod 4: a result text through LoadJson and through ParseResult and
//       FromJson, which must agree, and back through ToJson, which must give the same
//       value;
//   first byte 3 mod 4: a program for a small stack machine that builds an arbitrary
//       Python value (containers of any depth, cycles, tuples, keys that are not
//       strings, lone surrogates, huge integers, NaN, short decimals) converted by
//       ToJson, by DumpJson, which must agree, and by the parameter conversion of
//       CorvaneJson.ExecuteCommand.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <pybind11/embed.h>

#include "fuzz_support.h"
#include <nlohmann/json.hpp>
#include "python/corvane/cpython_internals.h"
#include "python/corvane/events.h"
#include "python/corvane/json_conversion.h"

extern "C" PyObject* PyInit_Corvane();

namespace py = pybind11;
using VexaFuzz::Violation;

namespace {

std::unique_ptr<VexaFuzz::MachineState> machine;
void* registration = nullptr;        // the context pointer the library received with them
PyObject* corvaneJson = nullptr;     // a CorvaneJson object (a strong reference)
PyObject* dispatchCounts = nullptr;  // the list [handled, raised]

constexpr const char* kSetup = R"(
import sys
import Corvane

counts = [0, 0]

def quiet_unraisable(report):
    counts[1] += 1

sys.unraisablehook = quiet_unraisable

def handler(source, payload, context):
    if not isinstance(source, str) or not isinstance(payload, str):
        raise AssertionError("handler received texts that are not str")
    counts[0] += 1

def raising(source, payload, context):
    raise ValueError(payload)

client = Corvane.ClientApi()
json_client = Corvane.CorvaneJson()
context = object()
for key in ("0", "1", "2", "a", "b", "", "key"):
    client.RegisterEvent("s." + key, handler, context)
    json_client.RegisterEvent("s." + key, handler, context)
client.RegisterEvent("s.r", raising, context)
)";

void FuzzDispatch(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t* zero = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t sourceSize = zero != nullptr ? static_cast<std::size_t>(zero - data) : size;
    const std::string source(reinterpret_cast<const char*>(data), sourceSize);
    const std::string payload =
        zero != nullptr ? std::string(reinterpret_cast<const char*>(zero + 1), size - sourceSize - 1) : "null";
    // std::string's c_str stops at the first zero byte, as a C text from the library would.
    Vexa::VexaPy::DispatchEvent(source.c_str(), payload.c_str(), registration);
    // A context that the table does not hold is dropped without touching Python.
    Vexa::VexaPy::DispatchEvent(source.c_str(), payload.c_str(), nullptr);
}

// What a conversion gave: the repr() of its value (types, key order and -0.0 show in
// it) or the text of its error.
struct Outcome {
    bool failed = false;
    std::string text;
    bool operator!=(const Outcome& other) const { return failed != other.failed || text != other.text; }
};

template <class Convert>
Outcome OutcomeOf(Convert convert) {
    try {
        return {false, py::repr(convert()).template cast<std::string>()};
    } catch (py::error_already_set& error) {
        return {true, error.what()};
    } catch (const std::exception& error) {
        return {true, error.what()};
    }
}

void FuzzResult(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    py::gil_scoped_acquire lock;
    // The direct route must agree with the reference route on every text.
    const Outcome direct = OutcomeOf([&] { return Vexa::VexaPy::LoadJson(text); });
    const Outcome reference =
        OutcomeOf([&] { return Vexa::VexaPy::FromJson(Vexa::VexaPy::ParseResult(text)); });
    if (direct != reference) Violation("direct route gave " + direct.text + ", reference " + reference.text);
    nlohmann::json value;
    try {
        value = Vexa::VexaPy::ParseResult(text);
    } catch (const std::exception&) {
        return;
    }
    py::object converted;
    try {
        converted = Vexa::VexaPy::FromJson(value);
    } catch (py::error_already_set& error) {
        // A string member that is not UTF-8 cannot become a str.
        return;
    }
    nlohmann::json back = Vexa::VexaPy::ToJson(converted);
    if (back != value) Violation("result converted to Python and back differs: " + back.dump());
}

// The stack machine of the third mode. Two budgets bound a program, neither of them its
// length. The objects it makes: a wrapping step makes hundreds of containers, so a few
// kilobytes of them would otherwise build millions of nested dicts before anything is
// converted. And what converting the value costs. Its weight: one for a leaf, one plus
// its items' weights for a container, counting an item each time it is reached, so that
// a value pushed twice and wrapped with itself in a list, again and again, weighs what
// its exponentially long JSON text costs, not the handful of objects it is made of. And
// its cost, its weight plus its items' costs: what repr() costs, which makes each
// container's text of its own and copies it into its parent's; pybind11 puts the repr
// of the arguments into the TypeError of a value that does not convert. A cycle costs
// what following it to the depth limit costs. A step whose result would cost more than
// the budget does nothing (a wrapping step wraps as often as the budget allows). Without
// these a long campaign stops on a false timeout, or on the memory limit.
class ValueBuilder {
public:
    static constexpr std::size_t kMaxObjects = 20000;
    static constexpr std::size_t kMaxCost = 200000;

    ValueBuilder(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    py::object Build() {
        while (position < size && stack.size() < 4096 && made < kMaxObjects) Step(Next());
        if (stack.empty()) return py::none();
        return stack.back().value;
    }

private:
    struct Entry {
        py::object value;
        std::size_t weight = 1;
        std::size_t cost = 1;  // at least the weight, at most kMaxCost
    };

    std::uint8_t Next() { return position < size ? data[position++] : 0; }

    std::uint64_t Next64() {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(Next()) << (8 * i);
        return value;
    }

    std::string NextBytes() {
        std::size_t length = Next() % 32;
        std::string bytes;
        while (length-- > 0 && position < size) bytes.push_back(static_cast<char>(Next()));
        return bytes;
    }

    void Push(py::object value) { stack.push_back({std::move(value)}); }

    Entry Pop() {
        if (stack.empty()) return {py::none()};
        Entry top = std::move(stack.back());
        stack.pop_back();
        return top;
    }

    // What a container of the top n entries weighs and costs.
    Entry OfTop(std::size_t n) const {
        Entry container;
        for (std::size_t i = stack.size() - n; i < stack.size(); ++i) {
            container.weight += stack[i].weight;
            container.cost += stack[i].cost;
        }
        container.cost += container.weight - 1;
        return container;
    }

    // Wraps the top value in containers of one item, as many of those requested as both
    // budgets allow.
    template <class Make>
    void Wrap(int requested, Make make) {
        Entry top = Pop();
        for (int n = 0; n < requested && made < kMaxObjects && top.cost + top.weight + 1 <= kMaxCost; ++n) {
            top.value = make(top.value);
            top.cost += ++top.weight;
            ++made;
        }
        stack.push_back(std::move(top));
    }

    void Step(std::uint8_t op) {
        ++made;
        switch (op % 16) {
        case 0: Push(py::none()); break;
        case 1: Push(py::bool_(op & 0x10)); break;
        case 2: Push(py::int_(static_cast<long long>(Next64()))); break;
        case 3: {  // an integer of up to 248 bits, of either sign
            std::string bytes = NextBytes();
            py::object value = py::reinterpret_steal<py::object>(
                Vexa::VexaPy::CPythonInternals::IntFromSignedLittleEndian(
                    reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
            if (!value) throw py::error_already_set();
            Push(value);
            break;
        }
        case 4: {
            double value;
            if (op & 0x10) {
                // A decimal of up to 17 digits, as prices and coordinates are, or a
                // double a step or two beside it: the writer has a path of its own
                // for short decimals, which must agree at its edges too.
                static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
                const std::uint8_t shape = Next();
                const auto digits = static_cast<double>(Next64() % 100000000000000000u >> (shape % 8 * 7));
                value = digits / kPowers[Next() % 23];
                const double toward = shape & 0x20 ? 1e300 : 0.0;
                for (int step = (shape >> 3) % 3; step > 0; --step) value = std::nextafter(value, toward);
                if (shape & 0x40) value = -value;
            } else {
                std::uint64_t bits = Next64();
                std::memcpy(&value, &bits, sizeof value);
            }
            Push(py::float_(value));
            break;
        }
        case 5: {  // a str from bytes, invalid UTF-8 kept as lone surrogates
            std::string bytes = NextBytes();
            PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
            if (text == nullptr) throw py::error_already_set();
            Push(py::reinterpret_steal<py::object>(text));
            break;
        }
        case 6: Push(py::bytes(NextBytes())); break;
        case 7:
        case 8: {  // a list or tuple of the top n values
            const std::size_t n = std::min<std::size_t>(Next() % 8, stack.size());
            Entry container = OfTop(n);
            if (container.cost > kMaxCost) break;
            py::list items;
            for (std::size_t i = stack.size() - n; i < stack.size(); ++i) items.append(stack[i].value);
            stack.resize(stack.size() - n);
            container.value = op % 16 == 7 ? py::object(items) : py::object(py::tuple(items));
            stack.push_back(std::move(container));
            break;
        }
        case 9: {  // a dict of the top n (key, value) pairs; unhashable keys are skipped
            const std::size_t n = std::min<std::size_t>(Next() % 8, stack.size() / 2);
            Entry container = OfTop(2 * n);
            if (container.cost > kMaxCost) break;
            py::dict items;
            for (std::size_t i = stack.size() - 2 * n; i < stack.size(); i += 2) {
                if (PyObject_SetItem(items.ptr(), stack[i].value.ptr(), stack[i + 1].value.ptr()) != 0)
                    PyErr_Clear();
            }
            stack.resize(stack.size() - 2 * n);
            container.value = items;
            stack.push_back(std::move(container));
            break;
        }
        case 10:  // wrap the top value in n lists
            Wrap(Next() % 64 + 1, [](const py::object& value) {
                py::list wrapper;
                wrapper.append(value);
                return py::object(wrapper);
            });
            break;
        case 11:  // wrap the top value in 500 to 531 single-member dicts, as the budgets allow
            Wrap(500 + Next() % 32, [](const py::object& value) {
                py::dict wrapper;
                wrapper["k"] = value;
                return py::object(wrapper);
            });
            break;
        case 12: {  // a cycle: the top container holds itself
            if (stack.empty()) break;
            Entry& top = stack.back();
            // The conversions follow a cycle until the depth limit refuses it, reaching
            // the container's other items again at every level.
            constexpr std::size_t kLevels = Vexa::VexaPy::kMaxJsonDepth + 1;
            if (top.cost * kLevels > kMaxCost) break;
            if (py::isinstance<py::list>(top.value))
                top.value.cast<py::list>().append(top.value);
            else if (py::isinstance<py::dict>(top.value))
                top.value.cast<py::dict>()["self"] = top.value;
            else
                break;
            top.weight *= kLevels;
            top.cost *= kLevels;
            break;
        }
        case 13:
            if (stack.empty())
                Push(py::none());
            else
                stack.push_back(stack.back());
            break;
        case 14: Push(py::eval("object()")); break;
        default: Pop(); break;
        }
    }

    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
    std::size_t made = 0;  // objects made so far, at most kMaxObjects and a step's one
    std::vector<Entry> stack;
};

// Breaks the cycles a program made, so that the value goes with its last reference.
void BreakCycles() { py::module_::import("gc").attr("collect")(); }

void FuzzParameter(const std::uint8_t* data, std::size_t size) {
    py::gil_scoped_acquire lock;
    {
        py::object value;
        try {
            value = ValueBuilder(data, size).Build();
        } catch (py::error_already_set&) {
            return;
        }
        bool converts = true;
        std::string reference;
        try {
            nlohmann::json converted = Vexa::VexaPy::ToJson(value);
            // What converted must print, as CorvaneJson does before it calls the library.
            reference = converted.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        } catch (py::error_already_set&) {
            converts = false;
        } catch (const std::exception&) {
            converts = false;
        }
        // The direct route must write the same text, or refuse the same values.
        try {
            const std::string direct = Vexa::VexaPy::DumpJson(value);
            if (!converts || direct != reference) Violation("direct route wrote " + direct + ", reference " + reference);
        } catch (py::error_already_set&) {
            if (converts) Violation("direct route refused a value that converts");
        } catch (const std::exception&) {
            if (converts) Violation("direct route refused a value that converts");
        }
        // Through the bound method: a value that does not convert is a TypeError; one that
        // does reaches the event double, which knows no command "fuzz.none".
        PyObject* result = PyObject_CallMethod(corvaneJson, "ExecuteCommand", "sO", "fuzz.none", value.ptr());
        if (result != nullptr) Violation("ExecuteCommand of an unknown command succeeded");
        const bool typeError = PyErr_ExceptionMatches(PyExc_TypeError);
        PyErr_Clear();
        if (!converts && !typeError) Violation("a value that does not convert did not raise TypeError");
    }
    BreakCycles();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every Python object on the C heap, so that the sanitizers see them all.
    setenv("PYTHONMALLOC", "malloc", 1);
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    machine = std::make_unique<VexaFuzz::MachineState>();
    const std::filesystem::path installDir = machine->Root() / "framework";
    std::filesystem::create_directories(installDir);
    std::filesystem::copy_file(VEXA_FUZZ_EVENT_DOUBLE, installDir / "Tessaly.dll");
    machine->TrustRoot(VEXA_FUZZ_DEV_ROOT);
    nlohmann::json frameworkInterface = {{"class", "{4c0e7a1d-8b2f-4e65-9a13-6f2d5c8b0e47}"},
                                         {"enabled", true},
                                         {"values", {{"InstallDir", installDir.string()}}}};
    nlohmann::json device = {{"instance_id", "SWD\\VexaFramework\\0000"},
                             {"present", true},
                             {"interfaces", nlohmann::json::array({frameworkInterface})}};
    const std::string devices = nlohmann::json{{"devices", nlohmann::json::array({device})}}.dump();
    machine->WriteDevicesText(devices.data(), devices.size());

    if (PyImport_AppendInittab("Corvane", &PyInit_Corvane) != 0) std::abort();
    py::initialize_interpreter(/*init_signal_handlers=*/false);
    {
        py::dict globals = py::module_::import("__main__").attr("__dict__");
        try {
            py::exec(kSetup, globals);
        } catch (py::error_already_set& error) {
            std::fprintf(stderr, "fuzz_corvane: setup failed: %s\n", error.what());
            std::abort();
        }
        registration = Vexa::VexaPy::RegisteredContextPointer(globals["context"]);
        if (registration == nullptr) std::abort();
        corvaneJson = py::object(globals["json_client"]).release().ptr();
        dispatchCounts = py::object(globals["counts"]).release().ptr();
    }
    // What dispatch did, so that a run shows that handlers really ran.
    std::atexit([] {
        PyGILState_STATE state = PyGILState_Ensure();
        std::fprintf(stderr, "fuzz_corvane: handlers ran %zd times, %zd failures reported\n",
                     PyLong_AsSsize_t(PyList_GetItem(dispatchCounts, 0)),
                     PyLong_AsSsize_t(PyList_GetItem(dispatchCounts, 1)));
        PyGILState_Release(state);
    });
    // Framework threads and this one take the lock when they need it.
    PyEval_SaveThread();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    if ((mode & 1) == 0)
        FuzzDispatch(data + 1, size - 1);
    else if ((mode & 2) == 0)
        FuzzResult(data + 1, size - 1);
    else
        FuzzParameter(data + 1, size - 1);
    return 0;
}
