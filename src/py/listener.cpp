// Invalidation listeners seen from Python: the InvalidationScope class handed
// to callbacks, the InvalidationListenerHandle class and the module function
// spawn_invalidation_listener.
//
// A listener is a task on the shared runtime. Its handler runs on the
// runtime's blocking pool (never on a worker thread, which must stay free to
// drive the I/O that Python threads wait on while they hold the interpreter
// lock), takes the interpreter lock only to build the scope object and call
// the callback, and holds no native lock while it waits for it.
//
// Interpreter shutdown: once exit begins, a foreign thread that asks for the
// interpreter lock is terminated by the interpreter, which would tear through
// native frames. An atexit hook therefore closes the gate to Python before
// finalisation: later scopes and late reference drops are skipped (the
// callback reference is then leaked, harmlessly, at exit), and callbacks
// already running are given a moment to finish.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include <unistd.h>

#include "core/invalidation_listener.hpp"
#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "py/stores_family.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_py {

namespace core = ostrel_core;

namespace {

// ---------------------------------------------------------------------------
// Entering the interpreter from runtime threads

class InterpreterGate {
public:
    static InterpreterGate& instance() {
        static InterpreterGate* g = new InterpreterGate();  // lives until exit, used by detached threads
        return *g;
    }

    // Runs `fn` holding the interpreter lock, unless the interpreter is
    // shutting down (then nothing runs and false is returned). Must be called
    // on a thread that does not hold the lock and holds no native lock.
    template <class F>
    bool run(F&& fn) {
        {
            std::lock_guard lock(mu_);
            if (closing_) return false;
            ++inflight_;
        }
        struct Leave {
            InterpreterGate* g;
            ~Leave() { g->leave(); }
        } leave{this};
        PyGILState_STATE st = PyGILState_Ensure();
        struct Release {
            PyGILState_STATE st;
            ~Release() { PyGILState_Release(st); }
        } release{st};
        fn();
        return true;
    }

    // Called with the interpreter lock held, from the atexit hook: refuses
    // every later entry and waits (with the lock released) a bounded time for
    // the entries in flight.
    void close() {
        {
            std::lock_guard lock(mu_);
            closing_ = true;
        }
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock lock(mu_);
            cv_.wait_for(lock, kDrainLimit, [this] { return inflight_ == 0; });
        }
        Py_END_ALLOW_THREADS
    }

private:
    static constexpr std::chrono::seconds kDrainLimit{5};

    void leave() {
        {
            std::lock_guard lock(mu_);
            --inflight_;
        }
        cv_.notify_all();
    }

    std::mutex mu_;
    std::condition_variable cv_;
    bool closing_ = false;
    long inflight_ = 0;
};

PyObject* at_exit(PyObject*, PyObject*) noexcept {
    InterpreterGate::instance().close();
    Py_RETURN_NONE;
}

PyMethodDef g_at_exit_def = {"_ostrel_listener_shutdown", as_cfunction(&at_exit), METH_NOARGS,
                             "Stops invalidation listeners from entering the interpreter at exit."};

// Registers the atexit hook once, at the first spawned listener.
bool ensure_exit_hook() {
    static bool registered = false;  // guarded by the interpreter lock
    if (registered) return true;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref fn = Ref::steal(PyCFunction_NewEx(&g_at_exit_def, nullptr, nullptr));
    if (!fn) return false;
    Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
    if (!r) return false;
    registered = true;
    return true;
}

// A strong reference to a Python object that may be released on a thread
// without the interpreter lock: there the release is handed to the blocking
// pool, which takes the lock for it.
class PyHolder {
public:
    explicit PyHolder(PyObject* o) noexcept : o_(o) { Py_INCREF(o_); }
    PyHolder(const PyHolder&) = delete;
    PyHolder& operator=(const PyHolder&) = delete;
    ~PyHolder() {
        PyObject* o = o_;
        if (!core::on_runtime_thread()) {
            // Only Python threads, holding the interpreter lock, release
            // holders outside the runtime (a failed spawn).
            Py_DECREF(o);
            return;
        }
        try {
            auto rt = core::try_runtime();
            if (rt && (*rt)->spawn_blocking([o] { InterpreterGate::instance().run([o] { Py_DECREF(o); }); })) return;
        } catch (...) {
        }
        // No thread to release it on: keep the object alive rather than
        // touch the interpreter without its lock.
    }
    PyObject* get() const noexcept { return o_; }

private:
    PyObject* o_;
};

