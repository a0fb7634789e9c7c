// The secure channel between two parties: both flows, the signed plaintext's
// form, replay and context checks, wrong recipients and senders, bad remote
// keys, and concurrent presentation of one message.

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "pq/channel.hpp"
#include "pq_test_support.hpp"

namespace ostrel_pq {
namespace {

using testing::bytes_of;
using testing::make_keypair;
using testing::starts_with;
using testing::text_of;

class ChannelTest : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        a_ = new OstrelKeyPair(make_keypair());
        b_ = new OstrelKeyPair(make_keypair());
        c_ = new OstrelKeyPair(make_keypair());
    }
    static void TearDownTestSuite() {
        delete a_;
        delete b_;
        delete c_;
    }

protected:
    // A talks to B, B to A; C is a third party.
    ChannelTest()
        : a_to_b_(SecureChannel::establish_from_bundle(*a_, b_->public_keys())),
          b_from_a_(SecureChannel::establish_from_bundle(*b_, a_->public_keys())) {}

    EncryptedPayload send_signed(const SecureChannel& ch, std::string_view data, std::string_view ctx,
                                 std::string_view corr = "corr-1") {
        auto p = ch.send_signed(bytes_of(data), ctx, corr);
        EXPECT_TRUE(p) << p.error().display();
        return p ? std::move(*p) : EncryptedPayload{};
    }
    // The SignedBytes inside a message sealed for B.
    SignedBytes inner_of(const EncryptedPayload& p) {
        auto plain = Decryptor::from_keypair(*b_).decrypt(p);
        EXPECT_TRUE(plain);
        auto sb = SignedBytes::from_json(text_of(*plain));
        EXPECT_TRUE(sb) << sb.error().message;
        return sb ? std::move(*sb) : SignedBytes{};
    }
    static std::string error_of(const std::expected<Bytes, PqError>& r) {
        return r ? "<accepted: " + text_of(*r) + ">" : r.error().display();
    }

    static inline OstrelKeyPair* a_ = nullptr;
    static inline OstrelKeyPair* b_ = nullptr;
    static inline OstrelKeyPair* c_ = nullptr;
    SecureChannel a_to_b_;
    SecureChannel b_from_a_;
};

TEST_F(ChannelTest, KeyIdsOfBothEnds) {
    EXPECT_EQ(a_to_b_.local_key_id(), a_->id());
    EXPECT_EQ(a_to_b_.remote_key_id(), b_->id());
    EXPECT_EQ(b_from_a_.local_key_id(), b_->id());
    EXPECT_EQ(b_from_a_.remote_key_id(), a_->id());
}

TEST_F(ChannelTest, DataFlowRoundTripIsHybridAndAddressedToTheRemote) {
    Bytes data(1024);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    auto p = a_to_b_.send_data(data);
    ASSERT_TRUE(p) << p.error().display();
    EXPECT_EQ(p->recipient_key_id, b_->id());
    EXPECT_EQ(p->ephemeral_x25519_pk.size(), 32u);
    auto back = b_from_a_.receive_data(*p);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(*back, data);
    // Nothing is tracked in the data flow: the same message opens again.
    EXPECT_TRUE(b_from_a_.receive_data(*p));
    EXPECT_EQ(b_from_a_.tracked_nonces(), 0u);
}

TEST_F(ChannelTest, DataFlowMessageIsNotASignedMessage) {
    auto p = a_to_b_.send_data(bytes_of("plain data"));
    ASSERT_TRUE(p);
    auto r = b_from_a_.receive_signed(*p, "ctx");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, PqErrorKind::Serialization);
    EXPECT_TRUE(starts_with(r.error().display(), "serialization error: ")) << r.error().display();
}

