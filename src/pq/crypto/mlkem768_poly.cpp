#include "pq/crypto/mlkem768_poly.hpp"

#include <type_traits>

#include "pq/crypto/keccak_x4.hpp"
#include "pq/crypto/mlkem768_ntt_avx2.hpp"
#include "pq/crypto/mlkem768_reduce.hpp"
#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mlkem {

namespace {

// floor(n / (2q)) for 0 <= n < 2^25 as a multiply and shift. With
// M = ceil(2^48 / 2q) the error n * (M * 2q - 2^48) / (2q * 2^48) stays
// below 2^-23, smaller than the distance 1/(2q) from any fraction n/(2q)
// to the next integer, so the floor is exact.
constexpr unsigned kDivShift = 48;
constexpr std::uint64_t kTwoQ = 2 * static_cast<std::uint64_t>(kQ);
constexpr std::uint64_t kDivMul = ((std::uint64_t{1} << kDivShift) + kTwoQ - 1) / kTwoQ;

inline std::uint32_t div_by_2q(std::uint32_t n) noexcept {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(n) * kDivMul) >> kDivShift);
}

// round(2^d x / q) = floor((2^(d+1) x + q) / 2q); x < q and d <= 11 keep
// the numerator below 2^25.
inline std::uint16_t compress_inline(std::int16_t x, unsigned d) noexcept {
    const std::uint32_t n = (static_cast<std::uint32_t>(x) << (d + 1)) + static_cast<std::uint32_t>(kQ);
    return static_cast<std::uint16_t>(div_by_2q(n) & ((1u << d) - 1u));
}

// The coding loops below are instantiated for each width ML-KEM-768 uses, so
// that the shifts and masks are constants the compiler can unroll and
// vectorise; other widths take the same loop with d as a variable.
template <class F>
void with_width(unsigned d, F&& f) {
    switch (d) {
        case 1: f(std::integral_constant<unsigned, 1>{}); break;
        case 4: f(std::integral_constant<unsigned, 4>{}); break;
        case 10: f(std::integral_constant<unsigned, 10>{}); break;
        case 12: f(std::integral_constant<unsigned, 12>{}); break;
        default: f(d); break;
    }
}

template <class D>
void byte_encode_impl(std::span<std::uint8_t> out, const Poly& a, D d) noexcept {
    // Bits are emitted least significant first: bit j of coefficient i is
    // bit i*d + j of the output. The loop shape depends on d only.
    std::uint32_t acc = 0;
    unsigned bits = 0;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        acc |= static_cast<std::uint32_t>(static_cast<std::uint16_t>(a.c[i])) << bits;
        bits += d;
        while (bits >= 8) {
            out[pos++] = static_cast<std::uint8_t>(acc);
            acc >>= 8;
            bits -= 8;
        }
    }
}

template <class D>
void byte_decode_impl(Poly& r, std::span<const std::uint8_t> in, D d) noexcept {
    const std::uint32_t mask = (1u << d) - 1u;
    std::uint32_t acc = 0;
    unsigned bits = 0;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < kN; ++i) {
        while (bits < d) {
            acc |= static_cast<std::uint32_t>(in[pos++]) << bits;
            bits += 8;
        }
        r.c[i] = static_cast<std::int16_t>(acc & mask);
        acc >>= d;
        bits -= d;
    }
}

}  // namespace

std::uint16_t compress(std::int16_t x, unsigned d) noexcept { return compress_inline(x, d); }

std::int16_t decompress(std::uint16_t y, unsigned d) noexcept {
    // round(q y / 2^d) = floor((q y + 2^(d-1)) / 2^d).
    const std::uint32_t n = static_cast<std::uint32_t>(kQ) * y + (1u << (d - 1));
    return static_cast<std::int16_t>(n >> d);
}

void poly_add(Poly& r, const Poly& a, const Poly& b) noexcept {
    for (std::size_t i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] + b.c[i]);
}

void poly_sub(Poly& r, const Poly& a, const Poly& b) noexcept {
    for (std::size_t i = 0; i < kN; ++i) r.c[i] = static_cast<std::int16_t>(a.c[i] - b.c[i]);
}

void poly_reduce(Poly& r) noexcept {
    for (auto& x : r.c) x = barrett_reduce(x);
}

void poly_to_mont(Poly& r) noexcept {
    for (auto& x : r.c) x = fqmul(x, static_cast<std::int16_t>(kMontR2));
}

void poly_ntt(Poly& r) noexcept { ntt(r.c); }

void poly_inverse_ntt_to_plain(Poly& r) noexcept { inverse_ntt_to_plain(r.c); }

void poly_basemul_montgomery(Poly& r, const Poly& a, const Poly& b) noexcept { basemul_montgomery(r.c, a.c, b.c); }

void byte_encode(std::span<std::uint8_t> out, const Poly& a, unsigned d) noexcept {
    with_width(d, [&](auto w) { byte_encode_impl(out, a, w); });
}

