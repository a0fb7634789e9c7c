// Hybrid public-key encryption: sealing a byte string for one recipient.
//
// The sender encapsulates a fresh secret to the recipient's ML-KEM-768 key
// (FIPS 203) and, in hybrid mode, also runs an ephemeral X25519 agreement
// (RFC 7748) with the recipient's X25519 key. The shared secrets, ML-KEM's
// first, go through HKDF-SHA256 (RFC 5869) with a fixed salt and info into a
// 32-byte ChaCha20-Poly1305 key (RFC 8439); the recipient's key id is the
// associated data. Breaking a hybrid payload therefore needs both key
// agreements broken. The result is a self-contained EncryptedPayload.
//
// Error kinds are part of the contract: problems with the stored ML-KEM key
// material (either side) are KeyGeneration, every other opening problem is
// Decryption, and so is a bad recipient X25519 key when sealing. An X25519
// agreement that comes out all zeros (the peer's point has small order) is
// refused as such a Decryption error too: it would carry no contribution from
// our side. A failing operating-system random source during encapsulation or
// while drawing the ephemeral secret is an internal fault: it is thrown as
// std::runtime_error("OS RNG unavailable") for the binding layer to report,
// never returned as a value.
//
// Every shared secret, the HKDF input and the symmetric key live in
// self-wiping buffers for the duration of one call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "pq/error.hpp"
#include "pq/keys.hpp"
#include "util/json.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq {

inline constexpr std::size_t kMlKemCiphertextBytes = 1088;
inline constexpr std::size_t kMlKemSharedSecretBytes = 32;
inline constexpr std::size_t kAeadKeyBytes = 32;
inline constexpr std::size_t kAeadNonceBytes = 12;
inline constexpr std::size_t kAeadTagBytes = 16;
// HKDF-SHA256 parameters of the payload key (17 and 24 ASCII bytes).
inline constexpr std::string_view kPayloadKeySalt = "mirex-lo-grain-v7";
inline constexpr std::string_view kPayloadKeyInfo = "ostrel-pq-channel-key-v1";

// A sealed message. JSON keys in this order: "kem_ciphertext",
// "encrypted_data" (ciphertext followed by the 16-byte tag), "nonce",
// "auth_tag" (always written empty, never read when opening),
// "ephemeral_x25519_pk" (empty for an ML-KEM-only payload),
// "recipient_key_id", "payload_id" (random UUID text). On input every key is
// required except "ephemeral_x25519_pk" (absent or null reads as empty);
// other keys are ignored, a repeated key is an error.
struct EncryptedPayload {
    Bytes kem_ciphertext;
    Bytes encrypted_data;
    Bytes nonce;
    Bytes auth_tag;
    Bytes ephemeral_x25519_pk;
    std::string recipient_key_id;
    std::string payload_id;

    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    static std::expected<EncryptedPayload, ostrel_util::JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<EncryptedPayload, ostrel_util::JsonError> from_json(std::string_view text);

    bool operator==(const EncryptedPayload&) const = default;
};

// A 32-byte X25519 public key.
struct X25519PublicKey {
    std::array<std::uint8_t, kX25519KeyBytes> bytes{};
};

// Decryption "X25519 public key must be 32 bytes, got {}" for other lengths.
std::expected<X25519PublicKey, PqError> to_x25519_pk(std::span<const std::uint8_t> bytes);

// HKDF-SHA256(salt = kPayloadKeySalt, ikm = ML-KEM secret || X25519 secret
// when present, info = kPayloadKeyInfo) to 32 bytes. The concatenated input
// is wiped. Encryption "HKDF: {}" if the KDF fails.
std::expected<SecretBytes, PqError> derive_symmetric_key(std::span<const std::uint8_t> ml_kem_shared_secret,
                                                         std::optional<std::span<const std::uint8_t>> x25519_shared_secret);

// The sender's view of one recipient. Immutable; safe to share between threads.
class Encryptor {
public:
    // Nothing is validated here; lengths are checked at every sealing.
    Encryptor(Bytes encapsulation_key, std::string recipient_key_id, std::optional<Bytes> x25519_public_key)
        : encapsulation_key_(std::move(encapsulation_key)),
          recipient_key_id_(std::move(recipient_key_id)),
          x25519_public_key_(std::move(x25519_public_key)) {}

    // Hybrid: the bundle's encapsulation key, id and X25519 public key.
    static Encryptor from_bundle(const PublicKeyBundle& bundle);
    // ML-KEM only: the bundle's X25519 key is left out.
    static Encryptor ml_kem_only(const PublicKeyBundle& bundle);

    // Errors: KeyGeneration "invalid ML-KEM EK bytes: could not convert slice
    // to array" and "ML-KEM EK init: {}"; Decryption "X25519 public key must
    // be 32 bytes, got {}" and "X25519 agreement: {}"; Encryption "HKDF: {}",
    // "nonce RNG: {}" and "AEAD encrypt: {}".
    std::expected<EncryptedPayload, PqError> encrypt(std::span<const std::uint8_t> plaintext) const;

    const std::string& recipient_key_id() const noexcept { return recipient_key_id_; }
    bool is_hybrid() const noexcept { return x25519_public_key_.has_value(); }

private:
    Bytes encapsulation_key_;
    std::string recipient_key_id_;
    std::optional<Bytes> x25519_public_key_;
};

// The recipient's own view. Immutable; safe to share between threads.
class Decryptor {
public:
    Decryptor(SecretBytes decapsulation_seed, std::string key_id, std::optional<SecretBytes> x25519_secret)
        : decapsulation_seed_(std::move(decapsulation_seed)),
          key_id_(std::move(key_id)),
          x25519_secret_(std::move(x25519_secret)) {}

    // The key pair's ML-KEM seed, id and X25519 secret.
    static Decryptor from_keypair(const OstrelKeyPair& keypair);
    // Without the X25519 secret: opens ML-KEM-only payloads only.
    static Decryptor ml_kem_only(const OstrelKeyPair& keypair);

    // Checks in this order: recipient key id (Decryption "recipient key id
    // mismatch: payload targeted '{}', decryptor holds '{}'", before any
    // cryptography); seed length (KeyGeneration "invalid ML-KEM DK seed:
    // could not convert slice to array"); ciphertext length (Decryption
    // "ML-KEM ciphertext size: {}"); for a payload with an ephemeral key: an
    // X25519 secret is held ("payload uses hybrid mode but decryptor has no
    // X25519 key"), it is 32 bytes ("X25519 secret key must be 32 bytes, got
    // {}"), the ephemeral key is 32 bytes ("X25519 public key must be 32
    // bytes, got {}"), the agreement is not all zeros ("X25519 agreement:
    // {}"); the nonce is 12 bytes ("nonce must be 12 bytes, got {}"); the
    // tag verifies ("AEAD decrypt: {}"). A tampered ciphertext of the right
    // size decapsulates to an unrelated secret and fails at the tag.
    std::expected<Bytes, PqError> decrypt(const EncryptedPayload& payload) const;

    const std::string& key_id() const noexcept { return key_id_; }
    bool has_x25519() const noexcept { return x25519_secret_.has_value(); }

private:
    SecretBytes decapsulation_seed_;
    std::string key_id_;
    std::optional<SecretBytes> x25519_secret_;
};

}  // namespace ostrel_pq