// Writes the whole of `line` to file descriptor 2 (not sys.stderr).
void write_stderr(const std::string& line) noexcept {
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Reports the pending Python exception on standard error and clears it.
void report_callback_exception() noexcept {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    try {
        std::string name = value != nullptr ? type_name(value) : "?";
        std::string text;
        if (value == nullptr) {
            text = "<exception str() failed>";
        } else if (auto s = str_of(value)) {
            text = std::move(*s);
        } else {
            PyErr_Clear();
            text = "<exception str() failed>";
        }
        write_stderr("[ostrel] invalidation listener callback raised, continuing: " + name + ": " + text + "\n");
    } catch (...) {
        write_stderr("[ostrel] invalidation listener callback raised, continuing: <unreportable exception>\n");
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Clear();
}

// What the listener task runs for each scope.
struct CallbackHandler {
    std::shared_ptr<PyHolder> callback;
    std::shared_ptr<std::atomic<bool>> aborted;

    void operator()(core::InvalidationScope scope) const {
        InterpreterGate::instance().run([&] {
            // abort() runs under the interpreter lock too: once it returned,
            // no callback starts.
            if (aborted->load(std::memory_order_acquire)) return;
            PyObject* arg = nullptr;
            try {
                arg = new_instance<InvalidationScopeObject>(std::move(scope));
            } catch (...) {
                raise_current_exception();
            }
            if (arg == nullptr) {
                report_callback_exception();
                return;
            }
            Ref scope_obj = Ref::steal(arg);
            // The result (a coroutine, say) is discarded, not awaited.
            Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callback->get(), scope_obj.get(), nullptr));
            if (!result) report_callback_exception();
        });
    }
};

// ---------------------------------------------------------------------------
// InvalidationScope

const char kScopeDoc[] =
    "The Python view of an InvalidationScope, passed to listener callbacks.\n"
    "\n"
    "Exposes the fan-out target (session, principal or role) and the reason an evaluator gave.\n"
    "Instances are made only by listeners, one per received scope.";

const char* kind_text(core::InvalidationTarget::Kind k) {
    switch (k) {
        case core::InvalidationTarget::Kind::Session: return "session";
        case core::InvalidationTarget::Kind::Principal: return "principal";
        case core::InvalidationTarget::Kind::Role: return "role";
    }
    return "?";
}

std::string target_id_text(const core::InvalidationTarget& t) {
    return t.kind() == core::InvalidationTarget::Kind::Session ? t.session_id().to_string() : t.name();
}

PyObject* scope_target_kind(const core::InvalidationScope& s) { return to_py(kind_text(s.target.kind())); }
PyObject* scope_target_id(const core::InvalidationScope& s) { return to_py(target_id_text(s.target)); }
PyObject* scope_reason(const core::InvalidationScope& s) { return to_py(s.reason); }
PyObject* scope_evaluator(const core::InvalidationScope& s) { return to_py(s.evaluator); }

PyObject* scope_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const core::InvalidationScope& s = as<InvalidationScopeObject>(self)->value();
        return to_py("InvalidationScope(target_kind=" + std::string(kind_text(s.target.kind())) +
                     ", target_id=" + target_id_text(s.target) + ", evaluator=" + s.evaluator + ")");
    });
}

