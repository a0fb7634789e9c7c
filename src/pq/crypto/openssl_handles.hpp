// Internal to the OpenSSL-backed primitives of this directory: owning
// handles for OpenSSL objects and the conversion of OpenSSL's thread-local
// error queue into a CryptoError. Include from .cpp files only.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <string>
#include <string_view>

#include "pq/crypto/crypto_error.hpp"

namespace ostrel_pq::crypto::openssl {

template <auto FreeFn>
struct Free {
    template <typename T>
    void operator()(T* p) const noexcept {
        FreeFn(p);
    }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Free<EVP_CIPHER_CTX_free>>;
using KdfPtr = std::unique_ptr<EVP_KDF, Free<EVP_KDF_free>>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, Free<EVP_KDF_CTX_free>>;

// Empties this thread's OpenSSL error queue and returns the text of the
// earliest error in it ("no error reported by OpenSSL" if it was empty), so
// that a later operation never sees a stale error.
inline std::string drain_error_queue() {
    std::string text;
    unsigned long code = 0;
    while ((code = ERR_get_error()) != 0) {
        if (text.empty()) {
            char buf[256] = {};
            ERR_error_string_n(code, buf, sizeof buf);
            text = buf;
        }
    }
    return text.empty() ? std::string("no error reported by OpenSSL") : text;
}

// A Backend error "<operation>: <OpenSSL's error text>".
inline CryptoError backend_error(std::string_view operation) {
    std::string detail(operation);
    detail += ": ";
    detail += drain_error_queue();
    return CryptoError(CryptoError::Kind::Backend, std::move(detail));
}

inline CryptoError length_error(std::string_view what, std::size_t expected, std::size_t got) {
    std::string detail(what);
    detail += " must be " + std::to_string(expected) + " bytes, got " + std::to_string(got);
    return CryptoError(CryptoError::Kind::InvalidLength, std::move(detail));
}

// OpenSSL's EVP update functions take int lengths; larger inputs are fed in
// chunks of this size.
inline constexpr std::size_t kMaxChunk = std::size_t{1} << 30;

}  // namespace ostrel_pq::crypto::openssl
