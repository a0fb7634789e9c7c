// Constant-time check, run under valgrind memcheck (fuzz/ct/run-ct).
//
// Secret inputs are marked undefined with memcheck's client requests. Memcheck
// then reports every conditional jump and every memory address computed from
// them. Outputs that are public by construction (public keys, signatures,
// shared secrets handed back to the caller) are marked defined before they are
// compared or printed, so the comparisons themselves are not reported. Any
// memcheck error makes the run fail (valgrind --error-exitcode).
//
// What FIPS 203/204 make public along the way is declassified in
// ct_suppressions.supp (see there): the check program cannot reach inside the
// primitives, so those allowances are expressed by function.
//
// Outside valgrind the client requests do nothing and the program only
// checks that every result matches the same operation on unmarked inputs.
#include <valgrind/memcheck.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "pq/crypto/mldsa65.hpp"
#include "pq/crypto/mlkem768.hpp"

namespace dsa = ostrel_pq::crypto::mldsa65;
namespace kem = ostrel_pq::crypto::mlkem768;

namespace {

int g_failures = 0;

void secret(const void* p, std::size_t n) { VALGRIND_MAKE_MEM_UNDEFINED(p, n); }
void declassify(const void* p, std::size_t n) { VALGRIND_MAKE_MEM_DEFINED(p, n); }

void expect(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

template <std::size_t N>
std::array<std::uint8_t, N> pattern(std::uint8_t start) {
    std::array<std::uint8_t, N> a{};
    for (std::size_t i = 0; i < N; ++i) a[i] = static_cast<std::uint8_t>(start + 37 * i);
    return a;
}

bool same(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) { return std::memcmp(a, b, n) == 0; }

// ML-DSA-65 expanded secret key layout: rho (32) | K (32) | tr (64) | s1 | s2 | t0.
// rho and tr are public (rho is in the public key, tr = H(pk)).
constexpr std::size_t kDsaRho = 0, kDsaK = 32, kDsaTr = 64, kDsaVectors = 128;

void mldsa_keygen() {
    const auto xi_plain = pattern<dsa::kSeedBytes>(1);
    const auto reference = dsa::keygen_internal(xi_plain);

    auto xi = xi_plain;
    secret(xi.data(), xi.size());
    auto kp = dsa::keygen_internal(xi);
    declassify(kp.public_key.data(), kp.public_key.size());
    declassify(kp.secret_key.data(), kp.secret_key.size());
    expect(kp.public_key == reference.public_key, "ML-DSA-65 keygen: public key with secret seed");
    expect(kp.secret_key.size() == reference.secret_key.size() &&
               same(kp.secret_key.data(), reference.secret_key.data(), kp.secret_key.size()),
           "ML-DSA-65 keygen: secret key with secret seed");
}

void mldsa_sign() {
    const auto kp = dsa::keygen_internal(pattern<dsa::kSeedBytes>(2));
    std::vector<std::uint8_t> sk(kp.secret_key.data(), kp.secret_key.data() + kp.secret_key.size());
    const std::vector<std::uint8_t> message{'c', 't', '-', 'c', 'h', 'e', 'c', 'k'};
    const std::array<std::uint8_t, 3> context{'o', 's', 't'};
    auto vk = dsa::VerifyingKey::from_bytes(kp.public_key);
    if (!vk) {
        expect(false, "ML-DSA-65 verifying key");
        return;
    }

    for (const bool hedged : {false, true}) {
        auto rnd = hedged ? pattern<dsa::kRndBytes>(9) : dsa::kDeterministicRnd;
        auto reference = dsa::sign(sk, message, context, rnd);

        auto sk_marked = sk;
        secret(sk_marked.data() + kDsaK, kDsaTr - kDsaK);                        // K
        secret(sk_marked.data() + kDsaVectors, sk_marked.size() - kDsaVectors);  // s1, s2, t0
        (void)kDsaRho;
        if (hedged) secret(rnd.data(), rnd.size());
        auto sig = dsa::sign(sk_marked, message, context, rnd);
        if (!sig || !reference) {
            expect(false, hedged ? "ML-DSA-65 hedged sign" : "ML-DSA-65 deterministic sign");
            continue;
        }
        declassify(sig->data(), sig->size());
        expect(*sig == *reference, hedged ? "ML-DSA-65 hedged sign with secret key and rnd"
                                          : "ML-DSA-65 deterministic sign with secret key");
        std::vector<std::uint8_t> m_prime{0, static_cast<std::uint8_t>(context.size())};
        m_prime.insert(m_prime.end(), context.begin(), context.end());
        m_prime.insert(m_prime.end(), message.begin(), message.end());
        expect(vk->verify_internal(m_prime, *sig), "ML-DSA-65 signature made with secret key verifies");
    }
}

void mlkem_keygen() {
    const auto d_plain = pattern<32>(3);
    const auto z_plain = pattern<32>(4);
    const auto reference = kem::keygen_internal(d_plain, z_plain);

    auto d = d_plain;
    auto z = z_plain;
    secret(d.data(), d.size());
    secret(z.data(), z.size());
    auto kp = kem::keygen_internal(d, z);
    declassify(kp.encapsulation_key.data(), kp.encapsulation_key.size());
    declassify(kp.decapsulation_key.data(), kp.decapsulation_key.size());
    expect(kp.encapsulation_key == reference.encapsulation_key, "ML-KEM-768 keygen: encapsulation key with secret seeds");
    expect(same(kp.decapsulation_key.data(), reference.decapsulation_key.data(), kem::kDecapsulationKeyBytes),
           "ML-KEM-768 keygen: decapsulation key with secret seeds");
}

// ML-KEM-768 decapsulation key layout: dk_pke (1152) | ek (1184) | H(ek) (32) | z (32).
constexpr std::size_t kKemDkPke = 1152, kKemEkEnd = 1152 + 1184 + 32;

void mlkem_decaps() {
    const auto kp = kem::keygen_internal(pattern<32>(5), pattern<32>(6));
    const std::vector<std::uint8_t> dk(kp.decapsulation_key.data(),
                                       kp.decapsulation_key.data() + kp.decapsulation_key.size());
    auto enc = kem::encaps_internal(kp.encapsulation_key, pattern<32>(7));
    if (!enc) {
        expect(false, "ML-KEM-768 encaps");
        return;
    }
    auto tampered = enc->ciphertext;
    tampered[100] ^= 0x01;

    for (const bool valid : {true, false}) {
        const auto& c = valid ? enc->ciphertext : tampered;
        auto reference = kem::decaps(dk, c);

        auto dk_marked = dk;
        secret(dk_marked.data(), kKemDkPke);                                // s-hat
        secret(dk_marked.data() + kKemEkEnd, dk_marked.size() - kKemEkEnd);  // z
        auto ss = kem::decaps(dk_marked, c);
        if (!ss || !reference) {
            expect(false, "ML-KEM-768 decaps");
            continue;
        }
        declassify(ss->data(), ss->size());
        expect(ss->size() == reference->size() && same(ss->data(), reference->data(), ss->size()),
               valid ? "ML-KEM-768 decaps of a valid ciphertext with secret key"
                     : "ML-KEM-768 decaps of a tampered ciphertext (implicit rejection) with secret key");
        if (valid) {
            expect(same(ss->data(), enc->shared_secret.data(), ss->size()), "ML-KEM-768 decaps agrees with encaps");
        } else {
            expect(!same(ss->data(), enc->shared_secret.data(), ss->size()), "ML-KEM-768 implicit rejection differs");
        }
    }
}

// A deliberate secret-dependent branch and table index: run-ct requires
// memcheck to report this part, proving the marking reaches the checks.
void canary() {
    std::array<std::uint8_t, 4> key = pattern<4>(8);
    secret(key.data(), key.size());
    static const std::array<std::uint8_t, 256> table = pattern<256>(0);
    volatile std::uint8_t sink = table[key[0]];
    if (key[1] & 1) sink = static_cast<std::uint8_t>(sink + 1);
    declassify(key.data(), key.size());
    (void)sink;
    expect(true, "canary ran (memcheck must report it)");
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view only = argc > 1 ? argv[1] : "";
    std::printf("running on valgrind: %s\n", RUNNING_ON_VALGRIND ? "yes" : "no");
    if (only.empty() || only == "mldsa-keygen") mldsa_keygen();
    if (only.empty() || only == "mldsa-sign") mldsa_sign();
    if (only.empty() || only == "mlkem-keygen") mlkem_keygen();
    if (only.empty() || only == "mlkem-decaps") mlkem_decaps();
    if (only == "canary") canary();
    return g_failures == 0 ? 0 : 1;
}