PyGetSetDef g_scope_getset[] = {
    {"target_kind", getter<InvalidationScopeObject, scope_target_kind>, nullptr,
     "``\"session\"`` | ``\"principal\"`` | ``\"role\"``", nullptr},
    {"target_id", getter<InvalidationScopeObject, scope_target_id>, nullptr,
     "The identifier for the target, UUID string (session), principal id, or role name.", nullptr},
    {"reason", getter<InvalidationScopeObject, scope_reason>, nullptr, nullptr, nullptr},
    {"evaluator", getter<InvalidationScopeObject, scope_evaluator>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// InvalidationListenerHandle

const char kHandleDoc[] =
    "Opaque handle of a running invalidation listener task.\n"
    "\n"
    "The integrator owns its lifecycle: the task exits by itself when the broadcaster's channel\n"
    "closes (its last holder is gone), and abort() stops it sooner. Dropping the handle without\n"
    "abort() leaves the task running. Returned only by spawn_invalidation_listener.";

const char kAbortDoc[] =
    "abort($self)\n--\n\n"
    "Stop the listener. Idempotent, calling twice is a no-op.";

PyObject* handle_abort(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("InvalidationListenerHandle.abort", kAbortDoc);
        auto* obj = as<ListenerHandleObject>(self);
        Borrow borrow = Borrow::exclusive(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        ListenerHandleData& h = obj->value();
        if (std::optional<core::TaskHandle> task = std::exchange(h.task, std::nullopt)) {
            h.aborted->store(true, std::memory_order_release);
            task->abort();
        }
        return none();
    });
}

PyObject* handle_is_finished(const ListenerHandleData& h) { return to_py(!h.task || h.task->is_finished()); }

PyMethodDef g_handle_methods[] = {
    {"abort", as_cfunction(&handle_abort), METH_VARARGS | METH_KEYWORDS, kAbortDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_handle_getset[] = {
    {"is_finished", getter<ListenerHandleObject, handle_is_finished>, nullptr,
     "True if the listener task has finished.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// spawn_invalidation_listener

const char kSpawnDoc[] =
    "spawn_invalidation_listener(broadcaster, callback)\n--\n\n"
    "Spawn a listener that calls callback(scope) for every invalidation published on\n"
    "broadcaster.\n"
    "\n"
    "broadcaster: an InMemoryInvalidationBroadcaster or a RedisInvalidationBroadcaster.\n"
    "callback: any callable taking one InvalidationScope. It runs on a background thread,\n"
    "holding the interpreter lock, one scope at a time in publication order. Exceptions\n"
    "raised inside it are caught and logged to standard error and do not kill the listener.\n"
    "Every scope published after this call returns reaches the callback.\n"
    "\n"
    "Returns an InvalidationListenerHandle whose abort() stops the task.\n"
    "\n"
    "Example:\n"
    "    broadcaster = InMemoryInvalidationBroadcaster()\n"
    "    received = []\n"
    "    handle = spawn_invalidation_listener(broadcaster, received.append)";

PyObject* spawn_listener(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("spawn_invalidation_listener", kSpawnDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;

        const GateOptionHooks& hooks = gate_option_hooks();
        std::shared_ptr<core::InvalidationBroadcaster> broadcaster;
        if (hooks.memory_broadcaster != nullptr) broadcaster = hooks.memory_broadcaster(a[0]);
        if (!broadcaster && hooks.redis_broadcaster != nullptr) broadcaster = hooks.redis_broadcaster(a[0]);
        if (!broadcaster)
            return raise(PyExc_ValueError,
                         "broadcaster must be InMemoryInvalidationBroadcaster or RedisInvalidationBroadcaster");

        if (!ensure_exit_hook()) return nullptr;

        auto aborted = std::make_shared<std::atomic<bool>>(false);
        CallbackHandler handler{std::make_shared<PyHolder>(a[1]), aborted};
        auto task = core::spawn_invalidation_listener(std::move(broadcaster), std::move(handler),
                                                      core::HandlerMode::Blocking);
        if (!task) return raise_internal_fault(task.error().display());
        return new_instance<ListenerHandleObject>(ListenerHandleData{std::move(*task), std::move(aborted)});
    });
}

PyMethodDef g_spawn_def = {"spawn_invalidation_listener", as_cfunction(&spawn_listener),
                           METH_VARARGS | METH_KEYWORDS, kSpawnDoc};

}  // namespace

bool register_invalidation_scope(PyObject* module) {
    return register_class<InvalidationScopeObject>(
        module, ClassSpec{.name = "InvalidationScope",
                          .doc = kScopeDoc,
                          .basicsize = static_cast<int>(sizeof(InvalidationScopeObject)),
                          .tp_new = nullptr,
                          .tp_dealloc = &dealloc<InvalidationScopeObject>,
                          .getset = g_scope_getset,
                          .repr = &scope_repr});
}

bool register_invalidation_listener_handle(PyObject* module) {
    return register_class<ListenerHandleObject>(
        module, ClassSpec{.name = "InvalidationListenerHandle",
                          .doc = kHandleDoc,
                          .basicsize = static_cast<int>(sizeof(ListenerHandleObject)),
                          .tp_new = nullptr,
                          .tp_dealloc = &dealloc<ListenerHandleObject>,
                          .methods = g_handle_methods,
                          .getset = g_handle_getset});
}

bool register_spawn_invalidation_listener(PyObject* module) { return add_function(module, &g_spawn_def); }

}  // namespace ostrel_py
