#pragma once
// Registration entry points of the module's classes. Each adds one class (or
// the module function) to the module and returns false with a Python
// exception set on failure. module.cpp calls them in the module's fixed order.
//
// A class family adds its own `register_<class>` declarations here and its
// entries to module.cpp's table at their positions; its class file defines
// the object layout (`Object<Tag, Native>`), methods, getters and a
// `ClassSpec`, and calls `register_class<...>` (binding.hpp). Options of the
// Gate constructors that take instances of a family's classes are connected
// through `gate_option_hooks()` (gate_family.hpp), set by that family's
// registration function.

#include "py/binding.hpp"

namespace ostrel_py {

// Gate, context and verdict classes (gate.cpp, context.cpp, verdict.cpp).
bool register_gate(PyObject* module);
bool register_action_context(PyObject* module);
bool register_geo_location(PyObject* module);
bool register_device_fingerprint(PyObject* module);
bool register_verdict(PyObject* module);
bool register_permit_token(PyObject* module);

// Key, token-signer and directory classes (keys.cpp, token_signer.cpp,
// directory.cpp); layouts in keys_family.hpp.
bool register_pq_token_signer(PyObject* module);
bool register_ostrel_key_pair(PyObject* module);
bool register_public_key_bundle(PyObject* module);
bool register_public_key_directory(PyObject* module);
bool register_directory_token_verifier(PyObject* module);

// Audit classes (audit.cpp).
bool register_audit_entry(PyObject* module);
bool register_signed_audit_chain(PyObject* module);
bool register_managed_audit_chain(PyObject* module);

// Secure channel (channel.cpp).
bool register_secure_channel(PyObject* module);

// Store, broadcaster and listener classes and the module function
// (stores.cpp, redis_stores.cpp, listener.cpp); layouts in stores_family.hpp.
bool register_redis_rate_limit_store(PyObject* module);
bool register_redis_session_store(PyObject* module);
bool register_in_memory_session_store(PyObject* module);
bool register_redis_invalidation_broadcaster(PyObject* module);
bool register_in_memory_invalidation_broadcaster(PyObject* module);
bool register_invalidation_scope(PyObject* module);
bool register_invalidation_listener_handle(PyObject* module);
bool register_spawn_invalidation_listener(PyObject* module);

}  // namespace ostrel_py
