#include "pq/encrypt.hpp"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "pq/crypto/chacha20poly1305.hpp"
#include "pq/crypto/hkdf_sha256.hpp"
#include "pq/crypto/mlkem768.hpp"
#include "pq/crypto/os_random.hpp"
#include "pq/crypto/x25519.hpp"
#include "pq/encrypt_json_scan.hpp"
#include "util/uuid.hpp"

namespace ostrel_pq {

using ostrel_util::JsonError;
using ostrel_util::JsonWriter;
namespace mlkem = crypto::mlkem768;

namespace {

constexpr std::string_view kSliceText = "could not convert slice to array";

std::span<const std::uint8_t> ascii(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The random source failing mid-encryption leaves nothing safe to return.
[[noreturn]] void random_source_fault() { throw std::runtime_error("OS RNG unavailable"); }

// X25519 with the length checks already done by the caller; an all-zero
// result (small-order peer point) is refused.
std::expected<SecretBytes, PqError> agree(std::span<const std::uint8_t> secret, const X25519PublicKey& peer) {
    auto ss = crypto::x25519::shared_secret(secret, peer.bytes);
    if (!ss) return std::unexpected(PqError::decryption("X25519 agreement: " + ss.error().display()));
    return std::move(*ss);
}

}  // namespace

// ---- EncryptedPayload JSON -------------------------------------------------

void EncryptedPayload::write_json(JsonWriter& w) const {
    w.begin_object();
    w.key("kem_ciphertext").bytes(kem_ciphertext);
    w.key("encrypted_data").bytes(encrypted_data);
    w.key("nonce").bytes(nonce);
    w.key("auth_tag").bytes(auth_tag);
    w.key("ephemeral_x25519_pk").bytes(ephemeral_x25519_pk);
    w.field("recipient_key_id", recipient_key_id);
    w.field("payload_id", payload_id);
    w.end_object();
}

// The same text as write_json, written directly (the arrays dominate).
std::string EncryptedPayload::to_json() const {
    const std::size_t n = kem_ciphertext.size() + encrypted_data.size() + nonce.size() + auth_tag.size() +
                          ephemeral_x25519_pk.size();
    std::string out;
    out.reserve(4 * n + recipient_key_id.size() + payload_id.size() + 192);
    out += R"({"kem_ciphertext":)";
    detail::append_bytes(out, kem_ciphertext);
    out += R"(,"encrypted_data":)";
    detail::append_bytes(out, encrypted_data);
    out += R"(,"nonce":)";
    detail::append_bytes(out, nonce);
    out += R"(,"auth_tag":)";
    detail::append_bytes(out, auth_tag);
    out += R"(,"ephemeral_x25519_pk":)";
    detail::append_bytes(out, ephemeral_x25519_pk);
    out += R"(,"recipient_key_id":)";
    ostrel_util::append_json_string(out, recipient_key_id);
    out += R"(,"payload_id":)";
    ostrel_util::append_json_string(out, payload_id);
    out.push_back('}');
    return out;
}

std::expected<EncryptedPayload, JsonError> EncryptedPayload::from_json_value(const nlohmann::json& v) {
    auto r = ostrel_util::ObjectReader::open(v, "struct EncryptedPayload");
    if (!r) return std::unexpected(r.error());
    EncryptedPayload p;
    auto kem = r->byte_array("kem_ciphertext");
    if (!kem) return std::unexpected(kem.error());
    p.kem_ciphertext = std::move(*kem);
    auto data = r->byte_array("encrypted_data");
    if (!data) return std::unexpected(data.error());
    p.encrypted_data = std::move(*data);
    auto nonce = r->byte_array("nonce");
    if (!nonce) return std::unexpected(nonce.error());
    p.nonce = std::move(*nonce);
    auto tag = r->byte_array("auth_tag");
    if (!tag) return std::unexpected(tag.error());
    p.auth_tag = std::move(*tag);
    auto eph = r->opt_byte_array("ephemeral_x25519_pk");
    if (!eph) return std::unexpected(eph.error());
    if (*eph) p.ephemeral_x25519_pk = std::move(**eph);
    auto rid = r->string("recipient_key_id");
    if (!rid) return std::unexpected(rid.error());
    p.recipient_key_id = std::move(*rid);
    auto pid = r->string("payload_id");
    if (!pid) return std::unexpected(pid.error());
    p.payload_id = std::move(*pid);
    return p;
}

namespace {

// The fast path of from_json (see encrypt_json_scan.hpp): nullopt means
// "not in the simple subset", never "invalid".
std::optional<EncryptedPayload> scan_payload(std::string_view text) {
    static constexpr std::string_view kKeys[] = {"kem_ciphertext",      "encrypted_data",   "nonce",     "auth_tag",
                                                 "ephemeral_x25519_pk", "recipient_key_id", "payload_id"};
    constexpr unsigned kRequired = 0b1101111;  // all but ephemeral_x25519_pk
    detail::JsonScan s(text);
    if (!s.eat('{')) return std::nullopt;
    EncryptedPayload p;
    Bytes* const byte_fields[] = {&p.kem_ciphertext, &p.encrypted_data, &p.nonce, &p.auth_tag,
                                  &p.ephemeral_x25519_pk};
    unsigned seen = 0;
    if (!s.eat('}')) {
        for (;;) {
            std::string_view key;
            if (!s.string(key) || !s.eat(':')) return std::nullopt;
            unsigned idx = 0;
            while (idx < std::size(kKeys) && kKeys[idx] != key) ++idx;
            if (idx == std::size(kKeys) || (seen & (1u << idx)) != 0) return std::nullopt;
            seen |= 1u << idx;
            const bool ok = idx < 5 ? s.bytes(*byte_fields[idx])
                                    : s.string(idx == 5 ? p.recipient_key_id : p.payload_id);
            if (!ok) return std::nullopt;
            if (s.eat(',')) continue;
            if (!s.eat('}')) return std::nullopt;
            break;
        }
    }
    if (!s.at_end() || (seen & kRequired) != kRequired) return std::nullopt;
    return p;
}

}  // namespace

std::expected<EncryptedPayload, JsonError> EncryptedPayload::from_json(std::string_view text) {
    if (auto fast = scan_payload(text)) return std::move(*fast);
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    return from_json_value(*v);
}

// ---- key material ----------------------------------------------------------

std::expected<X25519PublicKey, PqError> to_x25519_pk(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kX25519KeyBytes)
        return std::unexpected(
            PqError::decryption("X25519 public key must be 32 bytes, got " + std::to_string(bytes.size())));
    X25519PublicKey pk;
    std::copy(bytes.begin(), bytes.end(), pk.bytes.begin());
    return pk;
}

std::expected<SecretBytes, PqError> derive_symmetric_key(std::span<const std::uint8_t> ml_kem_shared_secret,
                                                         std::optional<std::span<const std::uint8_t>> x25519_shared_secret) {
    const std::size_t extra = x25519_shared_secret ? x25519_shared_secret->size() : 0;
    SecretBytes ikm(ml_kem_shared_secret.size() + extra);
    std::copy(ml_kem_shared_secret.begin(), ml_kem_shared_secret.end(), ikm.begin());
    if (x25519_shared_secret)
        std::copy(x25519_shared_secret->begin(), x25519_shared_secret->end(),
                  ikm.begin() + static_cast<std::ptrdiff_t>(ml_kem_shared_secret.size()));
    auto key = crypto::hkdf_sha256::derive(ikm.span(), ascii(kPayloadKeySalt), ascii(kPayloadKeyInfo), kAeadKeyBytes);
    if (!key) return std::unexpected(PqError::encryption("HKDF: " + key.error().display()));
    return std::move(*key);
}

// ---- Encryptor -------------------------------------------------------------

Encryptor Encryptor::from_bundle(const PublicKeyBundle& bundle) {
    return Encryptor(bundle.ml_kem_encapsulation_key, bundle.id, bundle.x25519_public_key);
}

Encryptor Encryptor::ml_kem_only(const PublicKeyBundle& bundle) {
    return Encryptor(bundle.ml_kem_encapsulation_key, bundle.id, std::nullopt);
}

std::expected<EncryptedPayload, PqError> Encryptor::encrypt(std::span<const std::uint8_t> plaintext) const {
    if (encapsulation_key_.size() != mlkem::kEncapsulationKeyBytes)
        return std::unexpected(PqError::key_generation("invalid ML-KEM EK bytes: " + std::string(kSliceText)));

    // Encapsulation validates the key (FIPS 203 section 7.2) before using it.
    auto encapsulated = mlkem::encaps(encapsulation_key_);
    if (!encapsulated) {
        if (encapsulated.error().kind() == crypto::CryptoError::Kind::RandomSource) random_source_fault();
        return std::unexpected(PqError::key_generation("ML-KEM EK init: " + encapsulated.error().display()));
    }

    EncryptedPayload out;
    SecretBytes x25519_ss;
    if (x25519_public_key_) {
        auto peer = to_x25519_pk(*x25519_public_key_);
        if (!peer) return std::unexpected(peer.error());
        auto ephemeral = crypto::os_random_secret(kX25519KeyBytes);
        if (!ephemeral) random_source_fault();
        auto ephemeral_pk = crypto::x25519::public_key_from_secret(ephemeral->span());
        if (!ephemeral_pk)
            return std::unexpected(PqError::encryption("X25519 ephemeral key: " + ephemeral_pk.error().display()));
        auto ss = agree(ephemeral->span(), *peer);
        if (!ss) return std::unexpected(ss.error());
        x25519_ss = std::move(*ss);
        out.ephemeral_x25519_pk = std::move(*ephemeral_pk);
    }

    auto key = derive_symmetric_key(encapsulated->shared_secret.span(),
                                    x25519_public_key_ ? std::optional(x25519_ss.span()) : std::nullopt);
    if (!key) return std::unexpected(key.error());

    out.nonce.assign(kAeadNonceBytes, 0);
    if (auto ok = crypto::os_random_fill(out.nonce); !ok)
        return std::unexpected(PqError::encryption("nonce RNG: " + ok.error().detail()));

    auto sealed = crypto::chacha20poly1305::seal(key->span(), out.nonce, plaintext, ascii(recipient_key_id_));
    if (!sealed) return std::unexpected(PqError::encryption("AEAD encrypt: " + sealed.error().display()));

    out.kem_ciphertext = std::move(encapsulated->ciphertext);
    out.encrypted_data = std::move(*sealed);
    out.recipient_key_id = recipient_key_id_;
    out.payload_id = ostrel_util::Uuid::new_v4().to_string();
    return out;
}

// ---- Decryptor -------------------------------------------------------------

Decryptor Decryptor::from_keypair(const OstrelKeyPair& keypair) {
    return Decryptor(keypair.ml_kem_decapsulation_key(), keypair.id(), keypair.x25519_secret_key());
}

Decryptor Decryptor::ml_kem_only(const OstrelKeyPair& keypair) {
    return Decryptor(keypair.ml_kem_decapsulation_key(), keypair.id(), std::nullopt);
}

std::expected<Bytes, PqError> Decryptor::decrypt(const EncryptedPayload& payload) const {
    if (payload.recipient_key_id != key_id_)
        return std::unexpected(PqError::decryption("recipient key id mismatch: payload targeted '" +
                                                   payload.recipient_key_id + "', decryptor holds '" + key_id_ + "'"));
    if (decapsulation_seed_.size() != mlkem::kKeygenSeedBytes)
        return std::unexpected(PqError::key_generation("invalid ML-KEM DK seed: " + std::string(kSliceText)));

    // Rebuilds the decapsulation key from d || z; the ciphertext length is
    // checked before the expansion.
    auto kem_ss = mlkem::decaps_from_seed(decapsulation_seed_.span(), payload.kem_ciphertext);
    if (!kem_ss) {
        if (kem_ss.error().kind() == crypto::CryptoError::Kind::InvalidLength)
            return std::unexpected(PqError::decryption("ML-KEM ciphertext size: " + kem_ss.error().display()));
        return std::unexpected(PqError::decryption("ML-KEM decapsulation: " + kem_ss.error().display()));
    }

    const bool hybrid = !payload.ephemeral_x25519_pk.empty();
    SecretBytes x25519_ss;
    if (hybrid) {
        if (!x25519_secret_)
            return std::unexpected(PqError::decryption("payload uses hybrid mode but decryptor has no X25519 key"));
        if (x25519_secret_->size() != kX25519KeyBytes)
            return std::unexpected(PqError::decryption("X25519 secret key must be 32 bytes, got " +
                                                       std::to_string(x25519_secret_->size())));
        auto ephemeral = to_x25519_pk(payload.ephemeral_x25519_pk);
        if (!ephemeral) return std::unexpected(ephemeral.error());
        auto ss = agree(x25519_secret_->span(), *ephemeral);
        if (!ss) return std::unexpected(ss.error());
        x25519_ss = std::move(*ss);
    }

    auto key = derive_symmetric_key(kem_ss->span(), hybrid ? std::optional(x25519_ss.span()) : std::nullopt);
    if (!key) return std::unexpected(key.error());

    if (payload.nonce.size() != kAeadNonceBytes)
        return std::unexpected(
            PqError::decryption("nonce must be 12 bytes, got " + std::to_string(payload.nonce.size())));

    auto plain = crypto::chacha20poly1305::open(key->span(), payload.nonce, payload.encrypted_data,
                                                ascii(payload.recipient_key_id));
    if (!plain) return std::unexpected(PqError::decryption("AEAD decrypt: " + plain.error().display()));
    return std::move(*plain);
}

}  // namespace ostrel_pq
