// The error value of the low-level cryptographic primitives (ML-KEM-768 and
// the OpenSSL-backed classical primitives). Callers in higher layers wrap it
// into their own error types and embed display() as "the library's message".
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace ostrel_pq::crypto {

class CryptoError {
public:
    enum class Kind {
        InvalidLength,       // an input has the wrong number of bytes
        InvalidKey,          // a key of the right length fails its validity check
        VerificationFailed,  // a signature or an authentication tag does not verify
        RandomSource,        // the operating system's random source failed
        Backend,             // the underlying library reported a failure
    };

    CryptoError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }

    // "<kind prefix>: <detail>", for example
    // "invalid length: ML-KEM-768 ciphertext must be 1088 bytes, got 1087".
    std::string display() const {
        std::string out(prefix(kind_));
        out += ": ";
        out += detail_;
        return out;
    }

    static std::string_view prefix(Kind kind) noexcept {
        switch (kind) {
            case Kind::InvalidLength: return "invalid length";
            case Kind::InvalidKey: return "invalid key";
            case Kind::VerificationFailed: return "verification failed";
            case Kind::RandomSource: return "random source failure";
            case Kind::Backend: return "crypto backend failure";
        }
        return "crypto error";
    }

    friend bool operator==(const CryptoError&, const CryptoError&) = default;

private:
    Kind kind_;
    std::string detail_;
};

}  // namespace ostrel_pq::crypto
