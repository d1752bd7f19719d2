// Event subscriptions: the process-wide handler table and the one native callback.
//
// Three rules keep the framework's threads and the interpreter out of each other's way:
// - The library receives a token for each context object, never its address, and the
//   object stays referenced here until the registrations made with it are withdrawn.
//   DispatchEvent only serves a token not yet withdrawn, so a late delivery can reach
//   neither a freed context nor a new object that took its address.
// - Nothing thrown on the framework's thread leaves DispatchEvent: a failing handler,
//   payload or text is reported through sys.unraisablehook and the call returns.
// - Once the interpreter starts to shut down, notifications are dropped before they
//   touch Python, and the table gives its references back while Python can take them.
#include "python/corvane/events.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "loader/exceptions.h"
#include "python/corvane/forked_process.h"
#include "python/corvane/py_ref.h"
#include "python/corvane/python_error.h"

namespace py = pybind11;

namespace Vexa::VexaPy {
namespace {

constexpr const char* kUnknownDispatchError = "Unknown exception in event dispatch";

// Python objects keyed by identity: the map orders them by address and holds one
// strong reference to each.
using IdentitySet = std::map<PyObject*, py::object>;

// What the client library receives as a registration's context pointer: a number
// never handed out twice in the process, one for each context object while
// registrations made with it stand. The object's address would not do: once the object
// is freed, a new one may take its address, and a late delivery for the withdrawn
// registration would reach the new, unrelated object.
using Token = std::uintptr_t;

void* AsContextPointer(Token token) { return reinterpret_cast<void*>(token); }

struct PathEntry {
    IdentitySet handlers;
    // The contexts handed to the library (by their tokens) with registrations of this
    // path.
    std::set<PyObject*> contexts;
};

// The strong references to contexts and their tokens, shared by the paths that
// registered them.
class ContextHolds {
public:
    // The token of context, made when context is not held yet; entry claims it.
    Token Hold(PathEntry& entry, const py::object& context) {
        auto [claims, added] = byObject.try_emplace(context.ptr(), Claims{0, 0});
        if (added) {
            claims->second.token = ++lastToken;
            byToken.emplace(claims->second.token, context);
        }
        if (entry.contexts.insert(context.ptr()).second) {
            ++claims->second.paths;
        }
        return claims->second.token;
    }

    // Gives up the path's claims; a context whose last claim goes loses its token for
    // good, and its reference is moved into released, so the caller drops it once the
    // table is consistent again.
    void Release(PathEntry& entry, std::vector<py::object>& released) {
        for (PyObject* context : entry.contexts) {
            Unclaim(context, released);
        }
        entry.contexts.clear();
    }

    // Gives up the path's claim on one context, as Release does for all of them.
    void Release(PathEntry& entry, PyObject* context, std::vector<py::object>& released) {
        if (entry.contexts.erase(context) != 0) {
            Unclaim(context, released);
        }
    }

    // The context of a token not withdrawn, or null.
    const py::object* Find(Token token) const {
        auto held = byToken.find(token);
        return held == byToken.end() ? nullptr : &held->second;
    }

    // The token of a context held, or 0.
    Token TokenOf(PyObject* context) const {
        auto claims = byObject.find(context);
        return claims == byObject.end() ? 0 : claims->second.token;
    }

    void MoveAllInto(std::vector<py::object>& released) {
        for (auto& [token, context] : byToken) {
            released.push_back(std::move(context));
        }
        byToken.clear();
        byObject.clear();
    }

    // Forgets every reference without touching the objects (see ~Registry).
    void Abandon() {
        for (auto& [token, context] : byToken) {
            context.release();
        }
        byToken.clear();
        byObject.clear();
    }

private:
    void Unclaim(PyObject* context, std::vector<py::object>& released) {
        auto claims = byObject.find(context);
        if (claims == byObject.end() || --claims->second.paths != 0) {
            return;
        }
        auto held = byToken.find(claims->second.token);
        released.push_back(std::move(held->second));
        byToken.erase(held);
        byObject.erase(claims);
    }

