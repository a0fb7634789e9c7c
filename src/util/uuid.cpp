#include "util/uuid.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace ostrel_util {
namespace {

// Random bytes are drawn from OpenSSL in blocks and handed out 16 at a time,
// per thread. A fork child must not reuse its parent's buffered bytes, so a
// fork bumps a generation counter that invalidates every buffer.
std::atomic<std::uint64_t> g_fork_generation{0};

void on_fork_child() { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct RandomPool {
    static constexpr std::size_t kSize = 16 * 32;
    std::uint8_t bytes[kSize];
    std::size_t used = kSize;
    std::uint64_t generation = ~std::uint64_t{0};

    RandomPool() = default;
    RandomPool(const RandomPool&) = delete;
    ~RandomPool() { OPENSSL_cleanse(bytes, sizeof bytes); }

    void take16(std::uint8_t* out) {
        static const int registered = pthread_atfork(nullptr, nullptr, on_fork_child);
        (void)registered;
        const std::uint64_t gen = g_fork_generation.load(std::memory_order_relaxed);
        if (used + 16 > kSize || generation != gen) {
            if (RAND_bytes(bytes, static_cast<int>(kSize)) != 1) {
                std::fputs("ostrel: operating-system random source failed\n", stderr);
                std::abort();
            }
            used = 0;
            generation = gen;
        }
        std::memcpy(out, bytes + used, 16);
        OPENSSL_cleanse(bytes + used, 16);
        used += 16;
    }
};

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr char kHex[] = "0123456789abcdef";

UuidError err(std::string m) { return UuidError{std::move(m)}; }

std::string quoted_char(char c) {
    const auto uc = static_cast<unsigned char>(c);
    if (uc >= 0x20 && uc < 0x7f) return std::string("`") + c + "`";
    char buf[16];
    std::snprintf(buf, sizeof buf, "byte 0x%02x", uc);
    return buf;
}

}  // namespace

Uuid Uuid::new_v4() {
    thread_local RandomPool pool;
    std::array<std::uint8_t, 16> b;
    pool.take16(b.data());
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3f) | 0x80);
    return Uuid(b);
}

Uuid Uuid::from_bytes(std::span<const std::uint8_t, 16> bytes) noexcept {
    std::array<std::uint8_t, 16> b;
    std::memcpy(b.data(), bytes.data(), 16);
    return Uuid(b);
}

bool Uuid::is_nil() const noexcept {
    for (auto x : bytes_)
        if (x != 0) return false;
    return true;
}

std::expected<Uuid, UuidError> Uuid::parse(std::string_view text) {
    std::string_view s = text;
    constexpr std::string_view kUrn = "urn:uuid:";
    if (s.size() >= kUrn.size()) {
        bool urn = true;
        for (std::size_t i = 0; i < kUrn.size(); ++i) {
            char c = s[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != kUrn[i]) {
                urn = false;
                break;
            }
        }
        if (urn) s.remove_prefix(kUrn.size());
    }
    if (!s.empty() && s.front() == '{') {
        if (s.size() < 2 || s.back() != '}')
            return std::unexpected(err("invalid UUID: opening brace `{` without closing brace `}`"));
        s = s.substr(1, s.size() - 2);
        if (s.size() != 36)
            return std::unexpected(err("invalid UUID length: expected 36 characters inside braces, found " +
                                       std::to_string(s.size())));
    }
    std::array<std::uint8_t, 16> out{};
    if (s.size() == 32) {
        for (std::size_t i = 0; i < 32; ++i) {
            const int v = hex_value(s[i]);
            if (v < 0)
                return std::unexpected(err("invalid character in UUID: expected a hex digit, found " +
                                           quoted_char(s[i]) + " at " + std::to_string(i + 1)));
            out[i / 2] = static_cast<std::uint8_t>(out[i / 2] | (i % 2 == 0 ? v << 4 : v));
        }
        return Uuid(out);
    }
    if (s.size() == 36) {
        std::size_t nibble = 0;
        for (std::size_t i = 0; i < 36; ++i) {
            const char c = s[i];
            if (i == 8 || i == 13 || i == 18 || i == 23) {
                if (c != '-')
                    return std::unexpected(err("invalid UUID group layout: expected `-` at " +
                                               std::to_string(i + 1) + ", found " + quoted_char(c)));
                continue;
            }
            const int v = hex_value(c);
            if (v < 0)
                return std::unexpected(err("invalid character in UUID: expected a hex digit or `-`, found " +
                                           quoted_char(c) + " at " + std::to_string(i + 1)));
            out[nibble / 2] = static_cast<std::uint8_t>(out[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
            ++nibble;
        }
        return Uuid(out);
    }
    return std::unexpected(err("invalid UUID length: expected 32 or 36 characters, found " +
                               std::to_string(s.size())));
}

void Uuid::write_text(char* out) const noexcept {
    std::size_t o = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[o++] = '-';
        out[o++] = kHex[bytes_[i] >> 4];
        out[o++] = kHex[bytes_[i] & 0x0f];
    }
}

std::string Uuid::to_string() const {
    std::string s(kTextLength, '\0');
    write_text(s.data());
    return s;
}

void Uuid::append_to(std::string& out) const {
    const std::size_t n = out.size();
    out.resize(n + kTextLength);
    write_text(out.data() + n);
}

std::size_t UuidHash::operator()(const Uuid& u) const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, u.bytes().data(), 8);
    std::memcpy(&b, u.bytes().data() + 8, 8);
    return static_cast<std::size_t>(a ^ (b * 0x9e3779b97f4a7c15ULL));
}

}  // namespace ostrel_util
