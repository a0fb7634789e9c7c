#include "pq/crypto/hkdf_sha256.hpp"

#include <openssl/core_names.h>
#include <openssl/params.h>

#include <string>

#include "pq/crypto/openssl_handles.hpp"

namespace ostrel_pq::crypto::hkdf_sha256 {

namespace {

// OpenSSL treats a null octet-string pointer as "absent"; empty inputs are
// passed as a zero-length string at a valid address instead.
void* octets(std::span<const std::uint8_t> s) {
    static const std::uint8_t empty = 0;
    return const_cast<std::uint8_t*>(s.empty() ? &empty : s.data());
}

std::expected<void, CryptoError> check_length(std::size_t length) {
    if (length == 0 || length > kMaxOutputBytes) {
        return std::unexpected(CryptoError(CryptoError::Kind::InvalidLength,
                                           "HKDF-SHA256 output length must be between 1 and " +
                                               std::to_string(kMaxOutputBytes) + " bytes, got " +
                                               std::to_string(length)));
    }
    return {};
}

std::expected<ostrel_util::SecretBytes, CryptoError> run(int mode, std::span<const std::uint8_t> key,
                                                         std::span<const std::uint8_t> salt, bool with_salt,
                                                         std::span<const std::uint8_t> info, bool with_info,
                                                         std::size_t length) {
    openssl::KdfPtr kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    if (!kdf) return std::unexpected(openssl::backend_error("HKDF fetch"));
    openssl::KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx) return std::unexpected(openssl::backend_error("HKDF context"));

    char digest[] = "SHA256";
    OSSL_PARAM params[6];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, octets(key), key.size());
    if (with_salt) params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, octets(salt), salt.size());
    if (with_info) params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, octets(info), info.size());
    params[n] = OSSL_PARAM_construct_end();

    ostrel_util::SecretBytes out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
        return std::unexpected(openssl::backend_error("HKDF-SHA256"));
    }
    return out;
}

}  // namespace

std::expected<ostrel_util::SecretBytes, CryptoError> derive(std::span<const std::uint8_t> ikm,
                                                            std::span<const std::uint8_t> salt,
                                                            std::span<const std::uint8_t> info, std::size_t length) {
    if (auto ok = check_length(length); !ok) return std::unexpected(std::move(ok.error()));
    return run(EVP_KDF_HKDF_MODE_EXTRACT_AND_EXPAND, ikm, salt, !salt.empty(), info, true, length);
}

std::expected<ostrel_util::SecretBytes, CryptoError> extract(std::span<const std::uint8_t> salt,
                                                             std::span<const std::uint8_t> ikm) {
    return run(EVP_KDF_HKDF_MODE_EXTRACT_ONLY, ikm, salt, !salt.empty(), {}, false, kHashBytes);
}

std::expected<ostrel_util::SecretBytes, CryptoError> expand(std::span<const std::uint8_t> prk,
                                                            std::span<const std::uint8_t> info, std::size_t length) {
    if (prk.size() < kHashBytes) {
        return std::unexpected(CryptoError(CryptoError::Kind::InvalidLength,
                                           "HKDF-SHA256 pseudorandom key must be at least 32 bytes, got " +
                                               std::to_string(prk.size())));
    }
    if (auto ok = check_length(length); !ok) return std::unexpected(std::move(ok.error()));
    return run(EVP_KDF_HKDF_MODE_EXPAND_ONLY, prk, {}, false, info, true, length);
}

}  // namespace ostrel_pq::crypto::hkdf_sha256