    struct Claims {
        Token token;
        std::size_t paths;  // the paths whose registrations were made with it
    };
    // Keyed by address: byToken holds each of these objects, so no other object can
    // take its address while it is a key here.
    std::unordered_map<PyObject*, Claims> byObject;
    std::unordered_map<Token, py::object> byToken;
    Token lastToken = 0;  // 0 is never a token: a null context pointer matches nothing
};

// eventHandlers and the context references. Guarded by the interpreter lock.
struct Registry {
    // Looked up once per item of every notification: hashed, so that the cost of a
    // notification does not grow with the number of paths subscribed.
    std::unordered_map<std::string, PathEntry> eventHandlers;
    ContextHolds contexts;
    bool exitHooksInstalled = false;

    // Runs at process exit, after the interpreter has been finalized if the exit hook
    // did not empty the table first. Releasing references then would touch freed
    // interpreter state, so whatever is left is abandoned instead.
    ~Registry() {
        for (auto& [path, entry] : eventHandlers) {
            for (auto& [pointer, handler] : entry.handlers) {
                handler.release();
            }
        }
        contexts.Abandon();
    }
};

Registry& Table() {
    static Registry registry;
    return registry;
}

// Admission of notifications. Trivially destructible, so it stays usable by framework
// threads that still deliver while the process runs its exit handlers.
std::atomic<bool> closing{false};
std::atomic<int> inFlight{0};
// The dispatches in progress on this thread (a handler may cause another).
thread_local int dispatchesOnThisThread = 0;

class DispatchAdmission {
public:
    DispatchAdmission() {
        inFlight.fetch_add(1);
        ++dispatchesOnThisThread;
        admitted = !closing.load() && Py_IsInitialized();
    }
    ~DispatchAdmission() {
        --dispatchesOnThisThread;
        inFlight.fetch_sub(1);
    }
    DispatchAdmission(const DispatchAdmission&) = delete;
    DispatchAdmission& operator=(const DispatchAdmission&) = delete;

