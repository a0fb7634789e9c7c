#include "pq/crypto/chacha20poly1305.hpp"

#include <array>
#include <climits>
#include <string>

#include "pq/crypto/openssl_handles.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::chacha20poly1305 {

namespace {

std::expected<void, CryptoError> check_sizes(std::span<const std::uint8_t> key, std::span<const std::uint8_t> nonce) {
    if (key.size() != kKeyBytes) return std::unexpected(openssl::length_error("ChaCha20-Poly1305 key", kKeyBytes, key.size()));
    if (nonce.size() != kNonceBytes) {
        return std::unexpected(openssl::length_error("ChaCha20-Poly1305 nonce", kNonceBytes, nonce.size()));
    }
    return {};
}

// Feeds `in` through EVP_CipherUpdate in int-sized chunks; with out == nullptr
// the data is associated data. Returns the number of bytes written or -1.
long long cipher_update(EVP_CIPHER_CTX* ctx, std::uint8_t* out, std::span<const std::uint8_t> in) {
    long long written = 0;
    while (!in.empty()) {
        const std::size_t n = in.size() < openssl::kMaxChunk ? in.size() : openssl::kMaxChunk;
        int len = 0;
        if (EVP_CipherUpdate(ctx, out != nullptr ? out + written : nullptr, &len, in.data(), static_cast<int>(n)) != 1) {
            return -1;
        }
        written += len;
        in = in.subspan(n);
    }
    return written;
}

std::expected<openssl::CipherCtxPtr, CryptoError> make_context(std::span<const std::uint8_t> key,
                                                               std::span<const std::uint8_t> nonce, int encrypt) {
    openssl::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_chacha20_poly1305(), nullptr, nullptr, nullptr, encrypt) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(kNonceBytes), nullptr) != 1 ||
        EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data(), encrypt) != 1) {
        return std::unexpected(openssl::backend_error("ChaCha20-Poly1305 init"));
    }
    return ctx;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, CryptoError> seal(std::span<const std::uint8_t> key,
                                                           std::span<const std::uint8_t> nonce,
                                                           std::span<const std::uint8_t> plaintext,
                                                           std::span<const std::uint8_t> aad) {
    if (auto ok = check_sizes(key, nonce); !ok) return std::unexpected(std::move(ok.error()));
    auto ctx = make_context(key, nonce, 1);
    if (!ctx) return std::unexpected(std::move(ctx.error()));

    std::vector<std::uint8_t> out(plaintext.size() + kTagBytes);
    if (cipher_update(ctx->get(), nullptr, aad) < 0) return std::unexpected(openssl::backend_error("ChaCha20-Poly1305 AAD"));
    const long long n = cipher_update(ctx->get(), out.data(), plaintext);
    int final_len = 0;
    if (n < 0 || EVP_CipherFinal_ex(ctx->get(), out.data() + n, &final_len) != 1 ||
        static_cast<std::size_t>(n + final_len) != plaintext.size()) {
        return std::unexpected(openssl::backend_error("ChaCha20-Poly1305 encrypt"));
    }
    if (EVP_CIPHER_CTX_ctrl(ctx->get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagBytes),
                            out.data() + plaintext.size()) != 1) {
        return std::unexpected(openssl::backend_error("ChaCha20-Poly1305 tag"));
    }
    return out;
}

std::expected<std::vector<std::uint8_t>, CryptoError> open(std::span<const std::uint8_t> key,
                                                           std::span<const std::uint8_t> nonce,
                                                           std::span<const std::uint8_t> sealed,
                                                           std::span<const std::uint8_t> aad) {
    if (auto ok = check_sizes(key, nonce); !ok) return std::unexpected(std::move(ok.error()));
    if (sealed.size() < kTagBytes) {
        return std::unexpected(CryptoError(CryptoError::Kind::InvalidLength,
                                           "ChaCha20-Poly1305 sealed data must be at least 16 bytes (the tag), got " +
                                               std::to_string(sealed.size())));
    }
    auto ctx = make_context(key, nonce, 0);
    if (!ctx) return std::unexpected(std::move(ctx.error()));

    const auto ciphertext = sealed.first(sealed.size() - kTagBytes);
    const auto tag = sealed.last<kTagBytes>();
    // OpenSSL's ctrl takes a non-const pointer; it only reads the tag.
    std::array<std::uint8_t, kTagBytes> tag_copy{};
    for (std::size_t i = 0; i < kTagBytes; ++i) tag_copy[i] = tag[i];

    std::vector<std::uint8_t> out(ciphertext.size());
    if (cipher_update(ctx->get(), nullptr, aad) < 0) return std::unexpected(openssl::backend_error("ChaCha20-Poly1305 AAD"));
    const long long n = cipher_update(ctx->get(), out.data(), ciphertext);
    if (n < 0 || EVP_CIPHER_CTX_ctrl(ctx->get(), EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagBytes), tag_copy.data()) != 1) {
        ostrel_util::secure_wipe(out.data(), out.size());
        return std::unexpected(openssl::backend_error("ChaCha20-Poly1305 decrypt"));
    }
    int final_len = 0;
    if (EVP_CipherFinal_ex(ctx->get(), out.data() + n, &final_len) != 1) {
        // Tag mismatch: the tentative plaintext must not escape.
        ostrel_util::secure_wipe(out.data(), out.size());
        openssl::drain_error_queue();
        return std::unexpected(CryptoError(CryptoError::Kind::VerificationFailed,
                                           "ChaCha20-Poly1305 authentication tag mismatch"));
    }
    return out;
}

}  // namespace ostrel_pq::crypto::chacha20poly1305
