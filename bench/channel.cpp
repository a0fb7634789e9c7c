// The cryptographic work behind the secure channel's four operations on a
// 1 KiB message, measured natively, as the floor that the Python-level
// SecureChannel calls are compared against (bench/python/bench_channel.py
// runs this program and prints both side by side). Also measures the
// channel's own native calls, so the cost of the sealed JSON form and of the
// Python boundary can be told apart.
//
// Per operation, the primitives it performs:
//   send_data:      ML-KEM-768 encapsulation (with the key check), ephemeral
//                   X25519 secret + public key, X25519 agreement, HKDF-SHA256,
//                   nonce, ChaCha20-Poly1305 seal of 1 KiB;
//   receive_data:   ML-KEM-768 decapsulation from the 64-byte seed, X25519
//                   agreement, HKDF-SHA256, ChaCha20-Poly1305 open of 1 KiB;
//   send_signed:    ML-DSA-65 signing from the seed and Ed25519 signing of
//                   the 1 KiB message (+ nonce and time), then the send_data
//                   primitives over the SignedBytes plaintext;
//   receive_signed: the receive_data primitives over that plaintext, then
//                   ML-DSA-65 key decoding + verification and Ed25519 key
//                   check + verification.
//
// Usage: bench_channel [iterations=200] [repeats=7]
// Prints one JSON object of medians in microseconds per call.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "pq/channel.hpp"
#include "pq/crypto/chacha20poly1305.hpp"
#include "pq/crypto/hkdf_sha256.hpp"
#include "pq/crypto/mlkem768.hpp"
#include "pq/crypto/os_random.hpp"
#include "pq/crypto/x25519.hpp"
#include "pq/primitives.hpp"
#include "util/uuid.hpp"

namespace {

namespace pq = ostrel_pq;
namespace prim = ostrel_pq::primitives;
namespace crypto = ostrel_pq::crypto;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

std::span<const std::uint8_t> ascii(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench_channel: %s failed\n", what);
        std::exit(1);
    }
}

// Median over `repeats` of the mean microseconds per call over `iterations`.
double median_us(int iterations, int repeats, const std::function<void()>& fn) {
    std::vector<double> means;
    fn();  // warm-up
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = Clock::now();
        for (int i = 0; i < iterations; ++i) fn();
        const std::chrono::duration<double, std::micro> dt = Clock::now() - t0;
        means.push_back(dt.count() / iterations);
    }
    std::sort(means.begin(), means.end());
    return means[means.size() / 2];
}