TEST_F(ChannelTest, SignedFlowRoundTripAndPlaintextForm) {
    const EncryptedPayload p = send_signed(a_to_b_, "transfer 10", "payments", "req-77");
    EXPECT_EQ(p.recipient_key_id, b_->id());

    auto plain = Decryptor::from_keypair(*b_).decrypt(p);
    ASSERT_TRUE(plain);
    const std::string json = text_of(*plain);
    EXPECT_TRUE(starts_with(json, R"({"signed_payload":{"data":[)")) << json.substr(0, 60);
    EXPECT_TRUE(json.ends_with(R"("},"context_id":"payments","correlation_id":"req-77"})")) << json;
    const SignedBytes inner = inner_of(p);
    EXPECT_EQ(text_of(inner.signed_payload.data), "transfer 10");
    EXPECT_EQ(inner.signed_payload.key_id, a_->id());
    ASSERT_TRUE(inner.signed_payload.ed25519_signature);  // always hybrid
    EXPECT_EQ(inner.signed_payload.ed25519_signature->size(), 64u);
    EXPECT_EQ(inner.signed_payload.ml_dsa_signature.size(), 3309u);

    auto r = b_from_a_.receive_signed(p, "payments");
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(text_of(*r), "transfer 10");
    EXPECT_EQ(b_from_a_.tracked_nonces(), 1u);
}

TEST_F(ChannelTest, SignedFlowWorksInBothDirections) {
    const EncryptedPayload p = send_signed(b_from_a_, "reply", "ctx");
    auto r = a_to_b_.receive_signed(p, "ctx");
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(text_of(*r), "reply");
}

TEST_F(ChannelTest, ReplayIsRefusedWithTheNonce) {
    const EncryptedPayload p = send_signed(a_to_b_, "once", "ctx");
    const std::string nonce = inner_of(p).signed_payload.nonce;
    ASSERT_TRUE(b_from_a_.receive_signed(p, "ctx"));
    auto again = b_from_a_.receive_signed(p, "ctx");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, PqErrorKind::ReplayDetected);
    EXPECT_EQ(again.error().display(), "replay detected: nonce " + nonce + " already seen");
    // The data flow has no replay guard: the payload still opens there.
    EXPECT_TRUE(b_from_a_.receive_data(p));
}

TEST_F(ChannelTest, ContextMismatchThenReplay) {
    const EncryptedPayload p = send_signed(a_to_b_, "bound", "orders");
    const std::string nonce = inner_of(p).signed_payload.nonce;
    auto wrong = b_from_a_.receive_signed(p, "payments");
    ASSERT_FALSE(wrong);
    EXPECT_EQ(wrong.error().display(),
              "signature verification failed: signed payload context is 'orders', expected 'payments'");
    auto right = b_from_a_.receive_signed(p, "orders");
    ASSERT_FALSE(right);
    EXPECT_EQ(right.error().display(), "replay detected: nonce " + nonce + " already seen");
}

TEST_F(ChannelTest, ANewChannelObjectStartsWithAnEmptyCache) {
    const EncryptedPayload p = send_signed(a_to_b_, "x", "ctx");
    ASSERT_TRUE(b_from_a_.receive_signed(p, "ctx"));
    const SecureChannel fresh = SecureChannel::establish_from_bundle(*b_, a_->public_keys());
    EXPECT_TRUE(fresh.receive_signed(p, "ctx"));
}

TEST_F(ChannelTest, IdenticalMessagesAreSealedDifferentlyAndEachAcceptedOnce) {
    const EncryptedPayload p1 = send_signed(a_to_b_, "same", "ctx", "corr");
    const EncryptedPayload p2 = send_signed(a_to_b_, "same", "ctx", "corr");
    EXPECT_NE(p1.to_json(), p2.to_json());
    EXPECT_NE(inner_of(p1).signed_payload.nonce, inner_of(p2).signed_payload.nonce);
    EXPECT_TRUE(b_from_a_.receive_signed(p1, "ctx"));
    EXPECT_TRUE(b_from_a_.receive_signed(p2, "ctx"));
    EXPECT_FALSE(b_from_a_.receive_signed(p1, "ctx"));
    EXPECT_FALSE(b_from_a_.receive_signed(p2, "ctx"));
}

