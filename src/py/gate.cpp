// The Python Gate class: builds a core gate from a policy document and
// options, evaluates contexts and hot-reloads policies.

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/gate.hpp"
#include "core/policy_document.hpp"
#include "core/policy_engine.hpp"
#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "py/gate_build.hpp"
#include "py/json_value.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_py {

namespace core = ostrel_core;

GateOptionHooks& gate_option_hooks() noexcept {
    static GateOptionHooks hooks;
    return hooks;
}

namespace {

// ---------------------------------------------------------------------------
// Docstrings (their first lines are the Python API)

#define OSTREL_GATE_OPTIONS                                                                              \
    "invariants=..., observe_only=False, max_session_actions=None, enable_drift=True, token_signer=None, " \
    "geo_drift_max_km=None, rate_store=None, broadcaster=None)"

#define OSTREL_GATE_OPTIONS_DOC                                                                            \
    "Options (shared by every constructor):\n"                                                             \
    "  invariants: list of (name, parameter, maximum) tuples, each limiting a numeric action\n"            \
    "      parameter to a maximum (default: empty list).\n"                                                \
    "  observe_only: evaluate fully but always hand back an unsigned permit (default False).\n"           \
    "  max_session_actions: cap on the session's action_count (default None: no cap).\n"                   \
    "  enable_drift: add the drift evaluator (location, session age, device, behaviour).\n"                \
    "  token_signer: a PqTokenSigner that signs every permit token (default None).\n"                     \
    "  geo_drift_max_km: tolerated distance for an IP change; None is strict (default None).\n"           \
    "  rate_store: a RedisRateLimitStore shared by replicas; None keeps a private in-memory store.\n"      \
    "  broadcaster: a RedisInvalidationBroadcaster or InMemoryInvalidationBroadcaster that receives\n"     \
    "      the gate's invalidations; None discards them.\n"

const char kGateDoc[] =
    "Gate(policy_toml, " OSTREL_GATE_OPTIONS "\n--\n\n"
    "The authorization gate. All evaluation runs natively: a policy engine over the policy\n"
    "document, then drift detection, then hard invariants; the first refusal or invalidation\n"
    "wins and everything fails closed.\n"
    "\n"
    "policy_toml is a TOML policy document (an empty text refuses everything).\n"
    "\n" OSTREL_GATE_OPTIONS_DOC;

const char kFromDictDoc[] =
    "from_dict(policies, " OSTREL_GATE_OPTIONS "\n--\n\n"
    "Build a gate from a Python dict with the structure of a JSON policy document, using the\n"
    "same vocabulary as the TOML form ({\"policies\": [{\"name\": ..., \"effect\": ...,\n"
    "\"conditions\": [...]}]}). Unknown or misspelt field names raise a clear ValueError\n"
    "instead of being silently dropped.\n"
    "\n" OSTREL_GATE_OPTIONS_DOC;

const char kFromJsonStringDoc[] =
    "from_json_string(json_string, " OSTREL_GATE_OPTIONS "\n--\n\n"
    "Build a gate from a JSON policy document (same vocabulary as the TOML form). Unknown or\n"
    "misspelt field names raise a clear ValueError instead of being silently dropped.\n"
    "\n" OSTREL_GATE_OPTIONS_DOC;

const char kFromJsonFileDoc[] =
    "from_json_file(path, " OSTREL_GATE_OPTIONS "\n--\n\n"
    "Build a gate from a JSON policy file (same vocabulary as the TOML form). Unknown or\n"
    "misspelt field names raise a clear ValueError instead of being silently dropped; an\n"
    "unreadable file raises ValueError naming the path.\n"
    "\n" OSTREL_GATE_OPTIONS_DOC;

const char kEvaluateDoc[] =
    "evaluate($self, ctx)\n--\n\n"
    "Evaluate an ActionContext and return a Verdict (permit, refuse or invalidate).\n"
    "\n"
    "Never raises for the outcome itself: every failure inside the evaluation is a refusal.\n"
    "An observe-only gate always returns an unsigned permit. Evaluating the same context\n"
    "twice reuses its evaluation id.";

const char kReloadDoc[] =
    "reload($self, policy_toml)\n--\n\n"
    "Replace the policies with a new TOML document, atomically; evaluations in flight finish\n"
    "on the old set. On a parse error ValueError is raised and the running policies stay.\n"
    "An empty document is valid and makes the gate refuse everything (kill switch). Only the\n"
    "policies change; invariants, drift detection, signer, broadcaster and rate counts stay.";

// ---------------------------------------------------------------------------
// Options

// Reads the options, parameters 1..8 of every constructor. Type errors are
// raised here, before any policy is read.
bool read_options(const Args& a, GateOptions& o) {
    if (!a.get(1, o.invariants) || !a.get(2, o.observe_only) || !a.get(3, o.max_session_actions) ||
        !a.get(4, o.enable_drift) || !a.get(6, o.geo_drift_max_km))
        return false;

    const GateOptionHooks& hooks = gate_option_hooks();
    if (PyObject* signer = a[5]; signer != nullptr && signer != Py_None) {
        if (hooks.token_signer != nullptr) o.token_signer = hooks.token_signer(signer);
        if (!o.token_signer) {
            raise_wrong_type(signer, "PqTokenSigner");
            prefix_argument_type_error("token_signer");
            return false;
        }
    }
    if (PyObject* store = a[7]; store != nullptr && store != Py_None) {
        if (hooks.rate_store != nullptr) o.rate_store = hooks.rate_store(store);
        if (!o.rate_store) {
            raise_wrong_type(store, "RedisRateLimitStore");
            prefix_argument_type_error("rate_store");
            return false;
        }
    }
    if (PyObject* b = a[8]; b != nullptr && b != Py_None) {
        // Checked only after the policy document was read (ValueError).
        o.broadcaster_given = true;
        if (hooks.redis_broadcaster != nullptr) o.broadcaster = hooks.redis_broadcaster(b);
        if (!o.broadcaster && hooks.memory_broadcaster != nullptr) o.broadcaster = hooks.memory_broadcaster(b);
    }
    return true;
}

PyObject* finish(PyTypeObject* type, core::PolicySet set, GateOptions& options) {
    auto built = build_gate(std::move(set), options);
    if (!built) return raise(PyExc_ValueError, built.error());
    return make_instance<GateObject>(type, std::move(*built));
}

enum class Source { Toml, JsonString, JsonFile, Dict };

PyObject* construct(PyTypeObject* type, Source source, const Signature& sig, PyObject* args, PyObject* kwargs) {
    Args a;
    if (!a.parse(sig, args, kwargs)) return nullptr;

    // Convert every argument before any native work.
    std::string text;
    PyObject* dict = nullptr;
    if (source == Source::Dict) {
        dict = a[0];
    } else if (source == Source::JsonFile) {
        Ref path = Ref::steal(PyOS_FSPath(a[0]));
        if (!path) {
            prefix_argument_type_error(sig.params()[0].name);
            return nullptr;
        }
        if (!from_py(path.get(), text)) {
            prefix_argument_type_error(sig.params()[0].name);
            return nullptr;
        }
    } else if (!a.get(0, text)) {
        return nullptr;
    }
    GateOptions options;
    if (!read_options(a, options)) return nullptr;

    core::PolicySet set;
    switch (source) {
        case Source::Toml: {
            auto r = core::PolicySet::from_toml(text);
            if (!r) return raise_error(PyExc_ValueError, "", r.error());
            set = std::move(*r);
            break;
        }
        case Source::JsonString: {
            auto r = core::PolicySet::from_json(text);
            if (!r) return raise_error(PyExc_ValueError, "policy JSON parse error", r.error().detail());
            set = std::move(*r);
            break;
        }
        case Source::JsonFile: {
            auto r = core::PolicySet::from_json_file(std::filesystem::path(text));
            if (!r) {
                if (r.error().kind == core::PolicyFileError::Kind::Read) return raise(PyExc_ValueError, r.error().display());
                return raise_error(PyExc_ValueError, "policy JSON parse error", r.error().detail);
            }
            set = std::move(*r);
            break;
        }
        case Source::Dict: {
            nlohmann::json value;
            JsonConvertResult conv = python_to_json(dict, value);
            if (!conv.ok) {
                if (!conv.error) return nullptr;  // Python code run by the conversion raised
                return raise_error(PyExc_ValueError, "policy dict parse error", *conv.error);
            }
            auto r = core::PolicySet::from_json_value(value);
            if (!r) return raise_error(PyExc_ValueError, "policy dict parse error", r.error().detail());
            set = std::move(*r);
            break;
        }
    }
    return finish(type, std::move(set), options);
}

PyObject* gate_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("Gate.__new__", kGateDoc);
        return construct(type, Source::Toml, sig, args, kwargs);
    });
}

