// Python classes of the in-process backends: InMemorySessionStore and
// InMemoryInvalidationBroadcaster, and the session methods that the Redis
// session store shares with the in-memory one.

#include <memory>
#include <string>
#include <utility>

#include "core/in_memory_broadcaster.hpp"
#include "core/session_store.hpp"
#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "py/stores_family.hpp"
#include "runtime/runtime.hpp"
#include "util/uuid.hpp"

namespace ostrel_py {

namespace core = ostrel_core;

// ---------------------------------------------------------------------------
// Session methods shared by both session stores

PyObject* session_invalidate(core::SessionStore& store, const char* context, const std::string& session_id) {
    // Blocking entry point: never on a worker of the shared runtime.
    if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);

    auto current = store.get(session_id);
    if (!current) return raise_error(PyExc_RuntimeError, context, current.error());

    core::SessionState state;
    if (*current) {
        state = std::move(**current);
    } else {
        // A poison pill: any replica that later asks about this id sees it
        // invalidated. The record carries the id when the id is a UUID.
        state = core::SessionState::create();
        if (auto id = ostrel_util::Uuid::parse(session_id)) state.session_id = *id;
    }
    state.invalidated = true;

    auto written = store.put(session_id, std::move(state));
    if (!written) return raise_error(PyExc_RuntimeError, context, written.error());
    return none();
}

PyObject* session_is_invalidated(core::SessionStore& store, const char* context, const std::string& session_id) {
    if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);

    auto current = store.get(session_id);
    if (!current) return raise_error(PyExc_RuntimeError, context, current.error());
    // Absent is not invalidated.
    return to_py(*current && (*current)->invalidated);
}

namespace {

// ---------------------------------------------------------------------------
// InMemorySessionStore

const char kSessionStoreDoc[] =
    "InMemorySessionStore()\n--\n\n"
    "In-process session store, the default when no Redis store is supplied.\n"
    "\n"
    "Not distributed: sessions live in this process only and are lost when it restarts. Useful\n"
    "for single-replica deployments that want the same session-store code path as multi-node\n"
    "ones (see RedisSessionStore).";

const char kMemInvalidateDoc[] =
    "invalidate($self, session_id)\n--\n\n"
    "Mark a session invalidated.\n"
    "\n"
    "If the session is not in the store yet, a fresh session record flagged invalidated is\n"
    "stored under session_id exactly as given: a poison pill that any later check of this id\n"
    "sees. A stored session keeps everything else (action count, history) and only gains the\n"
    "flag. Failures raise RuntimeError.";

const char kMemIsInvalidatedDoc[] =
    "is_invalidated($self, session_id)\n--\n\n"
    "True if the session is both stored and flagged invalidated; a session never put into the\n"
    "store gives False (absent is not invalidated). Check it before each gated call to honour\n"
    "invalidations. Failures raise RuntimeError.";

PyObject* session_store_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("InMemorySessionStore.__new__", kSessionStoreDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        return make_instance<InMemorySessionStoreObject>(type, core::InMemorySessionStore::create());
    });
}

PyObject* mem_invalidate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("InMemorySessionStore.invalidate", kMemInvalidateDoc);
        auto* obj = as<InMemorySessionStoreObject>(self);
        Borrow borrow = Borrow::shared(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string id;
        if (!a.get(0, id)) return nullptr;
        return session_invalidate(*obj->value(), "InMemorySessionStore::invalidate", id);
    });
}

PyObject* mem_is_invalidated(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("InMemorySessionStore.is_invalidated", kMemIsInvalidatedDoc);
        auto* obj = as<InMemorySessionStoreObject>(self);
        Borrow borrow = Borrow::shared(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string id;
        if (!a.get(0, id)) return nullptr;
        return session_is_invalidated(*obj->value(), "InMemorySessionStore::is_invalidated", id);
    });
}

PyObject* mem_len(const std::shared_ptr<core::InMemorySessionStore>& s) {
    return to_py(std::uint64_t{s->len()});
}