TEST_F(ChannelTest, MessageForAnotherRecipientFailsTheIdCheck) {
    const EncryptedPayload p = send_signed(a_to_b_, "for B only", "ctx");
    const SecureChannel c_from_a = SecureChannel::establish_from_bundle(*c_, a_->public_keys());
    const std::string expected = "decryption failed: recipient key id mismatch: payload targeted '" + b_->id() +
                                 "', decryptor holds '" + c_->id() + "'";
    EXPECT_EQ(error_of(c_from_a.receive_signed(p, "ctx")), expected);
    EXPECT_EQ(error_of(c_from_a.receive_data(p)), expected);
}

TEST_F(ChannelTest, OnlyTheRemotePartysSignaturesVerify) {
    // C seals to B with C's own signature; B's channel with A must refuse it,
    // whatever key id the signed payload states.
    const SecureChannel c_to_b = SecureChannel::establish_from_bundle(*c_, b_->public_keys());
    const EncryptedPayload p = send_signed(c_to_b, "impostor", "ctx");
    auto r = b_from_a_.receive_signed(p, "ctx");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, PqErrorKind::VerificationFailed);
    EXPECT_TRUE(starts_with(r.error().display(), "signature verification failed: ML-DSA: ")) << r.error().display();

    // Stating A's key id changes nothing.
    SignedBytes forged = inner_of(p);
    forged.signed_payload.key_id = a_->id();
    auto resealed = Encryptor::from_bundle(b_->public_keys()).encrypt(bytes_of(forged.to_json()));
    ASSERT_TRUE(resealed);
    EXPECT_TRUE(starts_with(error_of(b_from_a_.receive_signed(*resealed, "ctx")), "signature verification failed: "));
    EXPECT_EQ(b_from_a_.tracked_nonces(), 0u);
}

TEST_F(ChannelTest, TamperedSignedDataDoesNotBurnTheNonce) {
    const EncryptedPayload p = send_signed(a_to_b_, "pay 10", "ctx");
    SignedBytes tampered = inner_of(p);
    tampered.signed_payload.data = bytes_of("pay 99");
    auto resealed = Encryptor::from_bundle(b_->public_keys()).encrypt(bytes_of(tampered.to_json()));
    ASSERT_TRUE(resealed);
    EXPECT_TRUE(starts_with(error_of(b_from_a_.receive_signed(*resealed, "ctx")), "signature verification failed: "));
    // The genuine message with the same nonce is still accepted once.
    auto r = b_from_a_.receive_signed(p, "ctx");
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(text_of(*r), "pay 10");
}

TEST_F(ChannelTest, MalformedSignedBytesIsASerializationError) {
    const SignedBytes inner = inner_of(send_signed(a_to_b_, "x", "ctx"));
    nlohmann::json j = nlohmann::json::parse(inner.to_json());
    j.erase("correlation_id");
    auto sealed = Encryptor::from_bundle(b_->public_keys()).encrypt(bytes_of(j.dump()));
    ASSERT_TRUE(sealed);
    EXPECT_EQ(error_of(b_from_a_.receive_signed(*sealed, "ctx")), "serialization error: missing field `correlation_id`");
}

TEST_F(ChannelTest, SignedBytesToJsonWritesWhatTheGenericWriterWrites) {
    SignedBytes sb = inner_of(send_signed(a_to_b_, "x", "ctx", "corr"));
    for (int variant = 0; variant < 3; ++variant) {
        if (variant == 1) {
            sb.context_id = "c\"tx \xc3\xa9\n";
            sb.correlation_id = "\\";
        }
        if (variant == 2) {
            sb.signed_payload.ed25519_signature.reset();
            sb.signed_payload.signed_at = *ostrel_util::Timestamp::from_unix(1700000000, 120000000);
        }
        ostrel_util::JsonWriter w;
        sb.write_json(w);
        EXPECT_EQ(sb.to_json(), w.str()) << variant;
    }
}

