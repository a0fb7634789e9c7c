#include "pq/primitives.hpp"

#include "pq/crypto/ed25519.hpp"
#include "pq/crypto/mldsa65.hpp"
#include "pq/crypto/mlkem768.hpp"
#include "pq/crypto/os_random.hpp"
#include "pq/crypto/x25519.hpp"

namespace ostrel_pq::primitives {

namespace mldsa = crypto::mldsa65;

std::expected<void, std::string> random_fill(std::span<std::uint8_t> out) {
    auto ok = crypto::os_random_fill(out);
    if (!ok) return std::unexpected(ok.error().detail());
    return {};
}

Bytes ml_dsa_verifying_key_from_seed(std::span<const std::uint8_t, 32> xi) {
    // The key pair's expanded secret key is a SecretBytes: wiped on release.
    const mldsa::KeyPair kp = mldsa::keygen_internal(xi);
    return Bytes(kp.public_key.begin(), kp.public_key.end());
}

std::expected<Bytes, std::string> ml_dsa_sign(std::span<const std::uint8_t, 32> xi,
                                              std::span<const std::uint8_t> message) {
    auto sig = mldsa::sign_with_seed(xi, message, {}, mldsa::kDeterministicRnd);
    if (!sig) return std::unexpected(sig.error().display());
    return Bytes(sig->begin(), sig->end());
}

std::expected<Bytes, std::string> ml_kem_encapsulation_key_from_seed(std::span<const std::uint8_t> seed) {
    auto kp = crypto::mlkem768::keygen_from_seed(seed);
    if (!kp) return std::unexpected(kp.error().display());
    return std::move(kp->encapsulation_key);
}

std::expected<Bytes, std::string> ed25519_public_key(std::span<const std::uint8_t, 32> seed) {
    auto pk = crypto::ed25519::public_key_from_seed(seed);
    if (!pk) return std::unexpected(pk.error().display());
    return std::move(*pk);
}

std::expected<Bytes, std::string> ed25519_sign(std::span<const std::uint8_t, 32> seed,
                                               std::span<const std::uint8_t> message) {
    auto sig = crypto::ed25519::sign(seed, message);
    if (!sig) return std::unexpected(sig.error().display());
    return std::move(*sig);
}

std::expected<void, std::string> ed25519_check_key(std::span<const std::uint8_t, 32> verifying_key) {
    auto k = crypto::ed25519::check_public_key(verifying_key);
    if (!k) return std::unexpected(k.error().display());
    return {};
}

std::expected<void, std::string> ed25519_verify(std::span<const std::uint8_t, 32> verifying_key,
                                                std::span<const std::uint8_t> message,
                                                std::span<const std::uint8_t, 64> signature) {
    auto ok = crypto::ed25519::verify(verifying_key, message, signature);
    if (!ok) return std::unexpected(ok.error().display());
    return {};
}

std::expected<Bytes, std::string> x25519_public_key(std::span<const std::uint8_t, 32> secret) {
    auto pk = crypto::x25519::public_key_from_secret(secret);
    if (!pk) return std::unexpected(pk.error().display());
    return std::move(*pk);
}

}  // namespace ostrel_pq::primitives
