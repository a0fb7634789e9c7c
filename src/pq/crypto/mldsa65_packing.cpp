// Encodings of FIPS 204 section 7.2 for ML-DSA-65.
#include "pq/crypto/mldsa65_packing.hpp"

#include <algorithm>

#include "util/secret_buffer.hpp"

namespace ostrel_pq::crypto::mldsa65 {

namespace {

// FIPS 204 Algorithm 16 (SimpleBitPack) core: 256 values of `bits` bits,
// least significant bit first, into 32 * bits bytes. Values are masked to
// `bits` bits.
template <int bits>
void pack_bits(std::uint8_t* out, const std::uint32_t* values) noexcept {
    std::uint64_t acc = 0;
    int have = 0;
    std::size_t o = 0;
    for (int i = 0; i < kN; ++i) {
        acc |= static_cast<std::uint64_t>(values[i] & ((1u << bits) - 1)) << have;
        have += bits;
        while (have >= 8) {
            out[o++] = static_cast<std::uint8_t>(acc);
            acc >>= 8;
            have -= 8;
        }
    }
}

// FIPS 204 Algorithm 18 (SimpleBitUnpack) core.
template <int bits>
void unpack_bits(std::uint32_t* values, const std::uint8_t* in) noexcept {
    std::uint64_t acc = 0;
    int have = 0;
    std::size_t p = 0;
    for (int i = 0; i < kN; ++i) {
        while (have < bits) {
            acc |= static_cast<std::uint64_t>(in[p++]) << have;
            have += 8;
        }
        values[i] = static_cast<std::uint32_t>(acc) & ((1u << bits) - 1);
        acc >>= bits;
        have -= bits;
    }
}

// FIPS 204 Algorithm 17 (BitPack): stores b - w_i, which lies in [0, a + b].
template <int bits>
void bit_pack(std::uint8_t* out, const Poly& w, std::int32_t b) noexcept {
    std::uint32_t v[kN];
    for (int i = 0; i < kN; ++i) v[i] = static_cast<std::uint32_t>(b - w.c[i]);
    pack_bits<bits>(out, v);
    ostrel_util::secure_wipe(v, sizeof(v));  // s1, s2, t0 and z pass through here
}

// FIPS 204 Algorithm 19 (BitUnpack): w_i = b - field.
template <int bits>
void bit_unpack(Poly& w, const std::uint8_t* in, std::int32_t b) noexcept {
    std::uint32_t v[kN];
    unpack_bits<bits>(v, in);
    for (int i = 0; i < kN; ++i) w.c[i] = b - static_cast<std::int32_t>(v[i]);
    ostrel_util::secure_wipe(v, sizeof(v));
}

}  // namespace

void pack_t1(std::span<std::uint8_t, kPolyT1Bytes> out, const Poly& t1) noexcept {
    std::uint32_t v[kN];
    for (int i = 0; i < kN; ++i) v[i] = static_cast<std::uint32_t>(t1.c[i]);
    pack_bits<10>(out.data(), v);
}

void unpack_t1(Poly& t1, std::span<const std::uint8_t, kPolyT1Bytes> in) noexcept {
    std::uint32_t v[kN];
    unpack_bits<10>(v, in.data());
    for (int i = 0; i < kN; ++i) t1.c[i] = static_cast<std::int32_t>(v[i]);
}

void pack_eta(std::span<std::uint8_t, kPolyEtaBytes> out, const Poly& s) noexcept {
    bit_pack<4>(out.data(), s, kEta);
}
void unpack_eta(Poly& s, std::span<const std::uint8_t, kPolyEtaBytes> in) noexcept {
    bit_unpack<4>(s, in.data(), kEta);
}
void pack_t0(std::span<std::uint8_t, kPolyT0Bytes> out, const Poly& t0) noexcept {
    bit_pack<13>(out.data(), t0, 1 << (kD - 1));
}
void unpack_t0(Poly& t0, std::span<const std::uint8_t, kPolyT0Bytes> in) noexcept {
    bit_unpack<13>(t0, in.data(), 1 << (kD - 1));
}
void pack_z(std::span<std::uint8_t, kPolyZBytes> out, const Poly& z) noexcept {
    bit_pack<20>(out.data(), z, kGamma1);
}
void unpack_z(Poly& z, std::span<const std::uint8_t, kPolyZBytes> in) noexcept {
    bit_unpack<20>(z, in.data(), kGamma1);
}
void pack_w1(std::span<std::uint8_t, kPolyW1Bytes> out, const Poly& w1) noexcept {
    std::uint32_t v[kN];
    for (int i = 0; i < kN; ++i) v[i] = static_cast<std::uint32_t>(w1.c[i]);
    pack_bits<4>(out.data(), v);
}

// FIPS 204 Algorithm 22 (pkEncode)
void pk_encode(std::span<std::uint8_t, kPublicKeyBytes> pk, std::span<const std::uint8_t, kSeedBytes> rho,
               const PolyVecK& t1) noexcept {
    std::copy(rho.begin(), rho.end(), pk.begin());
    for (int i = 0; i < kK; ++i) pack_t1(pk.subspan(kSeedBytes + i * kPolyT1Bytes).first<kPolyT1Bytes>(), t1.v[i]);
}

// FIPS 204 Algorithm 23 (pkDecode)
void pk_decode(std::span<std::uint8_t, kSeedBytes> rho, PolyVecK& t1,
               std::span<const std::uint8_t, kPublicKeyBytes> pk) noexcept {
    std::copy(pk.begin(), pk.begin() + kSeedBytes, rho.begin());
    for (int i = 0; i < kK; ++i) unpack_t1(t1.v[i], pk.subspan(kSeedBytes + i * kPolyT1Bytes).first<kPolyT1Bytes>());
}

// FIPS 204 Algorithm 24 (skEncode): rho || K || tr || s1 || s2 || t0.
void sk_encode(std::span<std::uint8_t, kSecretKeyBytes> sk, std::span<const std::uint8_t, kSeedBytes> rho,
               std::span<const std::uint8_t, kSeedBytes> key, std::span<const std::uint8_t, kTrBytes> tr,
               const PolyVecL& s1, const PolyVecK& s2, const PolyVecK& t0) noexcept {
    std::size_t off = 0;
    std::copy(rho.begin(), rho.end(), sk.begin() + off);
    off += kSeedBytes;
    std::copy(key.begin(), key.end(), sk.begin() + off);
    off += kSeedBytes;
    std::copy(tr.begin(), tr.end(), sk.begin() + off);
    off += kTrBytes;
    for (int i = 0; i < kL; ++i, off += kPolyEtaBytes) pack_eta(sk.subspan(off).first<kPolyEtaBytes>(), s1.v[i]);
    for (int i = 0; i < kK; ++i, off += kPolyEtaBytes) pack_eta(sk.subspan(off).first<kPolyEtaBytes>(), s2.v[i]);
    for (int i = 0; i < kK; ++i, off += kPolyT0Bytes) pack_t0(sk.subspan(off).first<kPolyT0Bytes>(), t0.v[i]);
}

namespace {
// Nonzero when some coefficient lies outside [-eta, eta], without branching.
std::uint32_t eta_out_of_range(const Poly& p) noexcept {
    std::uint32_t bad = 0;
    for (int i = 0; i < kN; ++i) {
        // eta - c_i must be in [0, 2 eta]: as unsigned, anything else exceeds 2 eta.
        const std::uint32_t f = static_cast<std::uint32_t>(kEta - p.c[i]);
        bad |= (2u * kEta - f) >> 31;
    }
    return bad;
}
}  // namespace

// FIPS 204 Algorithm 25 (skDecode), plus the range check of s1 and s2 that
// FIPS 204 section 7.2 leaves to the implementation for keys from outside.
bool sk_decode(std::span<std::uint8_t, kSeedBytes> rho, std::span<std::uint8_t, kSeedBytes> key,
               std::span<std::uint8_t, kTrBytes> tr, PolyVecL& s1, PolyVecK& s2, PolyVecK& t0,
               std::span<const std::uint8_t, kSecretKeyBytes> sk) noexcept {
    std::size_t off = 0;
    std::copy(sk.begin() + off, sk.begin() + off + kSeedBytes, rho.begin());
    off += kSeedBytes;
    std::copy(sk.begin() + off, sk.begin() + off + kSeedBytes, key.begin());
    off += kSeedBytes;
    std::copy(sk.begin() + off, sk.begin() + off + kTrBytes, tr.begin());
    off += kTrBytes;
    std::uint32_t bad = 0;
    for (int i = 0; i < kL; ++i, off += kPolyEtaBytes) {
        unpack_eta(s1.v[i], sk.subspan(off).first<kPolyEtaBytes>());
        bad |= eta_out_of_range(s1.v[i]);
    }
    for (int i = 0; i < kK; ++i, off += kPolyEtaBytes) {
        unpack_eta(s2.v[i], sk.subspan(off).first<kPolyEtaBytes>());
        bad |= eta_out_of_range(s2.v[i]);
    }
    for (int i = 0; i < kK; ++i, off += kPolyT0Bytes) unpack_t0(t0.v[i], sk.subspan(off).first<kPolyT0Bytes>());
    return bad == 0;
}

// FIPS 204 Algorithm 20 (HintBitPack). The positions of the ones are public
// (they are the signature's content), so branching on them is fine.
void hint_bit_pack(std::span<std::uint8_t, kOmega + kK> out, const PolyVecK& h) noexcept {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    std::size_t index = 0;
    for (int i = 0; i < kK; ++i) {
        for (int j = 0; j < kN; ++j) {
            if (h.v[i].c[j] != 0 && index < kOmega) out[index++] = static_cast<std::uint8_t>(j);
        }
        out[kOmega + i] = static_cast<std::uint8_t>(index);
    }
}

// FIPS 204 Algorithm 21 (HintBitUnpack)
bool hint_bit_unpack(PolyVecK& h, std::span<const std::uint8_t, kOmega + kK> in) noexcept {
    for (auto& p : h.v)
        for (auto& x : p.c) x = 0;
    std::size_t index = 0;
    for (int i = 0; i < kK; ++i) {
        const std::size_t end = in[kOmega + i];
        if (end < index || end > kOmega) return false;
        const std::size_t first = index;
        while (index < end) {
            if (index > first && in[index - 1] >= in[index]) return false;
            h.v[i].c[in[index]] = 1;
            ++index;
        }
    }
    for (std::size_t i = index; i < kOmega; ++i) {
        if (in[i] != 0) return false;
    }
    return true;
}

// FIPS 204 Algorithm 26 (sigEncode): c~ || z || h.
void sig_encode(std::span<std::uint8_t, kSignatureBytes> sig, std::span<const std::uint8_t, kCTildeBytes> c_tilde,
                const PolyVecL& z, const PolyVecK& h) noexcept {
    std::copy(c_tilde.begin(), c_tilde.end(), sig.begin());
    std::size_t off = kCTildeBytes;
    for (int i = 0; i < kL; ++i, off += kPolyZBytes) pack_z(sig.subspan(off).first<kPolyZBytes>(), z.v[i]);
    hint_bit_pack(sig.subspan(off).first<kOmega + kK>(), h);
}

// FIPS 204 Algorithm 27 (sigDecode)
bool sig_decode(std::span<std::uint8_t, kCTildeBytes> c_tilde, PolyVecL& z, PolyVecK& h,
                std::span<const std::uint8_t, kSignatureBytes> sig) noexcept {
    std::copy(sig.begin(), sig.begin() + kCTildeBytes, c_tilde.begin());
    std::size_t off = kCTildeBytes;
    for (int i = 0; i < kL; ++i, off += kPolyZBytes) unpack_z(z.v[i], sig.subspan(off).first<kPolyZBytes>());
    return hint_bit_unpack(h, sig.subspan(off).first<kOmega + kK>());
}

// FIPS 204 Algorithm 28 (w1Encode)
void w1_encode(std::span<std::uint8_t, kW1EncodedBytes> out, const PolyVecK& w1) noexcept {
    for (int i = 0; i < kK; ++i) pack_w1(out.subspan(i * kPolyW1Bytes).first<kPolyW1Bytes>(), w1.v[i]);
}

}  // namespace ostrel_pq::crypto::mldsa65
