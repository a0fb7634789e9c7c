#include "pq/crypto/os_random.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace ostrel_pq::crypto {

namespace {

std::string os_error_text(int err) {
    char buf[256] = {};
    // GNU strerror_r returns the message, which may or may not live in buf.
    const char* msg = strerror_r(err, buf, sizeof buf);
    return std::string(msg != nullptr ? msg : "unknown error");
}

}  // namespace

std::expected<void, CryptoError> os_random_fill(std::span<std::uint8_t> out) noexcept {
    std::size_t done = 0;
    while (done < out.size()) {
        // getrandom returns at most 33554431 bytes per call and may be
        // interrupted by a signal before the pool is ready; loop until done.
        const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ostrel_util::secure_wipe(out.data(), out.size());
            try {
                return std::unexpected(CryptoError(CryptoError::Kind::RandomSource, os_error_text(err)));
            } catch (...) {
                return std::unexpected(CryptoError(CryptoError::Kind::RandomSource, {}));
            }
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::expected<ostrel_util::SecretBytes, CryptoError> os_random_secret(std::size_t n) {
    ostrel_util::SecretBytes out(n);
    if (auto r = os_random_fill(out.span()); !r) return std::unexpected(std::move(r.error()));
    return out;
}

}  // namespace ostrel_pq::crypto