// SignedBytes::from_json has a fast path for the shape send_signed writes;
// it must agree with the generic reader on every text.
TEST_F(ChannelTest, SignedBytesFastPathAgreesWithTheGenericReader) {
    const std::string canonical = inner_of(send_signed(a_to_b_, "x", "ctx", "corr")).to_json();
    auto replaced = [&](std::string_view from, std::string_view to) {
        std::string t = canonical;
        const auto at = t.find(from);
        if (at != std::string::npos) t.replace(at, from.size(), to);
        return t;
    };
    const std::vector<std::string> texts = {
        canonical,
        replaced("\"context_id\":\"ctx\"", "\"context_id\" : \"c\\u00e9\""),
        replaced("\"ed25519_signature\":[", "\"ed25519_signature\":null,\"x\":["),
        replaced("\"ed25519_signature\":[", "\"ignored\":["),
        replaced("Z\"", "+02:00\""),
        replaced("Z\"", "\""),
        replaced(",\"correlation_id\":\"corr\"", ""),
        replaced("\"nonce\":", "\"nonce\":1,\"nonce\":"),
        replaced("\"signed_payload\":{", "\"signed_payload\":{\"data\":[],"),
    };
    for (const std::string& text : texts) {
        auto fast = SignedBytes::from_json(text);
        std::expected<SignedBytes, ostrel_util::JsonError> generic = std::unexpected(ostrel_util::JsonError{});
        auto doc = ostrel_util::parse_json(text);
        generic = doc ? SignedBytes::from_json_value(*doc) : std::unexpected(doc.error());
        ASSERT_EQ(fast.has_value(), generic.has_value()) << text.substr(0, 200);
        if (fast)
            EXPECT_EQ(*fast, *generic);
        else
            EXPECT_EQ(fast.error().message, generic.error().message);
    }
}

TEST_F(ChannelTest, TamperedSealedMessageFailsToOpen) {
    EncryptedPayload p = send_signed(a_to_b_, "x", "ctx");
    p.encrypted_data[10] ^= 1;
    EXPECT_TRUE(starts_with(error_of(b_from_a_.receive_signed(p, "ctx")), "decryption failed: AEAD decrypt: "));
}

TEST_F(ChannelTest, BadRemoteX25519KeyFailsEverySend) {
    PublicKeyBundle bad = b_->public_keys();
    bad.x25519_public_key.resize(31);
    const SecureChannel ch = SecureChannel::establish_from_bundle(*a_, bad);
    const std::string text = "decryption failed: X25519 public key must be 32 bytes, got 31";
    auto d = ch.send_data(bytes_of("x"));
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind, PqErrorKind::Decryption);
    EXPECT_EQ(d.error().display(), text);
    auto s = ch.send_signed(bytes_of("x"), "ctx", "corr");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().display(), text);
}

TEST_F(ChannelTest, ConcurrentPresentationsOfOneMessageYieldExactlyOneSuccess) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 3; ++round) {
        const EncryptedPayload p = send_signed(a_to_b_, "race " + std::to_string(round), "ctx");
        std::atomic<int> accepted{0}, replays{0}, other{0};
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                auto r = b_from_a_.receive_signed(p, "ctx");
                if (r)
                    ++accepted;
                else if (r.error().kind == PqErrorKind::ReplayDetected)
                    ++replays;
                else
                    ++other;
            });
        }
        for (auto& th : threads) th.join();
        EXPECT_EQ(accepted.load(), 1);
        EXPECT_EQ(replays.load(), kThreads - 1);
        EXPECT_EQ(other.load(), 0);
    }
}

TEST_F(ChannelTest, DistinctMessagesFromSeveralThreadsAreAllAccepted) {
    constexpr int kThreads = 4;
    constexpr int kEach = 5;
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                const std::string msg = std::to_string(t) + "/" + std::to_string(i);
                auto p = a_to_b_.send_signed(bytes_of(msg), "ctx", msg);
                if (!p) continue;
                auto r = b_from_a_.receive_signed(*p, "ctx");
                if (r && text_of(*r) == msg) ++accepted;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(accepted.load(), kThreads * kEach);
    EXPECT_EQ(b_from_a_.tracked_nonces(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace ostrel_pq
