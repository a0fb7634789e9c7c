#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "pq/crypto/ed25519.hpp"
#include "pq/crypto/mldsa65.hpp"
#include "pq/crypto/mlkem768.hpp"
#include "pq/crypto/x25519.hpp"
#include "pq/key_file_io.hpp"
#include "pq/keys.hpp"
#include "pq_test_support.hpp"
#include "util/time.hpp"

namespace ostrel_pq {
namespace {

using testing::bytes_of;
using testing::make_keypair;
using testing::starts_with;
using testing::text_of;

Timestamp ts(std::int64_t s, std::uint32_t ns = 0) { return *Timestamp::from_unix(s, ns); }

// A key pair with chosen times, built from a generated one.
OstrelKeyPair with_times(const OstrelKeyPair& kp, Timestamp created, std::optional<Timestamp> expires) {
    return OstrelKeyPair(OstrelKeyPair::Parts{kp.id(), kp.ml_dsa_signing_key(), kp.ml_dsa_verifying_key(),
                                              kp.ml_kem_decapsulation_key(), kp.ml_kem_encapsulation_key(),
                                              kp.ed25519_signing_key(), kp.ed25519_verifying_key(),
                                              kp.x25519_secret_key(), kp.x25519_public_key(), created, expires});
}

void expect_same_keypair(const OstrelKeyPair& a, const OstrelKeyPair& b) {
    EXPECT_EQ(a.id(), b.id());
    EXPECT_TRUE(std::ranges::equal(a.ml_dsa_signing_key(), b.ml_dsa_signing_key()));
    EXPECT_EQ(a.ml_dsa_verifying_key(), b.ml_dsa_verifying_key());
    EXPECT_TRUE(std::ranges::equal(a.ml_kem_decapsulation_key(), b.ml_kem_decapsulation_key()));
    EXPECT_EQ(a.ml_kem_encapsulation_key(), b.ml_kem_encapsulation_key());
    EXPECT_TRUE(std::ranges::equal(a.ed25519_signing_key(), b.ed25519_signing_key()));
    EXPECT_EQ(a.ed25519_verifying_key(), b.ed25519_verifying_key());
    EXPECT_TRUE(std::ranges::equal(a.x25519_secret_key(), b.x25519_secret_key()));
    EXPECT_EQ(a.x25519_public_key(), b.x25519_public_key());
    EXPECT_EQ(a.created_at(), b.created_at());
    EXPECT_EQ(a.expires_at(), b.expires_at());
}

// ---- generation ------------------------------------------------------------

TEST(KeyGeneration, IdsAreUniquePrefixedAnd47Characters) {
    std::set<std::string> ids;
    for (int i = 0; i < 5; ++i) {
        const auto kp = make_keypair();
        EXPECT_EQ(kp.id().size(), 47u);
        EXPECT_TRUE(starts_with(kp.id(), "ostrel-key-")) << kp.id();
        ids.insert(kp.id());
    }
    EXPECT_EQ(ids.size(), 5u);
}

TEST(KeyGeneration, StoresSeedsAndTheMatchingPublicKeys) {
    const auto kp = make_keypair();
    ASSERT_EQ(kp.ml_dsa_signing_key().size(), 32u);
    ASSERT_EQ(kp.ml_kem_decapsulation_key().size(), 64u);
    ASSERT_EQ(kp.ed25519_signing_key().size(), 32u);
    ASSERT_EQ(kp.x25519_secret_key().size(), 32u);
    EXPECT_EQ(kp.ml_dsa_verifying_key().size(), 1952u);
    EXPECT_EQ(kp.ml_kem_encapsulation_key().size(), 1184u);

    // Each public key is the one its seed determines.
    const auto dsa = crypto::mldsa65::keygen_internal(
        std::span<const std::uint8_t, 32>(kp.ml_dsa_signing_key().data(), 32));
    EXPECT_TRUE(std::ranges::equal(dsa.public_key, kp.ml_dsa_verifying_key()));
    const auto kem = crypto::mlkem768::keygen_from_seed(kp.ml_kem_decapsulation_key().span());
    ASSERT_TRUE(kem);
    EXPECT_EQ(kem->encapsulation_key, kp.ml_kem_encapsulation_key());
    EXPECT_EQ(*crypto::ed25519::public_key_from_seed(kp.ed25519_signing_key().span()), kp.ed25519_verifying_key());
    EXPECT_EQ(*crypto::x25519::public_key_from_secret(kp.x25519_secret_key().span()), kp.x25519_public_key());

    // Two key pairs share no secret.
    const auto other = make_keypair();
    EXPECT_FALSE(std::ranges::equal(kp.ml_dsa_signing_key(), other.ml_dsa_signing_key()));
    EXPECT_FALSE(std::ranges::equal(kp.x25519_secret_key(), other.x25519_secret_key()));
}

TEST(KeyGeneration, CreatedAtIsNow) {
    const auto before = ostrel_util::now();
    const auto kp = make_keypair();
    const auto after = ostrel_util::now();
    EXPECT_LE(before, kp.created_at());
    EXPECT_LE(kp.created_at(), after);
}

TEST(KeyExpiry, NoTtlNeverExpires) {
    const auto kp = make_keypair();
    EXPECT_FALSE(kp.expires_at().has_value());
    EXPECT_FALSE(kp.is_expired());
    EXPECT_FALSE(kp.is_expired_at(ts(253402300799)));
}

TEST(KeyExpiry, ZeroTtlExpiresStrictlyAfterCreation) {
    const auto kp = make_keypair(KeyTtl{0, 0});
    ASSERT_TRUE(kp.expires_at().has_value());
    EXPECT_EQ(*kp.expires_at(), kp.created_at());
    EXPECT_FALSE(kp.is_expired_at(kp.created_at()));  // equal to now: not expired
    EXPECT_TRUE(kp.is_expired_at(*kp.created_at().checked_add_nanos(1)));
}

TEST(KeyExpiry, NegativeTtlIsAlreadyExpired) {
    const auto kp = make_keypair(KeyTtl{-1, 0});
    EXPECT_TRUE(kp.is_expired());
    EXPECT_EQ(*kp.expires_at(), *kp.created_at().checked_add_seconds(-1));
    EXPECT_TRUE(kp.public_keys().is_expired());
}

TEST(KeyExpiry, PositiveTtlAddsSecondsAndNanos) {
    const auto kp = make_keypair(KeyTtl::from_chrono(std::chrono::milliseconds(3600'250)));
    EXPECT_EQ(kp.expires_at()->nanos_since(kp.created_at()), 3600'250'000'000LL);
    EXPECT_FALSE(kp.is_expired());
}

TEST(KeyExpiry, TtlBeyondTheRepresentableRangeIsRefused) {
    for (std::int64_t secs : {std::int64_t{400'000'000'000}, std::int64_t{-400'000'000'000}}) {
        auto kp = OstrelKeyPair::generate_with_expiry(KeyTtl{secs, 0});
        ASSERT_FALSE(kp);
        EXPECT_EQ(kp.error().kind, PqErrorKind::KeyGeneration);
        EXPECT_TRUE(starts_with(kp.error().display(), "key generation failed: ttl out of range")) << kp.error().display();
    }
}

// ---- public bundle -----------------------------------------------------------

TEST(PublicKeyBundle, CopiesThePublicFields) {
    const auto kp = make_keypair(KeyTtl{60, 0});
    const auto b = kp.public_keys();
    EXPECT_EQ(b.id, kp.id());
    EXPECT_EQ(b.ml_dsa_verifying_key, kp.ml_dsa_verifying_key());
    EXPECT_EQ(b.ml_kem_encapsulation_key, kp.ml_kem_encapsulation_key());
    EXPECT_EQ(b.ed25519_verifying_key, kp.ed25519_verifying_key());
    EXPECT_EQ(b.x25519_public_key, kp.x25519_public_key());
    EXPECT_EQ(b.created_at, kp.created_at());
    EXPECT_EQ(b.expires_at, kp.expires_at());
}

TEST(PublicKeyBundle, JsonHasKeysInOrderAndNullExpiry) {
    PublicKeyBundle b{"ostrel-key-x", {1, 2}, {3}, {}, {255}, ts(1735787045, 123000000), std::nullopt};
    EXPECT_EQ(b.to_json(),
              R"({"id":"ostrel-key-x","ml_dsa_verifying_key":[1,2],"ml_kem_encapsulation_key":[3],)"
              R"("ed25519_verifying_key":[],"x25519_public_key":[255],"created_at":"2025-01-02T03:04:05.123Z",)"
              R"("expires_at":null})");
    b.expires_at = ts(1735787046);
    EXPECT_NE(b.to_json().find(R"("expires_at":"2025-01-02T03:04:06Z")"), std::string::npos);
}

TEST(PublicKeyBundle, JsonAndBlobRoundTrip) {
    for (auto ttl : {std::optional<KeyTtl>{}, std::optional<KeyTtl>{KeyTtl{5, 7}}}) {
        const auto b = make_keypair(ttl).public_keys();
        auto j = PublicKeyBundle::from_json(b.to_json());
        ASSERT_TRUE(j) << j.error().message;
        EXPECT_EQ(*j, b);
        auto blob = b.to_bytes();
        ASSERT_TRUE(blob);
        EXPECT_EQ(text_of(std::span(*blob).first(5)), std::string("OSPB\x01", 5));
        EXPECT_EQ(text_of(std::span(*blob).subspan(5)), b.to_json());
        auto back = PublicKeyBundle::from_bytes(*blob);
        ASSERT_TRUE(back) << back.error().display();
        EXPECT_EQ(*back, b);
    }
}

TEST(PublicKeyBundle, JsonReadingRules) {
    const std::string base =
        R"({"id":"k","ml_dsa_verifying_key":[1],"ml_kem_encapsulation_key":[2],"ed25519_verifying_key":[3],)"
        R"("x25519_public_key":[4],"created_at":"2025-01-02T04:04:05+01:00")";
    // Missing expiry reads as none; offsets are converted to UTC; unknown keys ignored.
    auto b = PublicKeyBundle::from_json(base + R"(,"colour":"blue"})");
    ASSERT_TRUE(b) << b.error().message;
    EXPECT_FALSE(b->expires_at.has_value());
    EXPECT_EQ(b->created_at, ts(1735787045));
    EXPECT_EQ(b->ml_dsa_verifying_key, Bytes{1});

    struct Case {
        std::string json;
        std::string message;
    };
    const std::vector<Case> cases = {
        {R"({"id":"k","ml_dsa_verifying_key":[1],"ml_kem_encapsulation_key":[2],"ed25519_verifying_key":[3],"x25519_public_key":[4]})",
         "missing field `created_at`"},
        {base + R"(,"id":"again"})", "duplicate field `id`"},
        {R"({"ml_dsa_verifying_key":[1]})", "missing field `id`"},
    };
    for (const auto& c : cases) {
        auto r = PublicKeyBundle::from_json(c.json);
        ASSERT_FALSE(r) << c.json;
        EXPECT_EQ(r.error().message, c.message);
    }
    // A byte out of range is reported against its field.
    auto bad = PublicKeyBundle::from_json(
        R"({"id":"k","ml_dsa_verifying_key":[256],"ml_kem_encapsulation_key":[],"ed25519_verifying_key":[],"x25519_public_key":[],"created_at":"2025-01-02T03:04:05Z"})");
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().message.find("ml_dsa_verifying_key"), std::string::npos) << bad.error().message;
}

TEST(PublicKeyBundle, BlobHeaderErrors) {
    const auto secret = *make_keypair().to_secret_bytes();
    struct Case {
        Bytes blob;
        std::string display;
    };
    const std::vector<Case> cases = {
        {{}, "serialization error: public bundle too short for header"},
        {bytes_of("OSPB"), "serialization error: public bundle too short for header"},
        {Bytes(secret.begin(), secret.end()), "serialization error: public bundle magic mismatch (not a OSPB blob)"},
        {bytes_of(std::string("OSPB\x02{}", 7)), "serialization error: unsupported public bundle version 2, expected 1"},
    };
    for (const auto& c : cases) {
        auto r = PublicKeyBundle::from_bytes(c.blob);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, PqErrorKind::Serialization);
        EXPECT_EQ(r.error().display(), c.display);
    }
    auto empty_json = PublicKeyBundle::from_bytes(bytes_of(std::string("OSPB\x01", 5)));
    ASSERT_FALSE(empty_json);
    EXPECT_TRUE(starts_with(empty_json.error().display(), "serialization error: public bundle decode: "));
}

// ---- secret blob -------------------------------------------------------------

TEST(SecretBlob, RoundTripKeepsEveryFieldIncludingNanoseconds) {
    const auto kp = make_keypair();
    const std::vector<std::pair<Timestamp, std::optional<Timestamp>>> times = {
        {kp.created_at(), std::nullopt},
        {ts(1735787045, 123456789), ts(1735787045, 500000000)},
        {ts(1735787045, 100), ts(1735787046, 1000)},
        {ts(-62135596800), ts(253402300799, 999999999)},
    };
    for (const auto& [created, expires] : times) {
        const auto src = with_times(kp, created, expires);
        auto blob = src.to_secret_bytes();
        ASSERT_TRUE(blob);
        auto back = OstrelKeyPair::from_secret_bytes(blob->span());
        ASSERT_TRUE(back) << back.error().display();
        expect_same_keypair(src, *back);
    }
}

TEST(SecretBlob, LayoutIsMagicVersionThenJsonInWireOrder) {
    const auto kp = with_times(make_keypair(), ts(1735787045, 500000000), std::nullopt);
    const auto blob = *kp.to_secret_bytes();
    const std::string text = text_of(blob.span());
    EXPECT_EQ(text.substr(0, 5), std::string("OSSK\x01", 5));
    const std::string json = text.substr(5);
    EXPECT_TRUE(starts_with(json, R"({"id":")" + kp.id() +
                                      R"(","created_at":"2025-01-02T03:04:05.500Z","expires_at":null,"ml_dsa_signing_key":[)"))
        << json.substr(0, 120);
    std::size_t last = 0;
    for (const char* key : {"\"ml_dsa_signing_key\"", "\"ml_dsa_verifying_key\"", "\"ml_kem_decapsulation_key\"",
                            "\"ml_kem_encapsulation_key\"", "\"ed25519_signing_key\"", "\"ed25519_verifying_key\"",
                            "\"x25519_secret_key\"", "\"x25519_public_key\""}) {
        const auto at = json.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
    EXPECT_EQ(json.find(' '), std::string::npos);
    EXPECT_EQ(json.back(), '}');
}

TEST(SecretBlob, HeaderErrors) {
    const auto bundle_blob = *make_keypair().public_keys().to_bytes();
    struct Case {
        Bytes blob;
        std::string display;
    };
    const std::vector<Case> cases = {
        {{}, "serialization error: keypair blob too short for header"},
        {bytes_of("OSSK"), "serialization error: keypair blob too short for header"},
        {bundle_blob, "serialization error: keypair magic mismatch (not a OSSK blob)"},
        {bytes_of(std::string("OSSK\x02", 5)), "serialization error: unsupported keypair version 2, expected 1"},
        {bytes_of(std::string("OSSK\xff{}", 7)), "serialization error: unsupported keypair version 255, expected 1"},
    };
    for (const auto& c : cases) {
        auto r = OstrelKeyPair::from_secret_bytes(c.blob);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind, PqErrorKind::Serialization);
        EXPECT_EQ(r.error().display(), c.display);
    }
}

// Replaces the first occurrence of `from` in the blob's JSON with `to`.
Bytes edit_blob(const SecretBytes& blob, const std::string& from, const std::string& to) {
    std::string text = text_of(blob.span());
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return bytes_of(text);
}

TEST(SecretBlob, JsonErrorsAreNamed) {
    const auto kp = make_keypair();
    const auto blob = *kp.to_secret_bytes();
    struct Case {
        std::string from;
        std::string to;
        std::string display;
    };
    const std::vector<Case> cases = {
        {",\"x25519_public_key\":", ",\"unused\":", "serialization error: keypair decode: missing field `x25519_public_key`"},
        {"\"created_at\":", "\"x\":1,\"created_at\":", ""},  // unknown keys are ignored
        {"\"expires_at\":null,", "", ""},                   // expiry may be missing
        {"{\"id\":", "{\"ed25519_signing_key\":[1],\"id\":", "serialization error: keypair decode: duplicate field `ed25519_signing_key`"},
        {"\"ml_dsa_signing_key\":[", "\"ml_dsa_signing_key\":[300,",
         "serialization error: keypair decode: invalid value for field `ml_dsa_signing_key`: integer `300`, expected an integer 0..255"},
    };
    for (const auto& c : cases) {
        auto r = OstrelKeyPair::from_secret_bytes(edit_blob(blob, c.from, c.to));
        if (c.display.empty()) {
            ASSERT_TRUE(r) << c.from << ": " << r.error().display();
            expect_same_keypair(kp, *r);
        } else {
            ASSERT_FALSE(r) << c.from;
            EXPECT_EQ(r.error().display(), c.display);
        }
    }
    auto empty = OstrelKeyPair::from_secret_bytes(bytes_of(std::string("OSSK\x01", 5)));
    ASSERT_FALSE(empty);
    EXPECT_TRUE(starts_with(empty.error().display(), "serialization error: keypair decode: ")) << empty.error().display();
    auto not_object = OstrelKeyPair::from_secret_bytes(bytes_of(std::string("OSSK\x01[1,2]", 10)));
    ASSERT_FALSE(not_object);
    EXPECT_TRUE(starts_with(not_object.error().display(), "serialization error: keypair decode: "));
}

TEST(SecretBlob, KeyLengthsAreNotCheckedOnLoad) {
    const auto kp = make_keypair();
    const auto blob = *kp.to_secret_bytes();
    auto r = OstrelKeyPair::from_secret_bytes(edit_blob(blob, "\"ed25519_verifying_key\":[", "\"ed25519_verifying_key\":[9,"));
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r->ed25519_verifying_key().size(), 33u);
}

// ---- key files ---------------------------------------------------------------

TEST(KeyFile, SaveAndLoadRoundTripWithMode600RegardlessOfUmask) {
    testing::TempDir dir;
    const auto kp = make_keypair(KeyTtl{30, 5});
    for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{0277}}) {
        const std::string path = dir.file("key-" + std::to_string(mask));
        {
            testing::ScopedUmask um(mask);
            ASSERT_TRUE(kp.save_to_file(path));
        }
        EXPECT_EQ(testing::file_mode(path), 0600u) << "umask " << mask;
        EXPECT_EQ(testing::read_text(path), text_of(kp.to_secret_bytes()->span()));
        auto back = OstrelKeyPair::load_from_file(path);
        ASSERT_TRUE(back) << back.error().display();
        expect_same_keypair(kp, *back);
    }
}

TEST(KeyFile, ExistingFileIsTightenedNeverWidened) {
    testing::TempDir dir;
    const auto kp = make_keypair();
    const std::string path = dir.file("key");
    testing::write_text(path, "old contents that are longer than nothing");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_TRUE(kp.save_to_file(path));
    EXPECT_EQ(testing::file_mode(path), 0600u);
    EXPECT_TRUE(OstrelKeyPair::load_from_file(path));

    // Owner write already off: stays off (the write itself needs it, so only
    // a privileged user gets that far).
    const std::string ro = dir.file("ro");
    testing::write_text(ro, "x");
    ASSERT_EQ(::chmod(ro.c_str(), 0400), 0);
    auto r = kp.save_to_file(ro);
    if (::geteuid() != 0) {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), "serialization error: open key file " + ro + ": Permission denied");
    } else {
        ASSERT_TRUE(r);
        EXPECT_EQ(testing::file_mode(ro), 0400u);
    }
}

