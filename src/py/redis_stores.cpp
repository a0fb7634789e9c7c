// Python classes of the Redis backends: RedisRateLimitStore, RedisSessionStore
// and RedisInvalidationBroadcaster. Each is made by a class method that opens
// its managed connection (at most 5 seconds) while the caller waits, holding
// the interpreter lock: nothing the connection does needs that lock.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/invalidation.hpp"
#include "core/rate_limit.hpp"
#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "py/stores_family.hpp"
#include "redis/broadcaster.hpp"
#include "redis/rate_limit.hpp"
#include "redis/session_store.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_py {

namespace core = ostrel_core;
namespace rd = ostrel_redis;

namespace {

constexpr int kClassMethod = METH_VARARGS | METH_KEYWORDS | METH_CLASS;

// ---------------------------------------------------------------------------
// RedisRateLimitStore

const char kRateStoreDoc[] =
    "Redis-backed distributed rate-limit store.\n"
    "\n"
    "Replaces the default in-memory counter so that rate-limit counts stay consistent across\n"
    "replicas. All state lives under keys prefixed \"ostrel:rl:*\" with a 24-hour retention,\n"
    "matching the in-memory default. Pass it as `rate_store` to Gate.\n"
    "\n"
    "Fail-closed: any Redis error while recording an evaluation makes that evaluation refuse.\n"
    "Made only by RedisRateLimitStore.from_url.";

const char kRateFromUrlDoc[] =
    "from_url($cls, url)\n--\n\n"
    "Construct from a Redis connection URL.\n"
    "\n"
    "The initial connection is made synchronously through the internal runtime (at most 5\n"
    "seconds); transient failures after construction reconnect automatically inside the\n"
    "managed connection.\n"
    "\n"
    "url: \"redis://host:port/db\", or \"rediss://\" for TLS.\n"
    "Raises ValueError for a malformed URL or a failed initial connection.";

PyObject* rate_from_url(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("RedisRateLimitStore.from_url", kRateFromUrlDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string url;
        if (!a.get(0, url)) return nullptr;
        if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);
        auto store = rd::RedisRateLimitStore::from_url(url);
        if (!store) return raise_error(PyExc_ValueError, "RedisRateLimitStore::from_url", store.error());
        return new_instance<RedisRateLimitStoreObject>(std::move(*store));
    });
}

PyMethodDef g_rate_methods[] = {
    {"from_url", as_cfunction(&rate_from_url), kClassMethod, kRateFromUrlDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The gate's `rate_store` option accepts this class.
std::shared_ptr<core::RateLimitStore> rate_store_of(PyObject* o) {
    if (RedisRateLimitStoreObject::type == nullptr || Py_TYPE(o) != RedisRateLimitStoreObject::type) return nullptr;
    return as<RedisRateLimitStoreObject>(o)->value();
}

// ---------------------------------------------------------------------------
// RedisSessionStore

const char kSessionDoc[] =
    "Redis-backed distributed session store, for integrators who manage SessionState directly.\n"
    "\n"
    "Sessions are stored as JSON under \"ostrel:session:*\" keys with a configurable TTL; Redis\n"
    "handles expiry, so no cleanup loop is needed. Every write (including invalidate) starts a\n"
    "fresh TTL.\n"
    "\n"
    "Fail-closed: any Redis error on get or put raises, so the caller refuses instead of\n"
    "treating the session as unknown. Made only by from_url and from_url_with_ttl.";

const char kSessionFromUrlDoc[] =
    "from_url($cls, url)\n--\n\n"
    "Construct from a Redis URL with the default 24-hour TTL per session. The initial\n"
    "connection is made before this returns (at most 5 seconds); a malformed URL or a failed\n"
    "connection raises ValueError.";

const char kSessionFromUrlTtlDoc[] =
    "from_url_with_ttl($cls, url, ttl_secs)\n--\n\n"
    "Construct from a Redis URL with a custom per-session TTL in seconds. A TTL of 0 is\n"
    "rejected with ValueError, since Redis treats it as expire-immediately, which would make\n"
    "the store useless. A malformed URL or a failed connection raises ValueError.";

const char kSessionInvalidateDoc[] =
    "invalidate($self, session_id)\n--\n\n"
    "Mark a session invalidated, persisting across replicas.\n"
    "\n"
    "If the session is not yet in the store, a fresh session record flagged invalidated is\n"
    "created under session_id: a poison pill that any peer checking this session id later\n"
    "sees. The read and the write are two operations: a concurrent update by another replica\n"
    "is overwritten. Redis errors raise RuntimeError.";

const char kSessionIsInvalidatedDoc[] =
    "is_invalidated($self, session_id)\n--\n\n"
    "True if the session is both stored and flagged invalidated; a session never put into the\n"
    "store gives False (absent is not invalidated). Use it to honour cross-node invalidation\n"
    "before each gated call. Redis errors raise RuntimeError.";

PyObject* session_construct(const char* context, const std::string& url, std::uint64_t ttl) {
    if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);
    auto store = rd::RedisSessionStore::from_url_with_ttl(url, ttl);
    if (!store) return raise_error(PyExc_ValueError, context, store.error());
    return new_instance<RedisSessionStoreObject>(std::move(*store));
}

PyObject* session_from_url(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("RedisSessionStore.from_url", kSessionFromUrlDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string url;
        if (!a.get(0, url)) return nullptr;
        return session_construct("RedisSessionStore::from_url", url, rd::RedisSessionStore::kDefaultTtlSecs);
    });
}

