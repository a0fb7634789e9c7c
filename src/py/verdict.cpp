// Python classes carrying an evaluation's result: Verdict and PermitToken.

#include <string>
#include <utility>

#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "util/time.hpp"
#include "util/uuid.hpp"

namespace ostrel_py {

namespace core = ostrel_core;

VerdictData VerdictData::from(const core::Verdict& verdict) {
    VerdictData d;
    if (const core::PermitToken* token = verdict.permit()) {
        d.kind = "permit";
        d.token_id = token->token_id.to_string();
        d.token = *token;
    } else if (const core::RefuseReason* refusal = verdict.refusal()) {
        d.kind = "refuse";
        d.evaluator = refusal->evaluator;
        d.reason = refusal->reason;
        d.code = std::string(core::refuse_code_text(refusal->code));
    } else if (const core::InvalidationScope* scope = verdict.invalidation()) {
        d.kind = "invalidate";
        d.evaluator = scope->evaluator;
        d.reason = scope->reason;
    }
    return d;
}

PyObject* make_verdict(const core::Verdict& verdict) { return new_instance<VerdictObject>(VerdictData::from(verdict)); }

namespace {

// ---------------------------------------------------------------------------
// Verdict

const char kVerdictDoc[] =
    "The gate verdict returned to Python.\n"
    "\n"
    "`kind` is \"permit\", \"refuse\" or \"invalidate\". Refusals carry `evaluator`, `reason`\n"
    "and `code`; invalidations `evaluator` and `reason`; permits `token_id`, `permit_token`\n"
    "and, when the gate signs, `signature`. Verdicts are only returned by Gate.evaluate.";

PyObject* verdict_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const VerdictData& v = as<VerdictObject>(self)->value();
        auto field = [](const std::optional<std::string>& s) { return s ? *s : std::string("?"); };
        std::string text;
        if (v.kind == "permit") {
            text = "Verdict.Permit(token=" + field(v.token_id) + ")";
        } else if (v.kind == "refuse") {
            text = "Verdict.Refuse(evaluator=" + field(v.evaluator) + ", reason=" + field(v.reason) + ")";
        } else {
            text = "Verdict.Invalidate(reason=" + field(v.reason) + ")";
        }
        return to_py(text);
    });
}

PyObject* verdict_permit_token(const VerdictData& v) {
    if (!v.token) return none();
    return new_instance<PermitTokenObject>(*v.token);
}

PyObject* verdict_signature(const VerdictData& v) {
    if (!v.token || !v.token->signature) return none();
    return to_py_bytes(*v.token->signature);
}

PyGetSetDef g_verdict_getset[] = {
    {"kind", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.kind); }>, nullptr,
     "\"permit\", \"refuse\" or \"invalidate\".", nullptr},
    {"evaluator", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.evaluator); }>, nullptr,
     "The deciding evaluator (refusals and invalidations), else None.", nullptr},
    {"reason", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.reason); }>, nullptr,
     "The human-readable reason (refusals and invalidations), else None.", nullptr},
    {"code", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.code); }>, nullptr,
     "The refusal code, e.g. \"POLICY_DENIED\" (refusals only), else None.", nullptr},
    {"token_id", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.token_id); }>, nullptr,
     "The permit token's id (permits only), else None.", nullptr},
    {"is_permit", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.kind == "permit"); }>, nullptr,
     "True for a permit.", nullptr},
    {"is_refuse", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.kind == "refuse"); }>, nullptr,
     "True for a refusal.", nullptr},
    {"is_invalidate", getter<VerdictObject, [](const VerdictData& v) { return to_py(v.kind == "invalidate"); }>,
     nullptr, "True for an invalidation.", nullptr},
    {"permit_token", getter<VerdictObject, verdict_permit_token>, nullptr,
     "The full permit token (with signature) for a permit; None otherwise.", nullptr},
    {"signature", getter<VerdictObject, verdict_signature>, nullptr,
     "Convenience: raw signature bytes (or None if unsigned / not Permit).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// PermitToken

const char kTokenDoc[] =
    "PermitToken(token_id, evaluation_id, issued_at, expires_at, action_name, signature=None)\n--\n\n"
    "A signed permit token: proof that the gate ran and permitted the action.\n"
    "\n"
    "Obtained from a verdict's `permit_token`, or built on the verifier side from the wire\n"
    "fields: token_id and evaluation_id as UUID text, issued_at and expires_at in Unix\n"
    "seconds, the action name and the signature bytes. The signature carries the JSON\n"
    "SignedTokenEnvelope produced by PqTokenSigner.sign.";

const char kCanonicalDoc[] =
    "canonical_bytes($self)\n--\n\n"
    "The exact bytes a signer signs: token id (16), evaluation id (16), issued_at and\n"
    "expires_at as little-endian signed 64-bit Unix seconds, then the action name in UTF-8.\n"
    "The signature is not part of them.";

PyObject* token_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PermitToken.__new__", kTokenDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string token_id, evaluation_id, action_name;
        std::int64_t issued_at = 0, expires_at = 0;
        std::optional<LenientBytes> signature;
        if (!a.get(0, token_id) || !a.get(1, evaluation_id) || !a.get(2, issued_at) || !a.get(3, expires_at) ||
            !a.get(4, action_name) || !a.get(5, signature))
            return nullptr;

        core::PermitToken t;
        auto tid = ostrel_util::Uuid::parse(token_id);
        if (!tid) return raise_error(PyExc_ValueError, "token_id not a UUID", tid.error());
        auto eid = ostrel_util::Uuid::parse(evaluation_id);
        if (!eid) return raise_error(PyExc_ValueError, "evaluation_id not a UUID", eid.error());
        auto issued = ostrel_util::Timestamp::from_unix(issued_at);
        if (!issued) return raise(PyExc_ValueError, "issued_at out of range");
        auto expires = ostrel_util::Timestamp::from_unix(expires_at);
        if (!expires) return raise(PyExc_ValueError, "expires_at out of range");
        t.token_id = *tid;
        t.evaluation_id = *eid;
        t.issued_at = *issued;
        t.expires_at = *expires;
        t.action_name = std::move(action_name);
        if (signature) t.signature = std::move(signature->data);
        return make_instance<PermitTokenObject>(type, std::move(t));
    });
}