TEST(KeyFile, OverwritingALongerFileLeavesExactlyTheNewBlob) {
    testing::TempDir dir;
    const auto kp = make_keypair();
    const std::string path = dir.file("key");
    testing::write_text(path, std::string(100'000, 'z'));
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    ASSERT_TRUE(kp.save_to_file(path));
    EXPECT_EQ(testing::read_text(path), text_of(kp.to_secret_bytes()->span()));
    EXPECT_EQ(testing::file_mode(path), 0600u);
    auto back = OstrelKeyPair::load_from_file(path);
    ASSERT_TRUE(back) << back.error().display();
    expect_same_keypair(kp, *back);
}

namespace {

// Names in `dir`, for checking that no temporary file is left behind.
std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

int failing_rename(const char*, const char*) {
    errno = EIO;
    return -1;
}

// Restores the real rename even when an assertion ends the test early.
struct ScopedRename {
    explicit ScopedRename(ostrel_pq::key_file_io::RenameFn fn) : prev(ostrel_pq::key_file_io::set_rename(fn)) {}
    ~ScopedRename() { ostrel_pq::key_file_io::set_rename(prev); }
    ostrel_pq::key_file_io::RenameFn prev;
};

}  // namespace

// A save that dies between writing and renaming (simulated by a failing
// rename) must leave the previous key file byte for byte, with its mode, and
// no temporary file.
TEST(KeyFile, FailureBeforeTheRenameKeepsThePreviousFileIntact) {
    testing::TempDir dir;
    const auto old_kp = make_keypair();
    const auto new_kp = make_keypair();
    const std::string path = dir.file("key");
    ASSERT_TRUE(old_kp.save_to_file(path));
    const std::string before = testing::read_text(path);
    const auto names_before = names_in(dir.file(""));
    {
        ScopedRename fail(&failing_rename);
        auto r = new_kp.save_to_file(path);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), "serialization error: write key file " + path + ": Input/output error");
    }
    EXPECT_EQ(testing::read_text(path), before);
    EXPECT_EQ(testing::file_mode(path), 0600u);
    EXPECT_EQ(names_in(dir.file("")), names_before);
    auto back = OstrelKeyPair::load_from_file(path);
    ASSERT_TRUE(back) << back.error().display();
    EXPECT_EQ(back->id(), old_kp.id());

    // With the real rename the next save replaces it and cleans up after itself.
    ASSERT_TRUE(new_kp.save_to_file(path));
    EXPECT_EQ(OstrelKeyPair::load_from_file(path)->id(), new_kp.id());
    EXPECT_EQ(names_in(dir.file("")), names_before);
}