void byte_decode(Poly& r, std::span<const std::uint8_t> in, unsigned d) noexcept {
    with_width(d, [&](auto w) { byte_decode_impl(r, in, w); });
}

void poly_to_bytes(std::span<std::uint8_t, kPolyBytes> out, const Poly& a) noexcept {
    for (std::size_t i = 0; i < kN / 2; ++i) {
        const auto c0 = static_cast<std::uint16_t>(canonical(a.c[2 * i]));
        const auto c1 = static_cast<std::uint16_t>(canonical(a.c[2 * i + 1]));
        out[3 * i] = static_cast<std::uint8_t>(c0);
        out[3 * i + 1] = static_cast<std::uint8_t>((c0 >> 8) | (c1 << 4));
        out[3 * i + 2] = static_cast<std::uint8_t>(c1 >> 4);
    }
}

namespace {

inline void unpack12(std::span<const std::uint8_t, kPolyBytes> in, std::size_t i, std::uint16_t& c0,
                     std::uint16_t& c1) noexcept {
    c0 = static_cast<std::uint16_t>(in[3 * i] | ((in[3 * i + 1] & 0x0F) << 8));
    c1 = static_cast<std::uint16_t>((in[3 * i + 1] >> 4) | (in[3 * i + 2] << 4));
}

// x in [0, 4096) -> x mod q, branch-free (one conditional subtraction
// suffices because 4096 < 2q).
inline std::int16_t reduce_12bit(std::uint16_t x) noexcept {
    const auto t = static_cast<std::int16_t>(static_cast<std::int16_t>(x) - kQ);
    return to_unsigned_rep(t);
}

}  // namespace

void poly_from_bytes(Poly& r, std::span<const std::uint8_t, kPolyBytes> in) noexcept {
    for (std::size_t i = 0; i < kN / 2; ++i) {
        std::uint16_t c0;
        std::uint16_t c1;
        unpack12(in, i, c0, c1);
        r.c[2 * i] = reduce_12bit(c0);
        r.c[2 * i + 1] = reduce_12bit(c1);
    }
}

bool poly_bytes_are_reduced(std::span<const std::uint8_t, kPolyBytes> in) noexcept {
    // Accumulates without early exit, so the time does not reveal where an
    // unreduced value sits (the key is public, but this costs nothing).
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < kN / 2; ++i) {
        std::uint16_t c0;
        std::uint16_t c1;
        unpack12(in, i, c0, c1);
        // (c - q) is negative, so its bit 31 set, exactly when c < q.
        bad |= ~((static_cast<std::uint32_t>(c0) - static_cast<std::uint32_t>(kQ)) >> 31) & 1u;
        bad |= ~((static_cast<std::uint32_t>(c1) - static_cast<std::uint32_t>(kQ)) >> 31) & 1u;
    }
    return bad == 0;
}

void poly_compress(std::span<std::uint8_t> out, const Poly& a, unsigned d) noexcept {
    // During decapsulation this is the re-encryption of a secret message, so
    // the intermediate is wiped like every other secret.
    Poly t;
    ostrel_util::WipeOnExit wipe_t(t);
    const bool vector = use_avx2();
    if (vector) compress_poly_avx2(t.c.data(), a.c.data(), d);
    with_width(d, [&](auto w) {
        if (!vector) {
            for (std::size_t i = 0; i < kN; ++i) t.c[i] = static_cast<std::int16_t>(compress_inline(canonical(a.c[i]), w));
        }
        byte_encode_impl(out, t, w);
    });
}

void poly_decompress(Poly& r, std::span<const std::uint8_t> in, unsigned d) noexcept {
    byte_decode(r, in, d);
    for (auto& x : r.c) x = decompress(static_cast<std::uint16_t>(x), d);
}

void poly_from_message(Poly& r, std::span<const std::uint8_t, kSymBytes> m) noexcept {
    constexpr std::int16_t half_q = (kQ + 1) / 2;  // Decompress_1(1) = 1665
    for (std::size_t i = 0; i < kSymBytes; ++i) {
        for (unsigned j = 0; j < 8; ++j) {
            const auto bit = static_cast<std::int16_t>((m[i] >> j) & 1u);
            r.c[8 * i + j] = static_cast<std::int16_t>(-bit & half_q);
        }
    }
}

void poly_to_message(std::span<std::uint8_t, kSymBytes> m, const Poly& a) noexcept {
    for (std::size_t i = 0; i < kSymBytes; ++i) {
        std::uint8_t byte = 0;
        for (unsigned j = 0; j < 8; ++j) {
            byte = static_cast<std::uint8_t>(byte | (compress_inline(canonical(a.c[8 * i + j]), 1) << j));
        }
        m[i] = byte;
    }
}

}  // namespace ostrel_pq::crypto::mlkem