PyObject* gate_from_dict(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("Gate.from_dict", kFromDictDoc);
        return construct(GateObject::type, Source::Dict, sig, args, kwargs);
    });
}

PyObject* gate_from_json_string(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("Gate.from_json_string", kFromJsonStringDoc);
        return construct(GateObject::type, Source::JsonString, sig, args, kwargs);
    });
}

PyObject* gate_from_json_file(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("Gate.from_json_file", kFromJsonFileDoc);
        return construct(GateObject::type, Source::JsonFile, sig, args, kwargs);
    });
}

// ---------------------------------------------------------------------------
// Methods

PyObject* gate_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("Gate.evaluate", kEvaluateDoc);
        GateObject* obj = as<GateObject>(self);
        Borrow self_borrow = Borrow::shared(obj->borrow);
        if (!self_borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        ActionContextObject* ctx = nullptr;
        if (!a.get(0, ctx)) return nullptr;

        // A blocking entry point must not run on a worker of the shared
        // runtime (e.g. from a listener callback): it could starve the tasks
        // the evaluation waits on.
        if (core::on_runtime_thread()) return raise_internal_fault(core::kBlockingOnWorkerFault);

        Borrow ctx_borrow = Borrow::shared(ctx->borrow);
        if (!ctx_borrow) return nullptr;
        const core::ActionContext copy = ctx->value();
        const core::Gate& gate = *obj->value().gate;
        core::Verdict verdict = gate.observe_only() ? gate.evaluate_observe_only(copy) : gate.evaluate(copy);
        return make_verdict(verdict);
    });
}