// Saving through a symbolic link replaces the file it points to and keeps the link.
TEST(KeyFile, SymbolicLinkKeepsPointingAtTheReplacedFile) {
    testing::TempDir dir;
    const auto kp = make_keypair();
    const std::string real = dir.file("real-key");
    const std::string link = dir.file("link-key");
    testing::write_text(real, "old");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    ASSERT_TRUE(kp.save_to_file(link));
    struct stat lst {};
    ASSERT_EQ(::lstat(link.c_str(), &lst), 0);
    EXPECT_TRUE(S_ISLNK(lst.st_mode));
    EXPECT_EQ(testing::file_mode(real), 0600u);
    EXPECT_EQ(OstrelKeyPair::load_from_file(real)->id(), kp.id());
}

TEST(KeyFile, ErrorsNameThePath) {
    testing::TempDir dir;
    const auto kp = make_keypair();
    const std::string missing_dir = dir.file("no/such/dir/key");
    auto s = kp.save_to_file(missing_dir);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().display(), "serialization error: open key file " + missing_dir + ": No such file or directory");

    auto l = OstrelKeyPair::load_from_file(dir.file("absent"));
    ASSERT_FALSE(l);
    EXPECT_EQ(l.error().display(),
              "serialization error: read key file " + dir.file("absent") + ": No such file or directory");

    auto d = OstrelKeyPair::load_from_file(dir.file(""));
    ASSERT_FALSE(d);
    EXPECT_TRUE(starts_with(d.error().display(), "serialization error: read key file ")) << d.error().display();

    const std::string garbage = dir.file("garbage");
    testing::write_text(garbage, "OSSK\x01not json");
    auto g = OstrelKeyPair::load_from_file(garbage);
    ASSERT_FALSE(g);
    EXPECT_TRUE(starts_with(g.error().display(), "serialization error: keypair decode: ")) << g.error().display();
}