PyMethodDef g_session_store_methods[] = {
    {"invalidate", as_cfunction(&mem_invalidate), METH_VARARGS | METH_KEYWORDS, kMemInvalidateDoc},
    {"is_invalidated", as_cfunction(&mem_is_invalidated), METH_VARARGS | METH_KEYWORDS, kMemIsInvalidatedDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_session_store_getset[] = {
    {"len", getter<InMemorySessionStoreObject, mem_len>, nullptr,
     "Number of sessions currently tracked (observability / tests).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// InMemoryInvalidationBroadcaster

const char kBroadcasterDoc[] =
    "InMemoryInvalidationBroadcaster()\n--\n\n"
    "Process-local invalidation broadcaster, the default when no Redis broadcaster is\n"
    "configured.\n"
    "\n"
    "Pass it as `broadcaster` to Gate: listeners created with spawn_invalidation_listener then\n"
    "receive every invalidation published after they subscribed (the channel keeps the newest\n"
    "1024 scopes for a slow listener). For single-node deployments and for exercising the\n"
    "broadcaster contract without Redis.";

const char kPublishDoc[] =
    "publish($self, target_kind, target_id, reason, evaluator=...)\n--\n\n"
    "Publish an invalidation by hand. Real callers get this through Gate.evaluate when an\n"
    "evaluator returns Invalidate; this exists for tests and scenarios that exercise the\n"
    "subscribe path without routing a synthetic Invalidate through the gate.\n"
    "\n"
    "target_kind is 'session', 'principal' or 'role'; for a session target_id must be a UUID.\n"
    "evaluator defaults to 'manual'. Raises ValueError for an unknown kind or a bad UUID.";

PyObject* broadcaster_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("InMemoryInvalidationBroadcaster.__new__", kBroadcasterDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        return make_instance<InMemoryBroadcasterObject>(type, core::InMemoryInvalidationBroadcaster::create());
    });
}

PyObject* broadcaster_publish(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("InMemoryInvalidationBroadcaster.publish", kPublishDoc);
        auto* obj = as<InMemoryBroadcasterObject>(self);
        Borrow borrow = Borrow::shared(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string kind, id, reason, evaluator = "manual";
        if (!a.get(0, kind) || !a.get(1, id) || !a.get(2, reason) || !a.get(3, evaluator)) return nullptr;

        if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);

        std::optional<core::InvalidationTarget> target;
        if (kind == "session") {
            auto uuid = ostrel_util::Uuid::parse(id);
            if (!uuid) return raise_error(PyExc_ValueError, "target_id not a UUID", uuid.error());
            target = core::InvalidationTarget::session(*uuid);
        } else if (kind == "principal") {
            target = core::InvalidationTarget::principal(std::move(id));
        } else if (kind == "role") {
            target = core::InvalidationTarget::role(std::move(id));
        } else {
            return raise(PyExc_ValueError, "target_kind must be 'session'|'principal'|'role', got '" + kind + "'");
        }

        auto published = obj->value()->publish(
            core::InvalidationScope{.target = std::move(*target), .reason = std::move(reason), .evaluator = std::move(evaluator)});
        if (!published) return raise_error(PyExc_RuntimeError, "publish", published.error());
        return none();
    });
}

PyObject* broadcaster_subscriber_count(const std::shared_ptr<core::InMemoryInvalidationBroadcaster>& b) {
    return to_py(std::uint64_t{b->subscriber_count()});
}

PyMethodDef g_broadcaster_methods[] = {
    {"publish", as_cfunction(&broadcaster_publish), METH_VARARGS | METH_KEYWORDS, kPublishDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_broadcaster_getset[] = {
    {"subscriber_count", getter<InMemoryBroadcasterObject, broadcaster_subscriber_count>, nullptr,
     "Live subscriber count (observability / tests).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The gate's `broadcaster` option accepts this class.
std::shared_ptr<core::InvalidationBroadcaster> memory_broadcaster_of(PyObject* o) {
    if (InMemoryBroadcasterObject::type == nullptr || Py_TYPE(o) != InMemoryBroadcasterObject::type) return nullptr;
    return as<InMemoryBroadcasterObject>(o)->value();
}

}  // namespace

bool register_in_memory_session_store(PyObject* module) {
    return register_class<InMemorySessionStoreObject>(
        module, ClassSpec{.name = "InMemorySessionStore",
                          .doc = kSessionStoreDoc,
                          .basicsize = static_cast<int>(sizeof(InMemorySessionStoreObject)),
                          .tp_new = &session_store_new,
                          .tp_dealloc = &dealloc<InMemorySessionStoreObject>,
                          .methods = g_session_store_methods,
                          .getset = g_session_store_getset});
}

bool register_in_memory_invalidation_broadcaster(PyObject* module) {
    if (!register_class<InMemoryBroadcasterObject>(
            module, ClassSpec{.name = "InMemoryInvalidationBroadcaster",
                              .doc = kBroadcasterDoc,
                              .basicsize = static_cast<int>(sizeof(InMemoryBroadcasterObject)),
                              .tp_new = &broadcaster_new,
                              .tp_dealloc = &dealloc<InMemoryBroadcasterObject>,
                              .methods = g_broadcaster_methods,
                              .getset = g_broadcaster_getset}))
        return false;
    gate_option_hooks().memory_broadcaster = &memory_broadcaster_of;
    return true;
}

}  // namespace ostrel_py