    explicit operator bool() const { return admitted; }

private:
    bool admitted;
};

// Runs from the interpreter's atexit handlers, while Python is fully alive: stops
// admitting notifications, lets those already admitted finish (they may be waiting
// for the lock this thread holds), then gives the table's references back.
void CloseEvents() {
    closing.store(true);
    {
        py::gil_scoped_release unlocked;
        while (inFlight.load() != dispatchesOnThisThread) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::vector<py::object> released;
    {
        Registry& table = Table();
        auto paths = std::move(table.eventHandlers);
        table.eventHandlers.clear();
        for (auto& [path, entry] : paths) {
            for (auto& [pointer, handler] : entry.handlers) {
                released.push_back(std::move(handler));
            }
        }
        table.contexts.MoveAllInto(released);
    }
}

// A forked child has only the thread that forked: dispatches that other threads had
// in progress will never finish there, and must not hold up its exit.
void ForgetOtherThreadsDispatches() { inFlight.store(dispatchesOnThisThread); }

// Installs the hooks once per process. The exit hook counts as installed as soon as
// atexit has it, whatever happens after, so that it is never added twice.
void InstallExitHooks(Registry& table) {
    if (table.exitHooksInstalled) {
        return;
    }
    py::module_::import("atexit").attr("register")(py::cpp_function(&CloseEvents));
    table.exitHooksInstalled = true;
    RunInForkedChildren(&ForgetOtherThreadsDispatches);
}

py::str DecodeUtf8(const char* text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

// The keys a payload's items contribute to handler paths: an object's member names
// (by name, each once, as nlohmann/json orders them), an array's indexes, or ""
// for one value that is not null. Reads the payload without building it.
class ItemKeys : public nlohmann::json_sax<nlohmann::json> {
public:
    using json = nlohmann::json;

    // Throws nlohmann/json's own exception when payload is not one JSON value.
    explicit ItemKeys(const char* payload) {
        const std::string_view text(payload);
        if (!json::sax_parse(text, this)) {
            [[maybe_unused]] const json failure = json::parse(text);  // throws the parser's exception
        }
        if (isObject) {
            std::sort(keys.begin(), keys.end());
            keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        } else {
            for (std::size_t index = 0; index < elements; ++index) keys.push_back(std::to_string(index));
        }
    }

    const std::vector<std::string>& Keys() const { return keys; }

    bool null() override { return Item(false); }
    bool boolean(bool) override { return Item(true); }
    bool number_integer(json::number_integer_t) override { return Item(true); }
    bool number_unsigned(json::number_unsigned_t) override { return Item(true); }
    bool number_float(json::number_float_t, const json::string_t&) override { return Item(true); }
    bool string(json::string_t&) override { return Item(true); }
    bool binary(json::binary_t&) override { return Item(true); }
    bool start_object(std::size_t) override {
        if (depth == 0) isObject = true;
        return Enter();
    }
    bool key(json::string_t& name) override {
        if (depth == 1) keys.push_back(std::move(name));
        return true;
    }
    bool end_object() override { return Leave(); }
    bool start_array(std::size_t) override { return Enter(); }
    bool end_array() override { return Leave(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override { return false; }

private:
    // notNull: whether a top-level scalar names an item.
    bool Item(bool notNull) {
        if (depth == 0 && notNull) {
            keys.emplace_back();
        } else if (depth == 1 && !isObject) {
            ++elements;
        }
        return true;
    }
    bool Enter() {
        if (depth == 1 && !isObject) ++elements;
        ++depth;
        return true;
    }
    bool Leave() {
        --depth;
        return true;
    }

    std::size_t depth = 0;
    bool isObject = false;
    std::size_t elements = 0;  // of a top-level array
    std::vector<std::string> keys;
};

// The handlers a notification goes to, in call order, taken before the first call:
// changes that handlers or other threads make to the table while the notification is
// being delivered take effect with the next notification.
std::vector<py::object> Recipients(const std::string_view source, const std::vector<std::string>& keys) {
    const auto& paths = Table().eventHandlers;
    std::vector<py::object> recipients;
    std::string path(source);
    path.push_back('.');
    const std::size_t prefix = path.size();
    for (const std::string& key : keys) {
        path.resize(prefix);
        path.append(key);
        auto entry = paths.find(path);
        if (entry == paths.end()) {
            continue;
        }
        for (const auto& [pointer, handler] : entry->second.handlers) {
            recipients.push_back(handler);
        }
    }
    return recipients;
}

// Delivers one notification; calling is set to the handler while it runs, so that
// a failure can name it.
void Deliver(const char* source, const char* payload, void* context, py::object& calling) {
    const py::object* held = Table().contexts.Find(reinterpret_cast<Token>(context));
    if (held == nullptr) {
        // A late delivery for a registration that has been withdrawn (its context may
        // be gone, and another object may have its address), or one that this module
        // never made.
        return;
    }
    const py::object contextObject = *held;
    std::vector<py::object> recipients;
    try {
        recipients = Recipients(source, ItemKeys(payload).Keys());
    } catch (const nlohmann::json::exception&) {
        try {
            TranslateException();
        } catch (...) {
            SetPythonErrorFromNative(kUnknownDispatchError);
        }
        throw py::error_already_set();
    }
    for (const py::object& handler : recipients) {
        // Each call gets texts of its own, decoded anew.
        py::str sourceText = DecodeUtf8(source);
        py::str payloadText = DecodeUtf8(payload);
        calling = handler;
        // Called with the arguments in place: no tuple is built for them.
        PyObject* const arguments[] = {sourceText.ptr(), payloadText.ptr(), contextObject.ptr()};
        const PyRef result(PyObject_Vectorcall(handler.ptr(), arguments, std::size(arguments), nullptr));
        if (!result) {
            throw py::error_already_set();
        }
        calling = py::object();
    }
}

// What the report of a failed dispatch names as the place of the failure.
py::object FailurePlace(const py::object& calling) {
    if (calling) {
        return calling;
    }
    return py::str("Corvane event dispatch");
}

// Gives up path's claim on context after the library refused to take it: no
// registration made with that context pointer stands, so its token is withdrawn unless
// another registration of the path or of another path still holds it. Handlers that the
// library ran meanwhile may have changed the entry or erased it: it is looked up anew.
void ReleaseRefusedContext(const std::string& path, PyObject* context, std::vector<py::object>& released) {
    Registry& table = Table();
    if (auto place = table.eventHandlers.find(path); place != table.eventHandlers.end()) {
        table.contexts.Release(place->second, context, released);
    }
}

enum class KeepEntry : bool { no, yes };

// Gives up the claims of path on contexts once its last handler has gone and the
// library has been told, whether it took the withdrawal or refused it: either way no
// registration of the module's stands for the path. The library may have delivered on
// this thread meanwhile, and the handlers it ran may have changed the table, so the
// entry is looked up anew, and left alone if a handler has been registered since.
void ReleaseEmptyPath(const std::string& path, KeepEntry keep, std::vector<py::object>& released) {
    Registry& table = Table();
    auto place = table.eventHandlers.find(path);
    if (place == table.eventHandlers.end() || !place->second.handlers.empty()) {
        return;
    }
    table.contexts.Release(place->second, released);
    if (keep == KeepEntry::no) {
        table.eventHandlers.erase(place);
    }
}

}  // namespace

void RegisterEvent(Vexa::ClientApi& client, const std::string& path, const py::object& handler,
                   const py::object& context) {
    Registry& table = Table();
    InstallExitHooks(table);
    // The table is filled before the library hears of the registration, which may
    // deliver at once on this thread.
    PathEntry& entry = table.eventHandlers[path];
    entry.handlers.try_emplace(handler.ptr(), handler);
    const bool contextAdded = entry.contexts.count(context.ptr()) == 0;
    // References are dropped only on the way out (see UnregisterEvent).
    std::vector<py::object> released;
    try {
        const Token token = table.contexts.Hold(entry, context);
        client.RegisterEvent(path, &DispatchEvent, AsContextPointer(token));
    } catch (...) {
        // A refused registration leaves its handler in the table, one element per
        // callable and path however often it is retried, until UnregisterEvent takes it
        // out. Only the claim on the context goes: the library holds no registration
        // with its token, so nothing can deliver with it.
        if (contextAdded) {
            ReleaseRefusedContext(path, context.ptr(), released);
        }
        throw;
    }
}

void UnregisterEvent(Vexa::ClientApi& client, const std::string& path, const py::object& handler) {
    Registry& table = Table();
    auto entry = table.eventHandlers.find(path);
    if (entry == table.eventHandlers.end()) {
        return;
    }
    auto registered = entry->second.handlers.find(handler.ptr());
    if (registered == entry->second.handlers.end()) {
        throw FrameworkException("Callback was not registered for event", kProxyFailure);
    }
    // References are dropped only on the way out: a finalizer they trigger may call
    // back into this table.
    std::vector<py::object> released;
    released.push_back(std::move(registered->second));
    entry->second.handlers.erase(registered);
    if (!entry->second.handlers.empty()) {
        return;
    }
    try {
        client.UnregisterEvent(path, &DispatchEvent);
    } catch (...) {
        // The path keeps its entry, with no handler, until a registration fills it.
        ReleaseEmptyPath(path, KeepEntry::yes, released);
        throw;
    }
    ReleaseEmptyPath(path, KeepEntry::no, released);
}

void DispatchEvent(const char* source, const char* payload, void* context) {
    DispatchAdmission admission;
    if (!admission) {
        return;
    }
    try {
        py::gil_scoped_acquire lock;
        py::object calling;
        try {
            Deliver(source, payload, context, calling);
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable(FailurePlace(calling));
        } catch (...) {
            const py::object place = FailurePlace(calling);
            SetPythonErrorFromNative(kUnknownDispatchError);
            PyErr_WriteUnraisable(place.ptr());
        }
    } catch (...) {
        // Only taking the lock or naming the dispatch can fail here, and with no
        // interpreter lock there is no way to report it; the notification is lost,
        // but the framework's thread lives on.
    }
}

void* RegisteredContextPointer(const py::object& context) {
    return AsContextPointer(Table().contexts.TokenOf(context.ptr()));
}

bool IsDispatchingEvent() { return dispatchesOnThisThread > 0; }

}  // namespace Vexa::VexaPy