PyObject* session_from_url_with_ttl(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("RedisSessionStore.from_url_with_ttl", kSessionFromUrlTtlDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string url;
        std::uint64_t ttl = 0;
        if (!a.get(0, url) || !a.get(1, ttl)) return nullptr;
        return session_construct("RedisSessionStore::from_url_with_ttl", url, ttl);
    });
}

PyObject* session_invalidate_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("RedisSessionStore.invalidate", kSessionInvalidateDoc);
        auto* obj = as<RedisSessionStoreObject>(self);
        Borrow borrow = Borrow::shared(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string id;
        if (!a.get(0, id)) return nullptr;
        return session_invalidate(*obj->value(), "RedisSessionStore::invalidate", id);
    });
}

PyObject* session_is_invalidated_method(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("RedisSessionStore.is_invalidated", kSessionIsInvalidatedDoc);
        auto* obj = as<RedisSessionStoreObject>(self);
        Borrow borrow = Borrow::shared(obj->borrow);
        if (!borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string id;
        if (!a.get(0, id)) return nullptr;
        return session_is_invalidated(*obj->value(), "RedisSessionStore::is_invalidated", id);
    });
}

PyMethodDef g_session_methods[] = {
    {"from_url", as_cfunction(&session_from_url), kClassMethod, kSessionFromUrlDoc},
    {"from_url_with_ttl", as_cfunction(&session_from_url_with_ttl), kClassMethod, kSessionFromUrlTtlDoc},
    {"invalidate", as_cfunction(&session_invalidate_method), METH_VARARGS | METH_KEYWORDS, kSessionInvalidateDoc},
    {"is_invalidated", as_cfunction(&session_is_invalidated_method), METH_VARARGS | METH_KEYWORDS,
     kSessionIsInvalidatedDoc},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// RedisInvalidationBroadcaster

const char kBroadcasterDoc[] =
    "Redis publish/subscribe invalidation broadcaster.\n"
    "\n"
    "Pass it as `broadcaster` to Gate so that an Invalidate verdict on any node fans out to every\n"
    "node subscribed to the same channel; listeners created with spawn_invalidation_listener on\n"
    "any of them receive it (this node hears its own invalidations back from Redis). Delivery is\n"
    "at most once: a node whose subscription is down misses what is published meanwhile.\n"
    "\n"
    "Fail-closed: publish errors never downgrade a local verdict; an Invalidate stands even if\n"
    "peers cannot be told. Made only by from_url; Python code cannot publish on it directly.";

const char kBroadcasterFromUrlDoc[] =
    "from_url($cls, url, channel)\n--\n\n"
    "Construct from a Redis URL and a publish/subscribe channel name.\n"
    "\n"
    "Opens the publishing connection (at most 5 seconds) and starts a background task that\n"
    "bridges Redis messages into a local broadcast channel, subscribing again 2 seconds after\n"
    "its subscription breaks. The task is aborted when the last copy of this broadcaster (this\n"
    "object, or a gate it was given to) is released. Raises ValueError for a malformed URL or a\n"
    "failed initial connection.";

PyObject* broadcaster_from_url(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("RedisInvalidationBroadcaster.from_url", kBroadcasterFromUrlDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string url, channel;
        if (!a.get(0, url) || !a.get(1, channel)) return nullptr;
        if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);
        auto b = rd::RedisInvalidationBroadcaster::from_url(url, std::move(channel));
        if (!b) return raise_error(PyExc_ValueError, "RedisInvalidationBroadcaster::from_url", b.error());
        return new_instance<RedisBroadcasterObject>(std::move(*b));
    });
}

PyMethodDef g_broadcaster_methods[] = {
    {"from_url", as_cfunction(&broadcaster_from_url), kClassMethod, kBroadcasterFromUrlDoc},
    {nullptr, nullptr, 0, nullptr},
};

// The gate's `broadcaster` option accepts this class.
std::shared_ptr<core::InvalidationBroadcaster> redis_broadcaster_of(PyObject* o) {
    if (RedisBroadcasterObject::type == nullptr || Py_TYPE(o) != RedisBroadcasterObject::type) return nullptr;
    return as<RedisBroadcasterObject>(o)->value();
}

}  // namespace

bool register_redis_rate_limit_store(PyObject* module) {
    if (!register_class<RedisRateLimitStoreObject>(
            module, ClassSpec{.name = "RedisRateLimitStore",
                              .doc = kRateStoreDoc,
                              .basicsize = static_cast<int>(sizeof(RedisRateLimitStoreObject)),
                              .tp_new = nullptr,
                              .tp_dealloc = &dealloc<RedisRateLimitStoreObject>,
                              .methods = g_rate_methods}))
        return false;
    gate_option_hooks().rate_store = &rate_store_of;
    return true;
}

bool register_redis_session_store(PyObject* module) {
    return register_class<RedisSessionStoreObject>(
        module, ClassSpec{.name = "RedisSessionStore",
                          .doc = kSessionDoc,
                          .basicsize = static_cast<int>(sizeof(RedisSessionStoreObject)),
                          .tp_new = nullptr,
                          .tp_dealloc = &dealloc<RedisSessionStoreObject>,
                          .methods = g_session_methods});
}

bool register_redis_invalidation_broadcaster(PyObject* module) {
    if (!register_class<RedisBroadcasterObject>(
            module, ClassSpec{.name = "RedisInvalidationBroadcaster",
                              .doc = kBroadcasterDoc,
                              .basicsize = static_cast<int>(sizeof(RedisBroadcasterObject)),
                              .tp_new = nullptr,
                              .tp_dealloc = &dealloc<RedisBroadcasterObject>,
                              .methods = g_broadcaster_methods}))
        return false;
    gate_option_hooks().redis_broadcaster = &redis_broadcaster_of;
    return true;
}

}  // namespace ostrel_py
