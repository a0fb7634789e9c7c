#include "pq/crypto/x25519.hpp"

#include "pq/crypto/openssl_handles.hpp"

namespace ostrel_pq::crypto::x25519 {

namespace {

std::expected<openssl::PkeyPtr, CryptoError> private_key(std::span<const std::uint8_t> secret) {
    if (secret.size() != kSecretKeyBytes) {
        return std::unexpected(openssl::length_error("X25519 secret key", kSecretKeyBytes, secret.size()));
    }
    openssl::PkeyPtr key(EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, secret.data(), secret.size()));
    if (!key) return std::unexpected(openssl::backend_error("X25519 private key"));
    return key;
}

CryptoError all_zero_error() {
    return CryptoError(CryptoError::Kind::InvalidKey,
                       "X25519 shared secret is all zeros (peer public key is a small-order point)");
}

}  // namespace

std::expected<std::vector<std::uint8_t>, CryptoError> public_key_from_secret(std::span<const std::uint8_t> secret) {
    auto key = private_key(secret);
    if (!key) return std::unexpected(std::move(key.error()));
    std::vector<std::uint8_t> pk(kPublicKeyBytes);
    std::size_t len = pk.size();
    if (EVP_PKEY_get_raw_public_key(key->get(), pk.data(), &len) != 1 || len != kPublicKeyBytes) {
        return std::unexpected(openssl::backend_error("X25519 public key"));
    }
    return pk;
}

std::expected<KeyPair, CryptoError> keypair_from_secret(std::span<const std::uint8_t> secret) {
    auto pk = public_key_from_secret(secret);
    if (!pk) return std::unexpected(std::move(pk.error()));
    return KeyPair{ostrel_util::SecretBytes(secret), std::move(*pk)};
}

std::expected<ostrel_util::SecretBytes, CryptoError> shared_secret(std::span<const std::uint8_t> secret,
                                                                   std::span<const std::uint8_t> peer_public) {
    if (peer_public.size() != kPublicKeyBytes) {
        return std::unexpected(openssl::length_error("X25519 public key", kPublicKeyBytes, peer_public.size()));
    }
    auto key = private_key(secret);
    if (!key) return std::unexpected(std::move(key.error()));
    openssl::PkeyPtr peer(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peer_public.data(), peer_public.size()));
    if (!peer) return std::unexpected(openssl::backend_error("X25519 public key"));

    openssl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key->get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
        return std::unexpected(openssl::backend_error("X25519 derive init"));
    }
    ostrel_util::SecretBytes out(kSharedSecretBytes);
    std::size_t len = out.size();
    if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1) {
        // OpenSSL refuses an all-zero result itself; that is the only way a
        // derivation between two well-formed 32-byte keys can fail besides
        // allocation, so report it as the key problem it is.
        const std::string why = openssl::drain_error_queue();
        CryptoError err = all_zero_error();
        return std::unexpected(CryptoError(err.kind(), err.detail() + " [" + why + "]"));
    }
    if (len != kSharedSecretBytes) return std::unexpected(openssl::backend_error("X25519 derive"));

    // Defence in depth in case the library ever stops refusing it: reject an
    // all-zero secret. The bytes are folded without branching; only the
    // final yes/no, which is reported anyway, decides a branch.
    std::uint8_t acc = 0;
    for (const std::uint8_t b : out) acc = static_cast<std::uint8_t>(acc | b);
    if (acc == 0) return std::unexpected(all_zero_error());
    return out;
}

}  // namespace ostrel_pq::crypto::x25519
