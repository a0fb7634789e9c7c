#pragma once
// Object layouts of the gate, context and verdict classes, shared by their
// class files (gate.cpp, context.cpp, verdict.cpp) and by class families that
// take or return them.

#include "py/binding.hpp"

#include <memory>
#include <optional>
#include <string>

#include "core/context.hpp"
#include "core/verdict.hpp"

namespace ostrel_core {
class Gate;
class PolicyEngine;
class TokenSigner;
class RateLimitStore;
class InvalidationBroadcaster;
}  // namespace ostrel_core

namespace ostrel_py {

// A Python Gate: the shared core gate and a second handle on its policy
// engine, kept for reload().
struct GateHandle {
    std::shared_ptr<const ostrel_core::Gate> gate;
    std::shared_ptr<ostrel_core::PolicyEngine> engine;
};

// What a Python Verdict exposes: the kind word, the optional texts and, for
// a permit, the token.
struct VerdictData {
    std::string kind;  // "permit", "refuse", "invalidate"
    std::optional<std::string> evaluator;
    std::optional<std::string> reason;
    std::optional<std::string> code;
    std::optional<std::string> token_id;
    std::optional<ostrel_core::PermitToken> token;

    static VerdictData from(const ostrel_core::Verdict& verdict);
};

using GateObject = Object<struct GateTag, GateHandle>;
using ActionContextObject = Object<struct ActionContextTag, ostrel_core::ActionContext>;
using GeoLocationObject = Object<struct GeoLocationTag, ostrel_core::GeoLocation>;
using DeviceFingerprintObject = Object<struct DeviceFingerprintTag, ostrel_core::DeviceFingerprint>;
using VerdictObject = Object<struct VerdictTag, VerdictData>;
using PermitTokenObject = Object<struct PermitTokenTag, ostrel_core::PermitToken>;

// Gate options whose Python classes belong to other class families
// (PqTokenSigner; RedisRateLimitStore; the two broadcaster classes). Each
// family fills in its hook when it registers its class; a hook left empty
// means no instance of that class can exist, so nothing matches it.
// Each hook returns the shared native component held by `o`, or nullptr when
// `o` is not an instance of its class (no exception set).
struct GateOptionHooks {
    std::shared_ptr<const ostrel_core::TokenSigner> (*token_signer)(PyObject* o) = nullptr;        // PqTokenSigner
    std::shared_ptr<ostrel_core::RateLimitStore> (*rate_store)(PyObject* o) = nullptr;             // RedisRateLimitStore
    std::shared_ptr<ostrel_core::InvalidationBroadcaster> (*redis_broadcaster)(PyObject* o) = nullptr;   // RedisInvalidationBroadcaster
    std::shared_ptr<ostrel_core::InvalidationBroadcaster> (*memory_broadcaster)(PyObject* o) = nullptr;  // InMemoryInvalidationBroadcaster
};
GateOptionHooks& gate_option_hooks() noexcept;

// A new Python Verdict for a core verdict.
PyObject* make_verdict(const ostrel_core::Verdict& verdict);

}  // namespace ostrel_py
