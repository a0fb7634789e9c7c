#include "pq/sign.hpp"

#include <nlohmann/json.hpp>

#include "pq/primitives.hpp"
#include "util/uuid.hpp"

namespace ostrel_pq {

using ostrel_util::JsonError;
using ostrel_util::JsonWriter;

// ---- SignedPayload JSON ----------------------------------------------------

void SignedPayload::write_json(JsonWriter& w) const {
    w.begin_object();
    w.key("data").bytes(data);
    w.key("ml_dsa_signature").bytes(ml_dsa_signature);
    w.key("ed25519_signature");
    if (ed25519_signature)
        w.bytes(*ed25519_signature);
    else
        w.null();
    w.field("key_id", key_id);
    w.field("signed_at", signed_at);
    w.field("nonce", nonce);
    w.end_object();
}

std::string SignedPayload::to_json() const {
    JsonWriter w(4 * (data.size() + ml_dsa_signature.size()) + 512);
    write_json(w);
    return w.take();
}

std::expected<SignedPayload, JsonError> SignedPayload::from_json_value(const nlohmann::json& v) {
    auto r = ostrel_util::ObjectReader::open(v, "struct SignedPayload");
    if (!r) return std::unexpected(r.error());
    SignedPayload p;
    auto data = r->byte_array("data");
    if (!data) return std::unexpected(data.error());
    p.data = std::move(*data);
    auto sig = r->byte_array("ml_dsa_signature");
    if (!sig) return std::unexpected(sig.error());
    p.ml_dsa_signature = std::move(*sig);
    auto ed = r->opt_byte_array("ed25519_signature");
    if (!ed) return std::unexpected(ed.error());
    p.ed25519_signature = std::move(*ed);
    auto key_id = r->string("key_id");
    if (!key_id) return std::unexpected(key_id.error());
    p.key_id = std::move(*key_id);
    auto at = r->timestamp("signed_at");
    if (!at) return std::unexpected(at.error());
    p.signed_at = *at;
    auto nonce = r->string("nonce");
    if (!nonce) return std::unexpected(nonce.error());
    p.nonce = std::move(*nonce);
    return p;
}

std::expected<SignedPayload, JsonError> SignedPayload::from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    return from_json_value(*v);
}

// ---- message ---------------------------------------------------------------

Bytes compose_message(std::span<const std::uint8_t> data, std::string_view nonce, const Timestamp& signed_at) {
    const std::string when = signed_at.to_rfc3339_offset();
    Bytes m;
    m.reserve(data.size() + nonce.size() + when.size());
    m.insert(m.end(), data.begin(), data.end());
    m.insert(m.end(), nonce.begin(), nonce.end());
    m.insert(m.end(), when.begin(), when.end());
    return m;
}

// ---- Signer ----------------------------------------------------------------

Signer Signer::from_keypair(const OstrelKeyPair& keypair, bool hybrid) {
    std::optional<SecretBytes> ed;
    if (hybrid) ed = keypair.ed25519_signing_key();
    return Signer(keypair.ml_dsa_signing_key(), keypair.id(), std::move(ed), hybrid);
}

std::expected<SignedPayload, PqError> Signer::sign(std::span<const std::uint8_t> data) const {
    std::string nonce = ostrel_util::Uuid::new_v4().to_string();
    const Timestamp signed_at = ostrel_util::now();
    const Bytes message = compose_message(data, nonce, signed_at);

    if (ml_dsa_seed_.size() != kMlDsaSeedBytes)
        return std::unexpected(PqError::key_generation("ML-DSA seed must be 32 bytes, got " +
                                                       std::to_string(ml_dsa_seed_.size())));
    auto ml_sig = primitives::ml_dsa_sign(std::span<const std::uint8_t, 32>(ml_dsa_seed_.data(), 32), message);
    if (!ml_sig) return std::unexpected(PqError::signing("ML-DSA-65: " + ml_sig.error()));

    std::optional<Bytes> ed_sig;
    if (hybrid_) {
        const std::size_t len = ed25519_seed_ ? ed25519_seed_->size() : 0;
        if (len != kEd25519KeyBytes)
            return std::unexpected(PqError::signing("Ed25519 seed must be 32 bytes, got " + std::to_string(len)));
        auto s = primitives::ed25519_sign(std::span<const std::uint8_t, 32>(ed25519_seed_->data(), 32), message);
        if (!s) return std::unexpected(PqError::signing("Ed25519: " + s.error()));
        ed_sig = std::move(*s);
    }
    return SignedPayload{Bytes(data.begin(), data.end()), std::move(*ml_sig), std::move(ed_sig), key_id_, signed_at,
                         std::move(nonce)};
}

// ---- Verifier --------------------------------------------------------------

Verifier Verifier::from_bundle(const PublicKeyBundle& bundle, bool hybrid) {
    std::optional<Bytes> ed;
    if (hybrid) ed = bundle.ed25519_verifying_key;
    return Verifier(bundle.ml_dsa_verifying_key, std::move(ed), hybrid);
}

std::expected<void, PqError> Verifier::verify(const SignedPayload& payload) const {
    const Bytes message = compose_message(payload.data, payload.nonce, payload.signed_at);

    auto vk = load_ml_dsa_verifying_key(ml_dsa_vk_);
    if (!vk) return std::unexpected(vk.error());
    if (auto ok = vk->verify(message, payload.ml_dsa_signature); !ok) {
        switch (ok.error().failure) {
            case MlDsaVerifyingKey::Failure::BadLength:
                return std::unexpected(PqError::verification_failed(
                    "invalid ML-DSA signature encoding: could not convert slice to array"));
            case MlDsaVerifyingKey::Failure::Decode:
                return std::unexpected(PqError::verification_failed("ML-DSA signature decode failed"));
            case MlDsaVerifyingKey::Failure::Invalid:
                return std::unexpected(PqError::verification_failed("ML-DSA: " + ok.error().message));
        }
    }
    if (!hybrid_) return {};

    if (!payload.ed25519_signature)
        return std::unexpected(PqError::verification_failed("hybrid mode requires Ed25519 signature"));
    static const Bytes kNoKey;
    const Bytes& ed_vk = ed25519_vk_ ? *ed25519_vk_ : kNoKey;
    if (ed_vk.size() != kEd25519KeyBytes)
        return std::unexpected(PqError::verification_failed("Ed25519 verifying key must be 32 bytes, got " +
                                                            std::to_string(ed_vk.size())));
    const Bytes& ed_sig = *payload.ed25519_signature;
    const std::span<const std::uint8_t, 32> ed_key(ed_vk.data(), 32);
    if (auto k = primitives::ed25519_check_key(ed_key); !k)
        return std::unexpected(PqError::verification_failed("Ed25519 VK: " + k.error()));
    if (ed_sig.size() != kEd25519SignatureBytes)
        return std::unexpected(PqError::verification_failed("Ed25519 signature must be 64 bytes, got " +
                                                            std::to_string(ed_sig.size())));
    if (auto ok = primitives::ed25519_verify(ed_key, message,
                                             std::span<const std::uint8_t, 64>(ed_sig.data(), 64));
        !ok)
        return std::unexpected(PqError::verification_failed("Ed25519: " + ok.error()));
    return {};
}

}  // namespace ostrel_pq
