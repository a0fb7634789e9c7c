#include "pq/token.hpp"

#include <nlohmann/json.hpp>

#include "pq/encrypt_json_scan.hpp"
#include "pq/primitives.hpp"
#include "util/time.hpp"

namespace ostrel_pq {

using ostrel_core::OstrelError;
using ostrel_core::PermitToken;
using ostrel_util::JsonError;

// ---- envelope --------------------------------------------------------------

// The text JsonWriter would produce, written directly: the signature arrays
// are nearly all of it.
std::string SignedTokenEnvelope::to_json() const {
    const std::size_t n = ml_dsa_signature.size() + (ed25519_signature ? ed25519_signature->size() : 0);
    std::string out;
    out.reserve(4 * n + key_id.size() + algorithm.size() + 96);
    out += R"({"key_id":)";
    ostrel_util::append_json_string(out, key_id);
    out += R"(,"algorithm":)";
    ostrel_util::append_json_string(out, algorithm);
    out += R"(,"ml_dsa_signature":)";
    detail::append_bytes(out, ml_dsa_signature);
    if (ed25519_signature) {
        out += R"(,"ed25519_signature":)";
        detail::append_bytes(out, *ed25519_signature);
    }
    out.push_back('}');
    return out;
}

namespace detail {

// The generic reader: any JSON text, duplicate keys refused, unknown keys
// ignored, and the error texts callers see. Kept callable on its own so the
// tests can hold the fast path below to it.
std::expected<SignedTokenEnvelope, JsonError> envelope_from_json_generic(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    auto r = ostrel_util::ObjectReader::open(*v, "struct SignedTokenEnvelope");
    if (!r) return std::unexpected(r.error());
    SignedTokenEnvelope e;
    auto key_id = r->string("key_id");
    if (!key_id) return std::unexpected(key_id.error());
    e.key_id = std::move(*key_id);
    auto algorithm = r->string("algorithm");
    if (!algorithm) return std::unexpected(algorithm.error());
    e.algorithm = std::move(*algorithm);
    auto ml = r->byte_array("ml_dsa_signature");
    if (!ml) return std::unexpected(ml.error());
    e.ml_dsa_signature = std::move(*ml);
    auto ed = r->opt_byte_array("ed25519_signature");
    if (!ed) return std::unexpected(ed.error());
    e.ed25519_signature = std::move(*ed);
    return e;
}

}  // namespace detail

namespace {

// The fast path of from_json (see encrypt_json_scan.hpp): the keys in the
// order to_json writes them, plain ASCII strings, plain byte arrays, and no
// other key. nullopt means "not this shape", never "invalid": the generic
// reader then decides, so results and error texts are the same either way.
std::optional<SignedTokenEnvelope> scan_envelope(std::string_view text) {
    detail::JsonScan s(text);
    std::string_view key;
    SignedTokenEnvelope e;
    auto field = [&](std::string_view name) { return s.string(key) && key == name && s.eat(':'); };
    if (!s.eat('{')) return std::nullopt;
    if (!field("key_id") || !s.string(e.key_id) || !s.eat(',')) return std::nullopt;
    if (!field("algorithm") || !s.string(e.algorithm) || !s.eat(',')) return std::nullopt;
    if (!field("ml_dsa_signature") || !s.bytes(e.ml_dsa_signature)) return std::nullopt;
    if (s.eat(',')) {
        if (!field("ed25519_signature")) return std::nullopt;
        e.ed25519_signature.emplace();
        if (!s.bytes(*e.ed25519_signature)) return std::nullopt;
    }
    if (!s.eat('}') || !s.at_end()) return std::nullopt;
    return e;
}

}  // namespace

std::expected<SignedTokenEnvelope, JsonError> SignedTokenEnvelope::from_json(std::string_view text) {
    if (auto fast = scan_envelope(text)) return std::move(*fast);
    return detail::envelope_from_json_generic(text);
}

namespace {

std::string_view as_text(std::span<const std::uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The downgrade guard: the detail text of a rejected algorithm, or nothing.
std::optional<std::string> algorithm_gate(bool hybrid, const std::string& algorithm) {
    if (hybrid) {
        if (algorithm == kAlgorithmHybrid) return std::nullopt;
        return "hybrid verifier rejects non-hybrid algorithm '" + algorithm + "'";
    }
    if (algorithm == kAlgorithmPqOnly) return std::nullopt;
    return "PQ-only verifier expected '" + std::string(kAlgorithmPqOnly) + "', got '" + algorithm + "'";
}

// Which check of a token's signatures failed, with its PqError.
struct TokenCheckFailure {
    enum class Stage { MlDsa, MissingEd25519, Ed25519 } stage;
    PqError error;
};

std::expected<void, TokenCheckFailure> check_ml_dsa(std::span<const std::uint8_t> message, const Bytes& vk_bytes,
                                                    const Bytes& signature) {
    using Stage = TokenCheckFailure::Stage;
    auto vk = load_ml_dsa_verifying_key(vk_bytes);
    if (!vk) return std::unexpected(TokenCheckFailure{Stage::MlDsa, vk.error()});
    if (auto ok = vk->verify(message, signature); !ok) {
        std::string d;
        switch (ok.error().failure) {
            case MlDsaVerifyingKey::Failure::BadLength: d = "ML-DSA sig encoding: could not convert slice to array"; break;
            case MlDsaVerifyingKey::Failure::Decode: d = "ML-DSA signature decode failed"; break;
            case MlDsaVerifyingKey::Failure::Invalid: d = "ML-DSA-65: " + ok.error().message; break;
        }
        return std::unexpected(TokenCheckFailure{Stage::MlDsa, PqError::verification_failed(std::move(d))});
    }
    return {};
}

std::expected<void, TokenCheckFailure> check_ed25519(std::span<const std::uint8_t> message, const Bytes& vk,
                                                     const std::optional<Bytes>& signature) {
    using Stage = TokenCheckFailure::Stage;
    auto fail = [](std::string d) {
        return std::unexpected(TokenCheckFailure{Stage::Ed25519, PqError::verification_failed(std::move(d))});
    };
    if (!signature) return std::unexpected(TokenCheckFailure{Stage::MissingEd25519, {}});
    if (vk.size() != kEd25519KeyBytes) return fail("Ed25519 VK must be 32 bytes, got " + std::to_string(vk.size()));
    const std::span<const std::uint8_t, 32> key(vk.data(), 32);
    if (auto k = primitives::ed25519_check_key(key); !k) return fail("Ed25519 VK: " + k.error());
    if (signature->size() != kEd25519SignatureBytes)
        return fail("Ed25519 sig must be 64 bytes, got " + std::to_string(signature->size()));
    if (auto ok = primitives::ed25519_verify(key, message, std::span<const std::uint8_t, 64>(signature->data(), 64));
        !ok)
        return fail("Ed25519: " + ok.error());
    return {};
}

constexpr std::string_view kMissingEd25519 = "hybrid envelope missing Ed25519 signature";

}  // namespace

// ---- PqTokenSigner ---------------------------------------------------------

std::shared_ptr<PqTokenSigner> PqTokenSigner::pq_only(SecretBytes ml_dsa_seed, Bytes ml_dsa_verifying_key,
                                                      std::string key_id) {
    return std::make_shared<PqTokenSigner>(std::move(ml_dsa_seed), std::move(ml_dsa_verifying_key), std::nullopt,
                                           std::nullopt, std::move(key_id), false);
}

std::shared_ptr<PqTokenSigner> PqTokenSigner::hybrid(SecretBytes ml_dsa_seed, Bytes ml_dsa_verifying_key,
                                                     SecretBytes ed25519_seed, Bytes ed25519_verifying_key,
                                                     std::string key_id) {
    return std::make_shared<PqTokenSigner>(std::move(ml_dsa_seed), std::move(ml_dsa_verifying_key),
                                           std::move(ed25519_seed), std::move(ed25519_verifying_key),
                                           std::move(key_id), true);
}

std::shared_ptr<PqTokenSigner> PqTokenSigner::from_keypair(const OstrelKeyPair& keypair, bool hybrid,
                                                           std::optional<std::string> key_id) {
    std::string id = key_id ? std::move(*key_id) : keypair.id();
    if (hybrid)
        return PqTokenSigner::hybrid(keypair.ml_dsa_signing_key(), keypair.ml_dsa_verifying_key(),
                                     keypair.ed25519_signing_key(), keypair.ed25519_verifying_key(), std::move(id));
    return pq_only(keypair.ml_dsa_signing_key(), keypair.ml_dsa_verifying_key(), std::move(id));
}

std::expected<std::vector<std::uint8_t>, OstrelError> PqTokenSigner::sign(const PermitToken& token) const {
    const Bytes message = token.canonical_bytes();
    if (ml_dsa_seed_.size() != kMlDsaSeedBytes)
        return std::unexpected(OstrelError::serialization(
            PqError::key_generation("ML-DSA seed must be 32 bytes, got " + std::to_string(ml_dsa_seed_.size()))
                .display()));
    auto ml = primitives::ml_dsa_sign(std::span<const std::uint8_t, 32>(ml_dsa_seed_.data(), 32), message);
    if (!ml) return std::unexpected(OstrelError::serialization(PqError::signing("ML-DSA-65: " + ml.error()).display()));

    SignedTokenEnvelope env{key_id_, std::string(kAlgorithmPqOnly), std::move(*ml), std::nullopt};
    if (hybrid_) {
        const std::size_t len = ed25519_seed_ ? ed25519_seed_->size() : 0;
        if (len != kEd25519KeyBytes)
            return std::unexpected(OstrelError::serialization(
                PqError::signing("Ed25519 seed must be 32 bytes, got " + std::to_string(len)).display()));
        auto ed = primitives::ed25519_sign(std::span<const std::uint8_t, 32>(ed25519_seed_->data(), 32), message);
        if (!ed)
            return std::unexpected(OstrelError::serialization(PqError::signing("Ed25519: " + ed.error()).display()));
        env.algorithm = std::string(kAlgorithmHybrid);
        env.ed25519_signature = std::move(*ed);
    }
    const std::string json = env.to_json();
    return std::vector<std::uint8_t>(json.begin(), json.end());
}

std::expected<void, OstrelError> PqTokenSigner::verify(const PermitToken& token,
                                                       std::span<const std::uint8_t> signature) const {
    auto env = SignedTokenEnvelope::from_json(as_text(signature));
    if (!env) return std::unexpected(OstrelError::serialization("token envelope parse: " + env.error().message));
    if (auto rejected = algorithm_gate(hybrid_, env->algorithm))
        return std::unexpected(OstrelError::serialization(std::move(*rejected)));

    const Bytes message = token.canonical_bytes();
    if (auto ok = check_ml_dsa(message, ml_dsa_vk_, env->ml_dsa_signature); !ok)
        return std::unexpected(OstrelError::serialization(ok.error().error.display()));
    if (env->algorithm == kAlgorithmHybrid) {
        static const Bytes kNoKey;
        if (auto ok = check_ed25519(message, ed25519_vk_ ? *ed25519_vk_ : kNoKey, env->ed25519_signature); !ok) {
            if (ok.error().stage == TokenCheckFailure::Stage::MissingEd25519)
                return std::unexpected(OstrelError::serialization(std::string(kMissingEd25519)));
            return std::unexpected(OstrelError::serialization(ok.error().error.display()));
        }
    }
    return {};
}

// ---- DirectoryVerifyError --------------------------------------------------

std::string DirectoryVerifyError::display() const {
    switch (kind_) {
        case Kind::EnvelopeParse: return "token envelope parse: " + detail_;
        case Kind::AlgorithmMismatch: return "algorithm mismatch: " + detail_;
        case Kind::Directory: return directory_ ? directory_->display() : detail_;
        case Kind::SignatureInvalid: return "signature verification failed: " + detail_;
        case Kind::BundleExpired:
            return "keypair expired: bundle '" + detail_ + "' expired at " + expired_at_.to_display();
    }
    return detail_;
}

// ---- DirectoryTokenVerifier ------------------------------------------------

std::expected<void, DirectoryVerifyError> DirectoryTokenVerifier::verify_with_expiry(
    const PermitToken& token, std::span<const std::uint8_t> signature, bool enforce_expiry) const {
    auto env = SignedTokenEnvelope::from_json(as_text(signature));
    if (!env) return std::unexpected(DirectoryVerifyError::envelope_parse(env.error().message));
    if (auto rejected = algorithm_gate(hybrid_, env->algorithm))
        return std::unexpected(DirectoryVerifyError::algorithm_mismatch(std::move(*rejected)));

    auto bundle = directory_->fetch(env->key_id);
    if (!bundle) return std::unexpected(DirectoryVerifyError::directory(bundle.error()));

    if (enforce_expiry && bundle->expires_at && *bundle->expires_at < ostrel_util::now())
        return std::unexpected(DirectoryVerifyError::bundle_expired(env->key_id, *bundle->expires_at));

    const Bytes message = token.canonical_bytes();
    if (auto ok = check_ml_dsa(message, bundle->ml_dsa_verifying_key, env->ml_dsa_signature); !ok)
        return std::unexpected(DirectoryVerifyError::signature_invalid("ML-DSA-65: " + ok.error().error.display()));
    if (hybrid_) {
        if (auto ok = check_ed25519(message, bundle->ed25519_verifying_key, env->ed25519_signature); !ok) {
            if (ok.error().stage == TokenCheckFailure::Stage::MissingEd25519)
                return std::unexpected(DirectoryVerifyError::signature_invalid(std::string(kMissingEd25519)));
            return std::unexpected(DirectoryVerifyError::signature_invalid("Ed25519: " + ok.error().error.display()));
        }
    }
    return {};
}

}  // namespace ostrel_pq