// ---- ML-DSA verifying keys -------------------------------------------------------

TEST(LoadMlDsaVerifyingKey, AcceptsExactly1952Bytes) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1951}, std::size_t{1953}}) {
        auto r = load_ml_dsa_verifying_key(Bytes(n, 7));
        ASSERT_FALSE(r) << n;
        EXPECT_EQ(r.error().kind, PqErrorKind::KeyGeneration);
        EXPECT_EQ(r.error().display(), "key generation failed: invalid ML-DSA VK bytes: could not convert slice to array");
    }
    const auto kp = make_keypair();
    auto vk = load_ml_dsa_verifying_key(kp.ml_dsa_verifying_key());
    ASSERT_TRUE(vk);
    const Bytes msg = bytes_of("message");
    auto sig = crypto::mldsa65::sign_with_seed(kp.ml_dsa_signing_key().span(), msg, {}, crypto::mldsa65::kDeterministicRnd);
    ASSERT_TRUE(sig);
    EXPECT_TRUE(vk->verify(msg, *sig));
    auto copy = *vk;  // keys are copyable values
    EXPECT_FALSE(copy.verify(bytes_of("other"), *sig));
}

TEST(PqError, DisplayForms) {
    EXPECT_EQ(PqError::key_generation("a").display(), "key generation failed: a");
    EXPECT_EQ(PqError::signing("a").display(), "signing failed: a");
    EXPECT_EQ(PqError::verification_failed("a").display(), "signature verification failed: a");
    EXPECT_EQ(PqError::encryption("a").display(), "encryption failed: a");
    EXPECT_EQ(PqError::decryption("a").display(), "decryption failed: a");
    EXPECT_EQ(PqError::audit_chain_broken(18446744073709551615ull, "a").display(),
              "audit chain broken at entry 18446744073709551615: a");
    EXPECT_EQ(PqError::serialization("a").display(), "serialization error: a");
    EXPECT_EQ(PqError::replay_detected("n-1").display(), "replay detected: nonce n-1 already seen");
}

}  // namespace
}  // namespace ostrel_pq
