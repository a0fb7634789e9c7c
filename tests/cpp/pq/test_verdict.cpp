#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>

#include "pq/verdict.hpp"
#include "pq_test_support.hpp"
#include "util/log.hpp"

namespace ostrel_pq {
namespace {

using testing::bytes_of;
using testing::starts_with;

class ReplayGuardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        local_ = new OstrelKeyPair(testing::make_keypair());
    }
    static void TearDownTestSuite() {
        delete local_;
        local_ = nullptr;
    }
    static const OstrelKeyPair& local() { return *local_; }
    static SignedPayload sign(std::string_view data) {
        auto p = VerdictSigner(local()).sign(bytes_of(data));
        EXPECT_TRUE(p) << p.error().display();
        return std::move(*p);
    }
    static VerdictVerifier verifier(std::size_t max = 100'000) {
        return VerdictVerifier::from_bundle(local().public_keys(), max);
    }

private:
    static OstrelKeyPair* local_;
};
OstrelKeyPair* ReplayGuardTest::local_ = nullptr;

TEST_F(ReplayGuardTest, SignerIsHybrid) {
    const auto p = sign("x");
    EXPECT_TRUE(p.ed25519_signature.has_value());
    EXPECT_EQ(p.key_id, local().id());
    EXPECT_TRUE(VerdictSigner(local()).signer().is_hybrid());
}

TEST_F(ReplayGuardTest, SecondPresentationIsAReplay) {
    auto v = verifier();
    const auto p = sign("pay");
    auto first = v.verify_bytes(p, "ctx", "ctx");
    ASSERT_TRUE(first) << first.error().display();
    EXPECT_EQ(*first, bytes_of("pay"));
    auto second = v.verify_bytes(p, "ctx", "ctx");
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind, PqErrorKind::ReplayDetected);
    EXPECT_EQ(second.error().display(), "replay detected: nonce " + p.nonce + " already seen");
    // A different payload is still accepted.
    EXPECT_TRUE(v.check_signature_and_replay(sign("pay")));
}

TEST_F(ReplayGuardTest, BadSignatureDoesNotEnterTheCache) {
    auto v = verifier();
    const auto good = sign("x");
    auto bad = good;
    (*bad.ed25519_signature)[0] ^= 1;
    auto r = v.check_signature_and_replay(bad);
    ASSERT_FALSE(r);
    EXPECT_TRUE(starts_with(r.error().display(), "signature verification failed: Ed25519: ")) << r.error().display();
    EXPECT_EQ(v.tracked_nonces(), 0u);
    EXPECT_TRUE(v.check_signature_and_replay(good));
    EXPECT_EQ(v.check_signature_and_replay(good).error().kind, PqErrorKind::ReplayDetected);

    // A PQ-only payload fails the hybrid guard's downgrade check.
    auto pq_only = Signer::from_keypair(local(), false).sign(bytes_of("x"));
    ASSERT_TRUE(pq_only);
    EXPECT_EQ(v.check_signature_and_replay(*pq_only).error().display(),
              "signature verification failed: hybrid mode requires Ed25519 signature");
}

TEST_F(ReplayGuardTest, ContextMismatchStillRecordsTheNonce) {
    auto v = verifier();
    const auto p = sign("x");
    auto r = v.verify_bytes(p, "ctx-a", "ctx-b");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, PqErrorKind::VerificationFailed);
    EXPECT_EQ(r.error().display(), "signature verification failed: signed payload context is 'ctx-a', expected 'ctx-b'");
    auto again = v.verify_bytes(p, "ctx-b", "ctx-b");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, PqErrorKind::ReplayDetected);
    // Byte-for-byte comparison: case matters.
    EXPECT_FALSE(v.verify_bytes(sign("y"), "Ctx", "ctx"));
}

TEST_F(ReplayGuardTest, CacheIsClearedPastItsLimitWithAWarning) {
    auto sink = std::make_shared<ostrel_util::log::CapturingSink>();
    ostrel_util::log::ScopedSink scoped(sink);
    auto v = verifier(2);
    const auto p1 = sign("1");
    const auto p2 = sign("2");
    const auto p3 = sign("3");
    ASSERT_TRUE(v.check_signature_and_replay(p1));
    ASSERT_TRUE(v.check_signature_and_replay(p2));
    EXPECT_EQ(v.tracked_nonces(), 2u);
    EXPECT_EQ(sink->count(std::string(kNonceCacheClearedMessage)), 0u);
    ASSERT_TRUE(v.check_signature_and_replay(p3));  // the third empties the cache
    EXPECT_EQ(v.tracked_nonces(), 0u);
    const auto events = sink->find(kNonceCacheClearedMessage, kVerdictLogTarget);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, ostrel_util::log::Level::Warn);
    // Forgotten nonces are accepted again, once.
    EXPECT_TRUE(v.check_signature_and_replay(p1));
    EXPECT_TRUE(v.check_signature_and_replay(p3));
    EXPECT_EQ(v.check_signature_and_replay(p1).error().kind, PqErrorKind::ReplayDetected);
}

TEST_F(ReplayGuardTest, ConcurrentPresentationsOfOnePayloadYieldExactlyOneSuccess) {
    constexpr int kRounds = 20;
    constexpr int kThreads = 4;
    std::vector<SignedPayload> payloads;
    for (int i = 0; i < kRounds; ++i) payloads.push_back(sign("round " + std::to_string(i)));
    auto v = verifier();

    std::vector<std::atomic<int>> successes(kRounds);
    std::vector<std::atomic<int>> replays(kRounds);
    std::barrier sync(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                sync.arrive_and_wait();  // every thread presents payload i at once
                auto r = v.check_signature_and_replay(payloads[i]);
                if (r)
                    successes[i].fetch_add(1);
                else if (r.error().kind == PqErrorKind::ReplayDetected)
                    replays[i].fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_EQ(successes[i].load(), 1) << "round " << i;
        EXPECT_EQ(replays[i].load(), kThreads - 1) << "round " << i;
    }
    EXPECT_EQ(v.tracked_nonces(), static_cast<std::size_t>(kRounds));
}

TEST_F(ReplayGuardTest, PayloadsSurviveJsonTransport) {
    auto v = verifier();
    const auto p = sign("over the wire");
    auto back = SignedPayload::from_json(p.to_json());
    ASSERT_TRUE(back);
    auto r = v.verify_bytes(*back, "c", "c");
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(*r, bytes_of("over the wire"));
    EXPECT_EQ(v.verify_bytes(p, "c", "c").error().kind, PqErrorKind::ReplayDetected);
}

}  // namespace
}  // namespace ostrel_pq
