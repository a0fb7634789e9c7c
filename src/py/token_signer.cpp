// The Python PqTokenSigner: signs permit tokens (ML-DSA-65, plus Ed25519 in
// hybrid mode) and verifies envelopes made with its own keys. Passed to the
// Gate constructors as token_signer=..., it signs every permit.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/token_signer.hpp"
#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "py/keys_family.hpp"

namespace ostrel_py {

namespace core = ostrel_core;
namespace pq = ostrel_pq;

namespace {

const char kSignerDoc[] =
    "Signs permit tokens with ML-DSA-65 (FIPS 204), and in hybrid mode also with Ed25519.\n"
    "\n"
    "sign() returns the JSON SignedTokenEnvelope bytes that belong in the token's signature;\n"
    "verify() checks an envelope against this signer's own keys. A hybrid signer accepts only\n"
    "hybrid envelopes and a PQ-only signer only PQ-only ones (downgrade guard). Pass a signer\n"
    "as Gate(..., token_signer=signer) to have every permit signed.\n"
    "\n"
    "Signers from generate_pq_only / generate_hybrid hold keys that exist nowhere else and\n"
    "cannot be persisted; for production build the signer from stored keys (pq_only or\n"
    "hybrid with the key bytes, or from_keypair_* with a key pair loaded from its key file).";

const char kPqOnlyDoc[] =
    "pq_only($cls, ml_dsa_signing_key, ml_dsa_verifying_key, key_id)\n--\n\n"
    "A PQ-only signer from the 32-byte ML-DSA-65 seed and the encoded verifying key (any\n"
    "sequence of integers 0..255). Nothing is validated here: wrong keys fail at sign/verify.";

const char kHybridDoc[] =
    "hybrid($cls, ml_dsa_signing_key, ml_dsa_verifying_key, ed25519_signing_key, ed25519_verifying_key, key_id)\n"
    "--\n\n"
    "A hybrid signer from the ML-DSA-65 seed and verifying key and the Ed25519 seed and\n"
    "verifying key. Nothing is validated here: wrong keys fail at sign/verify.";

const char kFromKeypairPqOnlyDoc[] =
    "from_keypair_pq_only($cls, keypair, key_id=None)\n--\n\n"
    "A PQ-only signer from an OstrelKeyPair's ML-DSA keys. The key id is `key_id` when given,\n"
    "else the key pair's id. The keys are copied; the key pair is not kept.";

const char kFromKeypairHybridDoc[] =
    "from_keypair_hybrid($cls, keypair, key_id=None)\n--\n\n"
    "A hybrid signer from an OstrelKeyPair's ML-DSA and Ed25519 keys. The key id is `key_id`\n"
    "when given, else the key pair's id. The keys are copied; the key pair is not kept.";

const char kGeneratePqOnlyDoc[] =
    "generate_pq_only($cls, key_id=None)\n--\n\n"
    "A PQ-only signer from a freshly generated key pair (its ML-DSA part only). The key id\n"
    "defaults to that key pair's id. The keys cannot be persisted: for tests and demos.";

const char kGenerateHybridDoc[] =
    "generate_hybrid($cls, key_id=None)\n--\n\n"
    "A hybrid signer from a freshly generated key pair (its ML-DSA and Ed25519 parts). The\n"
    "key id defaults to that key pair's id. The keys cannot be persisted: for tests and demos.";

const char kSignDoc[] =
    "sign($self, token)\n--\n\n"
    "Sign a PermitToken's canonical bytes; returns the envelope JSON bytes, suitable for the\n"
    "token's signature field. Raises RuntimeError when signing fails (e.g. malformed keys).";

const char kVerifyDoc[] =
    "verify($self, token, signature)\n--\n\n"
    "Check an envelope (bytes) over a PermitToken's canonical bytes with this signer's own\n"
    "keys. Returns None; raises ValueError when the envelope is malformed, of the other mode,\n"
    "or does not verify. The envelope's key id is not compared.";

// Copies lenient key bytes into a self-wiping buffer and wipes the copy.
pq::SecretBytes secret_from(LenientBytes& b) {
    pq::SecretBytes s(std::span<const std::uint8_t>(b.data));
    ostrel_util::secure_wipe(b.data.data(), b.data.size());
    return s;
}

PyObject* make_signer(std::shared_ptr<const pq::PqTokenSigner> signer) {
    TokenSignerHandle h{signer->key_id(), signer, signer->is_hybrid()};
    return new_instance<PqTokenSignerObject>(std::move(h));
}

PyObject* signer_pq_only(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.pq_only", kPqOnlyDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        LenientBytes seed, vk;
        std::string key_id;
        if (!a.get(0, seed) || !a.get(1, vk) || !a.get(2, key_id)) return nullptr;
        return make_signer(pq::PqTokenSigner::pq_only(secret_from(seed), std::move(vk.data), std::move(key_id)));
    });
}

PyObject* signer_hybrid(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.hybrid", kHybridDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        LenientBytes ml_seed, ml_vk, ed_seed, ed_vk;
        std::string key_id;
        if (!a.get(0, ml_seed) || !a.get(1, ml_vk) || !a.get(2, ed_seed) || !a.get(3, ed_vk) || !a.get(4, key_id)) {
            ostrel_util::secure_wipe(ml_seed.data.data(), ml_seed.data.size());
            ostrel_util::secure_wipe(ed_seed.data.data(), ed_seed.data.size());
            return nullptr;
        }
        return make_signer(pq::PqTokenSigner::hybrid(secret_from(ml_seed), std::move(ml_vk.data),
                                                     secret_from(ed_seed), std::move(ed_vk.data), std::move(key_id)));
    });
}