PyObject* token_canonical_bytes(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* { return to_py_bytes(as<PermitTokenObject>(self)->value().canonical_bytes()); });
}

PyObject* token_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const core::PermitToken& t = as<PermitTokenObject>(self)->value();
        return to_py("PermitToken(token_id=" + t.token_id.to_string() + ", action=" + t.action_name +
                     ", signed=" + (t.signature ? "true" : "false") + ")");
    });
}

PyMethodDef g_token_methods[] = {
    {"canonical_bytes", as_cfunction(&token_canonical_bytes), METH_NOARGS, kCanonicalDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_token_getset[] = {
    {"token_id", getter<PermitTokenObject, [](const core::PermitToken& t) { return to_py(t.token_id.to_string()); }>,
     nullptr, "Token id, lower-case hyphenated UUID text.", nullptr},
    {"evaluation_id",
     getter<PermitTokenObject, [](const core::PermitToken& t) { return to_py(t.evaluation_id.to_string()); }>,
     nullptr, "Evaluation id of the context that was evaluated, UUID text.", nullptr},
    {"issued_at",
     getter<PermitTokenObject, [](const core::PermitToken& t) { return to_py(std::int64_t{t.issued_at.unix_seconds()}); }>,
     nullptr, "Issue time in whole Unix seconds.", nullptr},
    {"expires_at",
     getter<PermitTokenObject, [](const core::PermitToken& t) { return to_py(std::int64_t{t.expires_at.unix_seconds()}); }>,
     nullptr, "Expiry time in whole Unix seconds.", nullptr},
    {"action_name", getter<PermitTokenObject, [](const core::PermitToken& t) { return to_py(t.action_name); }>,
     nullptr, "The permitted action's name.", nullptr},
    {"signature",
     getter<PermitTokenObject,
            [](const core::PermitToken& t) { return t.signature ? to_py_bytes(*t.signature) : none(); }>,
     nullptr, "Signature bytes, or None when unsigned.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool register_verdict(PyObject* module) {
    return register_class<VerdictObject>(module, ClassSpec{.name = "Verdict",
                                                           .doc = kVerdictDoc,
                                                           .basicsize = static_cast<int>(sizeof(VerdictObject)),
                                                           .tp_new = nullptr,
                                                           .tp_dealloc = &dealloc<VerdictObject>,
                                                           .getset = g_verdict_getset,
                                                           .repr = &verdict_repr});
}

bool register_permit_token(PyObject* module) {
    return register_class<PermitTokenObject>(
        module, ClassSpec{.name = "PermitToken",
                          .doc = kTokenDoc,
                          .basicsize = static_cast<int>(sizeof(PermitTokenObject)),
                          .tp_new = &token_new,
                          .tp_dealloc = &dealloc<PermitTokenObject>,
                          .methods = g_token_methods,
                          .getset = g_token_getset,
                          .repr = &token_repr});
}

}  // namespace ostrel_py