pq::OstrelKeyPair generate() {
    auto kp = pq::OstrelKeyPair::generate();
    check(kp.has_value(), "key generation");
    return std::move(*kp);
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;

    const pq::OstrelKeyPair a = generate();
    const pq::OstrelKeyPair b = generate();
    const pq::PublicKeyBundle b_pub = b.public_keys();
    const pq::PublicKeyBundle a_pub = a.public_keys();
    const pq::SecureChannel a_to_b = pq::SecureChannel::establish_from_bundle(a, b_pub);
    const pq::SecureChannel b_from_a = pq::SecureChannel::establish_from_bundle(b, a_pub);

    Bytes data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 5);

    // A representative signed message and its plaintext.
    const pq::Signer signer = pq::Signer::from_keypair(a, true);
    auto signed_payload = signer.sign(data);
    check(signed_payload.has_value(), "sign");
    const std::string signed_json = pq::SignedBytes{*signed_payload, "bench-context", "bench-correlation"}.to_json();
    const Bytes signed_plain(signed_json.begin(), signed_json.end());
    const Bytes message = pq::compose_message(data, signed_payload->nonce, signed_payload->signed_at);

    std::map<std::string, double> r;

    // ---- sealing primitives (parameterised by plaintext) ----
    const auto seal_primitives = [&](const Bytes& plaintext, const std::string& prefix) {
        r[prefix + "mlkem_encaps_us"] = median_us(iterations, repeats, [&] {
            auto e = crypto::mlkem768::encaps(b_pub.ml_kem_encapsulation_key);
            check(e.has_value(), "encaps");
        });
        r[prefix + "x25519_ephemeral_us"] = median_us(iterations, repeats, [&] {
            auto s = crypto::os_random_secret(32);
            auto p = crypto::x25519::public_key_from_secret(s->span());
            check(p.has_value(), "x25519 public key");
        });
        Bytes eph(32, 7);
        r[prefix + "x25519_agree_us"] = median_us(iterations, repeats, [&] {
            auto ss = crypto::x25519::shared_secret(eph, b_pub.x25519_public_key);
            check(ss.has_value(), "x25519 agreement");
        });
        Bytes ikm(64, 9);
        r[prefix + "hkdf_us"] = median_us(iterations, repeats, [&] {
            auto k = crypto::hkdf_sha256::derive(ikm, ascii(pq::kPayloadKeySalt), ascii(pq::kPayloadKeyInfo), 32);
            check(k.has_value(), "hkdf");
        });
        Bytes key(32, 1), nonce(12, 2);
        r[prefix + "nonce_uuid_us"] = median_us(iterations, repeats, [&] {
            check(crypto::os_random_fill(nonce).has_value(), "nonce");
            (void)ostrel_util::Uuid::new_v4();
        });
        r[prefix + "aead_seal_us"] = median_us(iterations, repeats, [&] {
            auto c = crypto::chacha20poly1305::seal(key, nonce, plaintext, ascii(b_pub.id));
            check(c.has_value(), "seal");
        });
        auto sealed = crypto::chacha20poly1305::seal(key, nonce, plaintext, ascii(b_pub.id));
        r[prefix + "mlkem_decaps_from_seed_us"] = median_us(iterations, repeats, [&] {
            static const auto ct = crypto::mlkem768::encaps(b_pub.ml_kem_encapsulation_key)->ciphertext;
            auto ss = crypto::mlkem768::decaps_from_seed(b.ml_kem_decapsulation_key().span(), ct);
            check(ss.has_value(), "decaps");
        });
        r[prefix + "aead_open_us"] = median_us(iterations, repeats, [&] {
            auto p = crypto::chacha20poly1305::open(key, nonce, *sealed, ascii(b_pub.id));
            check(p.has_value(), "open");
        });
        r[prefix + "seal_sum_us"] = r[prefix + "mlkem_encaps_us"] + r[prefix + "x25519_ephemeral_us"] +
                                    r[prefix + "x25519_agree_us"] + r[prefix + "hkdf_us"] +
                                    r[prefix + "nonce_uuid_us"] + r[prefix + "aead_seal_us"];
        r[prefix + "open_sum_us"] = r[prefix + "mlkem_decaps_from_seed_us"] + r[prefix + "x25519_agree_us"] +
                                    r[prefix + "hkdf_us"] + r[prefix + "aead_open_us"];
    };
    seal_primitives(data, "data_");
    seal_primitives(signed_plain, "signed_");

    // ---- signature primitives ----
    const std::span<const std::uint8_t, 32> ml_seed(a.ml_dsa_signing_key().data(), 32);
    const std::span<const std::uint8_t, 32> ed_seed(a.ed25519_signing_key().data(), 32);
    // ML-DSA signing time depends on the message (rejection loop): sign the
    // messages a channel would, with fresh nonces and times.
    std::vector<Bytes> messages;
    for (int i = 0; i < iterations; ++i) {
        auto sp = signer.sign(data);
        check(sp.has_value(), "sign");
        messages.push_back(pq::compose_message(data, sp->nonce, sp->signed_at));
    }
    std::size_t next = 0;
    r["mldsa_sign_us"] = median_us(iterations, repeats, [&] {
        auto s = prim::ml_dsa_sign(ml_seed, messages[next++ % messages.size()]);
        check(s.has_value(), "ml-dsa sign");
    });
    r["ed25519_sign_us"] = median_us(iterations, repeats, [&] {
        auto s = prim::ed25519_sign(ed_seed, message);
        check(s.has_value(), "ed25519 sign");
    });
    const std::span<const std::uint8_t, 32> ed_vk(a_pub.ed25519_verifying_key.data(), 32);
    const Bytes& ed_sig = *signed_payload->ed25519_signature;
    r["mldsa_verify_us"] = median_us(iterations, repeats, [&] {
        auto vk = pq::load_ml_dsa_verifying_key(a_pub.ml_dsa_verifying_key);
        check(vk.has_value() && vk->verify(message, signed_payload->ml_dsa_signature).has_value(), "ml-dsa verify");
    });
    r["ed25519_verify_us"] = median_us(iterations, repeats, [&] {
        check(prim::ed25519_check_key(ed_vk).has_value() &&
                  prim::ed25519_verify(ed_vk, message, std::span<const std::uint8_t, 64>(ed_sig.data(), 64)).has_value(),
              "ed25519 verify");
    });

    r["send_data_primitives_us"] = r["data_seal_sum_us"];
    r["receive_data_primitives_us"] = r["data_open_sum_us"];
    r["send_signed_primitives_us"] = r["mldsa_sign_us"] + r["ed25519_sign_us"] + r["signed_seal_sum_us"];
    r["receive_signed_primitives_us"] = r["signed_open_sum_us"] + r["mldsa_verify_us"] + r["ed25519_verify_us"];
    r["signed_plaintext_bytes"] = static_cast<double>(signed_plain.size());

    // ---- the native channel calls, with and without the JSON form ----
    r["native_send_data_us"] = median_us(iterations, repeats, [&] { check(a_to_b.send_data(data).has_value(), "send_data"); });
    const pq::EncryptedPayload sealed_data = *a_to_b.send_data(data);
    r["native_receive_data_us"] =
        median_us(iterations, repeats, [&] { check(b_from_a.receive_data(sealed_data).has_value(), "receive_data"); });
    const std::string sealed_data_json = sealed_data.to_json();
    r["native_sealed_json_roundtrip_data_us"] = median_us(iterations, repeats, [&] {
        check(pq::EncryptedPayload::from_json(sealed_data.to_json()).has_value(), "json");
    });
    next = 0;
    r["native_send_signed_us"] = median_us(iterations, repeats, [&] {
        check(a_to_b.send_signed(data, "bench-context", "bench-correlation").has_value(), "send_signed");
    });
    // Every signed message is accepted once: prepare distinct ones.
    std::vector<pq::EncryptedPayload> signed_msgs;
    for (int i = 0; i < iterations * (repeats + 1); ++i) signed_msgs.push_back(*a_to_b.send_signed(data, "ctx", "corr"));
    next = 0;
    r["native_receive_signed_us"] = median_us(iterations, repeats, [&] {
        check(b_from_a.receive_signed(signed_msgs[next++], "ctx").has_value(), "receive_signed");
    });
    const std::string sealed_signed_json = signed_msgs[0].to_json();
    r["native_sealed_json_roundtrip_signed_us"] = median_us(iterations, repeats, [&] {
        check(pq::EncryptedPayload::from_json(signed_msgs[0].to_json()).has_value(), "json");
    });
    r["native_sealed_json_write_signed_us"] =
        median_us(iterations, repeats, [&] { check(!signed_msgs[0].to_json().empty(), "json write"); });
    r["native_sealed_json_read_signed_us"] = median_us(
        iterations, repeats, [&] { check(pq::EncryptedPayload::from_json(sealed_signed_json).has_value(), "json read"); });
    r["native_signed_bytes_write_us"] = median_us(iterations, repeats, [&] {
        check(!pq::SignedBytes{*signed_payload, "bench-context", "bench-correlation"}.to_json().empty(), "write");
    });
    r["native_signed_bytes_read_us"] =
        median_us(iterations, repeats, [&] { check(pq::SignedBytes::from_json(signed_json).has_value(), "read"); });
    r["sealed_json_bytes_data"] = static_cast<double>(sealed_data_json.size());
    r["sealed_json_bytes_signed"] = static_cast<double>(sealed_signed_json.size());

    std::printf("{");
    bool first = true;
    for (const auto& [k, v] : r) {
        std::printf("%s\"%s\":%.2f", first ? "" : ",", k.c_str(), v);
        first = false;
    }
    std::printf("}\n");
    return 0;
}
