#include "pq/crypto/sha256.hpp"

#include <optional>

#include "pq/crypto/openssl_handles.hpp"

namespace ostrel_pq::crypto {

namespace {

bool digest_update(EVP_MD_CTX* ctx, std::span<const std::uint8_t> data) noexcept {
    while (!data.empty()) {
        const std::size_t n = data.size() < openssl::kMaxChunk ? data.size() : openssl::kMaxChunk;
        if (EVP_DigestUpdate(ctx, data.data(), n) != 1) return false;
        data = data.subspan(n);
    }
    return true;
}

}  // namespace

std::expected<Sha256Digest, CryptoError> sha256(std::span<const std::uint8_t> data) {
    Sha256 h;
    h.update(data);
    return h.finish();
}

struct Sha256::State {
    openssl::MdCtxPtr ctx;
    std::optional<CryptoError> failure;  // sticky until finish()

    void start() {
        if (!ctx) {
            ctx.reset(EVP_MD_CTX_new());
            if (!ctx) {
                failure = openssl::backend_error("SHA-256 context allocation");
                return;
            }
        }
        if (EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) failure = openssl::backend_error("SHA-256 init");
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { state_->start(); }
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

Sha256& Sha256::update(std::span<const std::uint8_t> data) noexcept {
    if (!state_ || state_->failure || data.empty()) return *this;
    if (!digest_update(state_->ctx.get(), data)) {
        try {
            state_->failure = openssl::backend_error("SHA-256 update");
        } catch (...) {
            state_->failure = CryptoError(CryptoError::Kind::Backend, {});
        }
    }
    return *this;
}

std::expected<Sha256Digest, CryptoError> Sha256::finish() {
    if (!state_) return std::unexpected(CryptoError(CryptoError::Kind::Backend, "SHA-256 hasher used after move"));
    std::expected<Sha256Digest, CryptoError> result;
    if (state_->failure) {
        result = std::unexpected(std::move(*state_->failure));
    } else {
        Sha256Digest out{};
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(state_->ctx.get(), out.data(), &len) != 1 || len != out.size()) {
            result = std::unexpected(openssl::backend_error("SHA-256 final"));
        } else {
            result = out;
        }
    }
    state_->failure.reset();
    state_->start();
    return result;
}

}  // namespace ostrel_pq::crypto