PyObject* from_keypair(PyObject* args, PyObject* kwargs, const Signature& sig, bool hybrid) {
    Args a;
    if (!a.parse(sig, args, kwargs)) return nullptr;
    OstrelKeyPairObject* keypair = nullptr;
    std::optional<std::string> key_id;
    if (!a.get(0, keypair) || !a.get(1, key_id)) return nullptr;
    return make_signer(pq::PqTokenSigner::from_keypair(*keypair->value(), hybrid, std::move(key_id)));
}

PyObject* signer_from_keypair_pq_only(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.from_keypair_pq_only", kFromKeypairPqOnlyDoc);
        return from_keypair(args, kwargs, sig, false);
    });
}

PyObject* signer_from_keypair_hybrid(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.from_keypair_hybrid", kFromKeypairHybridDoc);
        return from_keypair(args, kwargs, sig, true);
    });
}

PyObject* generate(PyObject* args, PyObject* kwargs, const Signature& sig, bool hybrid) {
    Args a;
    if (!a.parse(sig, args, kwargs)) return nullptr;
    std::optional<std::string> key_id;
    if (!a.get(0, key_id)) return nullptr;
    // All four schemes are generated; the key pair (and with it the ML-KEM
    // and X25519 secrets) is wiped when it leaves this scope.
    auto kp = pq::OstrelKeyPair::generate();
    if (!kp) return raise_error(PyExc_RuntimeError, "keypair generation", kp.error());
    return make_signer(pq::PqTokenSigner::from_keypair(*kp, hybrid, std::move(key_id)));
}

PyObject* signer_generate_pq_only(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.generate_pq_only", kGeneratePqOnlyDoc);
        return generate(args, kwargs, sig, false);
    });
}

PyObject* signer_generate_hybrid(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.generate_hybrid", kGenerateHybridDoc);
        return generate(args, kwargs, sig, true);
    });
}

PyObject* signer_sign(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.sign", kSignDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        PermitTokenObject* token = nullptr;
        if (!a.get(0, token)) return nullptr;
        auto signature = as<PqTokenSignerObject>(self)->value().signer->sign(token->value());
        if (!signature) return raise_error(PyExc_RuntimeError, "sign failed", signature.error());
        return to_py_bytes(*signature);
    });
}

PyObject* signer_verify(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PqTokenSigner.verify", kVerifyDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        PermitTokenObject* token = nullptr;
        StrictBytes signature;
        if (!a.get(0, token) || !a.get(1, signature)) return nullptr;
        auto ok = as<PqTokenSignerObject>(self)->value().signer->verify(token->value(), signature.data);
        if (!ok) return raise_error(PyExc_ValueError, "verify failed", ok.error());
        return none();
    });
}

constexpr int kClassMethod = METH_VARARGS | METH_KEYWORDS | METH_CLASS;

PyMethodDef g_signer_methods[] = {
    {"pq_only", as_cfunction(&signer_pq_only), kClassMethod, kPqOnlyDoc},
    {"hybrid", as_cfunction(&signer_hybrid), kClassMethod, kHybridDoc},
    {"from_keypair_pq_only", as_cfunction(&signer_from_keypair_pq_only), kClassMethod, kFromKeypairPqOnlyDoc},
    {"from_keypair_hybrid", as_cfunction(&signer_from_keypair_hybrid), kClassMethod, kFromKeypairHybridDoc},
    {"generate_pq_only", as_cfunction(&signer_generate_pq_only), kClassMethod, kGeneratePqOnlyDoc},
    {"generate_hybrid", as_cfunction(&signer_generate_hybrid), kClassMethod, kGenerateHybridDoc},
    {"sign", as_cfunction(&signer_sign), METH_VARARGS | METH_KEYWORDS, kSignDoc},
    {"verify", as_cfunction(&signer_verify), METH_VARARGS | METH_KEYWORDS, kVerifyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_signer_getset[] = {
    {"key_id", getter<PqTokenSignerObject, [](const TokenSignerHandle& h) { return to_py(h.key_id); }>, nullptr,
     "The key id stamped into every envelope.", nullptr},
    {"is_hybrid", getter<PqTokenSignerObject, [](const TokenSignerHandle& h) { return to_py(h.hybrid); }>, nullptr,
     "True for a hybrid (ML-DSA-65 + Ed25519) signer.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The gate's token_signer option: the shared native signer of a
// PqTokenSigner instance, or null for anything else.
std::shared_ptr<const core::TokenSigner> token_signer_of(PyObject* o) {
    if (PqTokenSignerObject::type == nullptr || Py_TYPE(o) != PqTokenSignerObject::type) return nullptr;
    return as<PqTokenSignerObject>(o)->value().signer;
}

}  // namespace

bool register_pq_token_signer(PyObject* module) {
    if (!register_class<PqTokenSignerObject>(
            module, ClassSpec{.name = "PqTokenSigner",
                              .doc = kSignerDoc,
                              .basicsize = static_cast<int>(sizeof(PqTokenSignerObject)),
                              .tp_new = nullptr,
                              .tp_dealloc = &dealloc<PqTokenSignerObject>,
                              .methods = g_signer_methods,
                              .getset = g_signer_getset}))
        return false;
    gate_option_hooks().token_signer = &token_signer_of;
    return true;
}

}  // namespace ostrel_py
