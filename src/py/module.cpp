// Module initialisation of `_ostrel_engine`.
//
// The module object is made once per process. Initialising it again in the
// same interpreter hands back that object; initialising it from another
// (sub-)interpreter fails with ImportError, because the classes and the
// native state behind them belong to the interpreter that created them.

#include "py/binding.hpp"
#include "py/classes.hpp"

#include <cstdint>

namespace ostrel_py {
namespace {

const char kModuleDoc[] =
    "The compiled engine of ostrel, exposed to Python.\n"
    "\n"
    "All gate evaluation runs natively for performance and type safety; the pure-Python\n"
    "package `ostrel` re-exports these classes.";

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    0,  // m_size >= 0: re-imports call the init function again, which returns the first object
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
std::int64_t g_interpreter_id = -1;

using Registrar = bool (*)(PyObject* module);

// The module's attributes in their fixed order. A family that is not built
// yet is simply absent; its entries go at the positions noted.
constexpr Registrar kRegistrars[] = {
    register_gate,                // 1 Gate
    register_action_context,      // 2 ActionContext
    register_geo_location,        // 3 GeoLocation
    register_device_fingerprint,  // 4 DeviceFingerprint
    register_verdict,             // 5 Verdict
    register_permit_token,        // 6 PermitToken
    register_pq_token_signer,     // 7 PqTokenSigner
    register_ostrel_key_pair,     // 8 OstrelKeyPair
    register_public_key_bundle,   // 9 PublicKeyBundle
    register_audit_entry,          // 10 AuditEntry
    register_signed_audit_chain,   // 11 SignedAuditChain
    register_managed_audit_chain,  // 12 ManagedAuditChain
    register_secure_channel,       // 13 SecureChannel
    register_public_key_directory,      // 14 PublicKeyDirectory
    register_directory_token_verifier,  // 15 DirectoryTokenVerifier
    register_redis_rate_limit_store,              // 16 RedisRateLimitStore
    register_redis_session_store,                 // 17 RedisSessionStore
    register_in_memory_session_store,             // 18 InMemorySessionStore
    register_redis_invalidation_broadcaster,      // 19 RedisInvalidationBroadcaster
    register_in_memory_invalidation_broadcaster,  // 20 InMemoryInvalidationBroadcaster
    register_invalidation_scope,                  // 21 InvalidationScope
    register_invalidation_listener_handle,        // 22 InvalidationListenerHandle
    register_spawn_invalidation_listener,         // 23 spawn_invalidation_listener
};

PyObject* create_module() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (g_module != nullptr) {
        if (id != g_interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "_ostrel_engine cannot be initialised in more than one interpreter per process");
            return nullptr;
        }
        Py_INCREF(g_module);
        return g_module;
    }

    if (!init_internal_fault_type()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    for (Registrar r : kRegistrars) {
        if (!r(module.get())) return nullptr;
    }
    g_interpreter_id = id;
    g_module = module.get();
    Py_INCREF(g_module);  // kept for the life of the process
    return module.release();
}

}  // namespace
}  // namespace ostrel_py

extern "C" PyMODINIT_FUNC PyInit__ostrel_engine(void) {
    return ostrel_py::guarded([]() -> PyObject* { return ostrel_py::create_module(); });
}
