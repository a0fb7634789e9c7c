#pragma once
// Object layouts of the store, broadcaster and listener classes, shared by
// their class files (stores.cpp, redis_stores.cpp, listener.cpp).
//
// Every store and broadcaster object holds a shared reference to its native
// component: passing it to a gate or to spawn_invalidation_listener shares
// that component, and it lives until its last holder lets go.

#include "py/binding.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "core/in_memory_broadcaster.hpp"
#include "core/session_store.hpp"
#include "core/verdict.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_redis {
class RedisSessionStore;
class RedisRateLimitStore;
class RedisInvalidationBroadcaster;
}  // namespace ostrel_redis

namespace ostrel_py {

// A listener handle: the task's handle until abort() takes it, and the flag
// that tells the task's handler, under the interpreter lock, that the
// listener was aborted (so no callback starts after abort() returned).
struct ListenerHandleData {
    std::optional<ostrel_core::TaskHandle> task;
    std::shared_ptr<std::atomic<bool>> aborted;
};

using InMemorySessionStoreObject =
    Object<struct InMemorySessionStoreTag, std::shared_ptr<ostrel_core::InMemorySessionStore>>;
using RedisSessionStoreObject = Object<struct RedisSessionStoreTag, std::shared_ptr<ostrel_redis::RedisSessionStore>>;
using RedisRateLimitStoreObject =
    Object<struct RedisRateLimitStoreTag, std::shared_ptr<ostrel_redis::RedisRateLimitStore>>;
using InMemoryBroadcasterObject =
    Object<struct InMemoryBroadcasterTag, std::shared_ptr<ostrel_core::InMemoryInvalidationBroadcaster>>;
using RedisBroadcasterObject =
    Object<struct RedisBroadcasterTag, std::shared_ptr<ostrel_redis::RedisInvalidationBroadcaster>>;
using InvalidationScopeObject = Object<struct InvalidationScopeTag, ostrel_core::InvalidationScope>;
using ListenerHandleObject = Object<struct ListenerHandleTag, ListenerHandleData>;

// The session methods shared by both session-store classes. `context` is the
// message prefix ("InMemorySessionStore::invalidate", ...). Both refuse to
// run on a thread of the shared runtime (a listener callback), as every
// blocking entry point does.
PyObject* session_invalidate(ostrel_core::SessionStore& store, const char* context, const std::string& session_id);
PyObject* session_is_invalidated(ostrel_core::SessionStore& store, const char* context,
                                 const std::string& session_id);

}  // namespace ostrel_py