PyObject* gate_reload(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("Gate.reload", kReloadDoc);
        GateObject* obj = as<GateObject>(self);
        Borrow self_borrow = Borrow::shared(obj->borrow);
        if (!self_borrow) return nullptr;
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string text;
        if (!a.get(0, text)) return nullptr;
        auto set = core::PolicySet::from_toml(text);
        if (!set) return raise_error(PyExc_ValueError, "", set.error());
        obj->value().engine->reload(std::move(*set));
        return none();
    });
}

PyObject* gate_evaluator_count(const GateHandle& g) { return to_py(std::uint64_t{g.gate->evaluator_count()}); }

PyMethodDef g_gate_methods[] = {
    {"evaluate", as_cfunction(&gate_evaluate), METH_VARARGS | METH_KEYWORDS, kEvaluateDoc},
    {"reload", as_cfunction(&gate_reload), METH_VARARGS | METH_KEYWORDS, kReloadDoc},
    {"from_dict", as_cfunction(&gate_from_dict), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromDictDoc},
    {"from_json_string", as_cfunction(&gate_from_json_string), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     kFromJsonStringDoc},
    {"from_json_file", as_cfunction(&gate_from_json_file), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     kFromJsonFileDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_gate_getset[] = {
    {"evaluator_count", getter<GateObject, gate_evaluator_count>, nullptr, "Number of evaluators in the chain.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool register_gate(PyObject* module) {
    return register_class<GateObject>(module, ClassSpec{.name = "Gate",
                                                        .doc = kGateDoc,
                                                        .basicsize = static_cast<int>(sizeof(GateObject)),
                                                        .tp_new = &gate_new,
                                                        .tp_dealloc = &dealloc<GateObject>,
                                                        .methods = g_gate_methods,
                                                        .getset = g_gate_getset});
}

}  // namespace ostrel_py
