#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "pq/crypto/mldsa65.hpp"
#include "pq/directory.hpp"
#include "pq_test_support.hpp"

namespace ostrel_pq {
namespace {

using testing::bytes_of;
using testing::starts_with;

PublicKeyBundle bundle(std::string id, std::uint8_t marker = 0) {
    return PublicKeyBundle{std::move(id), {marker}, {}, {}, {}, *Timestamp::from_unix(1735787045), std::nullopt};
}

std::string fetch_text(const PublicKeyDirectory& d, std::string_view id) {
    auto r = d.fetch(id);
    return r ? "ok:" + r->id : r.error().display();
}

TEST(KeyDirectoryError, DisplayForms) {
    EXPECT_EQ(KeyDirectoryError::not_found("k").display(), "public key not found for id 'k'");
    EXPECT_EQ(KeyDirectoryError::backend_unavailable("x").display(), "public key directory unavailable: x");
    EXPECT_EQ(KeyDirectoryError::root_signature_invalid().display(), "public key directory: root signature invalid");
    EXPECT_EQ(KeyDirectoryError::corrupt("x").display(), "public key directory corrupt: x");
}

// ---- in-memory -----------------------------------------------------------------

TEST(InMemoryDirectory, FetchIsExactAndCopies) {
    InMemoryPublicKeyDirectory d(std::vector{bundle("Key-A", 1)});
    EXPECT_EQ(fetch_text(d, "Key-A"), "ok:Key-A");
    EXPECT_EQ(fetch_text(d, "key-a"), "public key not found for id 'key-a'");
    EXPECT_EQ(fetch_text(d, "never"), "public key not found for id 'never'");
    auto missing = d.fetch("x");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind(), KeyDirectoryError::Kind::NotFound);
    EXPECT_EQ(missing.error().detail(), "x");
}

TEST(InMemoryDirectory, InsertReplacesAndReturnsThePrevious) {
    InMemoryPublicKeyDirectory d;
    EXPECT_TRUE(d.is_empty());
    EXPECT_FALSE(d.insert(bundle("a", 1)).has_value());
    EXPECT_EQ(d.len(), 1u);
    auto prev = d.insert(bundle("a", 2));
    ASSERT_TRUE(prev.has_value());
    EXPECT_EQ(prev->ml_dsa_verifying_key, Bytes{1});
    EXPECT_EQ(d.len(), 1u);
    EXPECT_EQ(d.fetch("a")->ml_dsa_verifying_key, Bytes{2});

    auto removed = d.remove("a");
    ASSERT_TRUE(removed.has_value());
    EXPECT_EQ(removed->ml_dsa_verifying_key, Bytes{2});
    EXPECT_FALSE(d.remove("a").has_value());
    EXPECT_EQ(d.len(), 0u);
}

TEST(InMemoryDirectory, ConstructionLaterBundleWins) {
    InMemoryPublicKeyDirectory d(std::vector{bundle("a", 1), bundle("b", 5), bundle("a", 2)});
    EXPECT_EQ(d.len(), 2u);
    EXPECT_EQ(d.fetch("a")->ml_dsa_verifying_key, Bytes{2});
}

// ---- unsigned files ------------------------------------------------------------

TEST(FileDirectory, LoadsAnUnsignedArray) {
    testing::TempDir dir;
    const std::string path = dir.file("dir.json");
    const std::vector<PublicKeyBundle> bundles = {bundle("a", 1), bundle("b", 2), bundle("a", 3)};
    testing::write_text(path, bundles_to_json(bundles));
    auto d = FilePublicKeyDirectory::load_unsigned(path);
    ASSERT_TRUE(d) << d.error().display();
    EXPECT_FALSE((*d)->is_signed());
    EXPECT_EQ((*d)->len(), 2u);
    EXPECT_EQ((*d)->fetch("a")->ml_dsa_verifying_key, Bytes{3});
    EXPECT_EQ(*(*d)->fetch("b"), bundles[1]);
}

TEST(FileDirectory, LoadErrors) {
    testing::TempDir dir;
    struct Case {
        const char* name;
        std::string content;
        std::string expected_prefix;
    };
    const std::vector<Case> cases = {
        {"object", R"({"id":"a"})", "public key directory corrupt: bundles: "},
        {"garbage", "not json", "public key directory corrupt: bundles: "},
        {"bad bundle", R"([{"id":"a"}])", "public key directory corrupt: bundles: missing field `ml_dsa_verifying_key`"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        testing::write_text(path, c.content);
        auto d = FilePublicKeyDirectory::load_unsigned(path);
        ASSERT_FALSE(d) << c.name;
        EXPECT_EQ(d.error().kind(), KeyDirectoryError::Kind::Corrupt);
        EXPECT_TRUE(starts_with(d.error().display(), c.expected_prefix)) << c.name << ": " << d.error().display();
    }
    const std::string missing = dir.file("missing.json");
    auto d = FilePublicKeyDirectory::load_unsigned(missing);
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind(), KeyDirectoryError::Kind::BackendUnavailable);
    EXPECT_EQ(d.error().display(),
              "public key directory unavailable: read \"" + missing + "\": No such file or directory");
    auto odd = FilePublicKeyDirectory::load_unsigned(dir.file("we\"ird\\name"));
    ASSERT_FALSE(odd);
    EXPECT_NE(odd.error().display().find("we\\\"ird\\\\name\": "), std::string::npos) << odd.error().display();
}

TEST(FileDirectory, FailedReloadKeepsTheOldBundles) {
    testing::TempDir dir;
    const std::string path = dir.file("dir.json");
    testing::write_text(path, bundles_to_json(std::vector{bundle("a"), bundle("b")}));
    auto loaded = FilePublicKeyDirectory::load_unsigned(path);
    ASSERT_TRUE(loaded);
    auto& d = **loaded;

    testing::write_text(path, "garbage");
    auto r = d.reload();
    ASSERT_FALSE(r);
    EXPECT_TRUE(starts_with(r.error().display(), "public key directory corrupt: bundles: "));
    EXPECT_EQ(d.len(), 2u);
    EXPECT_EQ(fetch_text(d, "a"), "ok:a");
    EXPECT_EQ(fetch_text(d, "b"), "ok:b");

    std::filesystem::remove(path);
    EXPECT_FALSE(d.reload());
    EXPECT_EQ(fetch_text(d, "a"), "ok:a");

    // A good file replaces the map wholesale.
    testing::write_text(path, bundles_to_json(std::vector{bundle("c")}));
    ASSERT_TRUE(d.reload());
    EXPECT_EQ(d.len(), 1u);
    EXPECT_EQ(fetch_text(d, "a"), "public key not found for id 'a'");
    EXPECT_EQ(fetch_text(d, "c"), "ok:c");
}

TEST(FileDirectory, ReadersSeeAWholeMapDuringReloads) {
    testing::TempDir dir;
    const std::string path = dir.file("dir.json");
    const std::string v1 = bundles_to_json(std::vector{bundle("stable", 1), bundle("only-v1")});
    const std::string v2 = bundles_to_json(std::vector{bundle("stable", 2), bundle("only-v2")});
    testing::write_text(path, v1);
    auto d = *FilePublicKeyDirectory::load_unsigned(path);

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                auto b = d->fetch("stable");
                if (!b || d->len() != 2) failures.fetch_add(1);
                reads.fetch_add(1);
                std::this_thread::yield();
            }
        });
    }
    for (int i = 0; i < 60; ++i) {
        testing::write_text(path + ".tmp", i % 2 == 0 ? v2 : v1);
        std::filesystem::rename(path + ".tmp", path);
        ASSERT_TRUE(d->reload());
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(fetch_text(*d, "only-v1"), "ok:only-v1");  // the last reload (i = 59) wrote v1
}

// ---- signed manifests ----------------------------------------------------------------

class SignedDirectoryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { root_ = new OstrelKeyPair(testing::make_keypair()); }
    static void TearDownTestSuite() {
        delete root_;
        root_ = nullptr;
    }
    static const OstrelKeyPair& root() { return *root_; }

    testing::TempDir dir_;
    std::vector<PublicKeyBundle> bundles_ = {testing::make_keypair().public_keys(), bundle("second", 9)};

    std::string write_manifest(const SignedDirectoryManifest& m) {
        const std::string path = dir_.file("signed.json");
        testing::write_text(path, m.to_json());
        return path;
    }
    SignedDirectoryManifest manifest() {
        auto m = build_signed_manifest(bundles_, root().ml_dsa_signing_key().span());
        EXPECT_TRUE(m) << m.error().display();
        return std::move(*m);
    }

private:
    static OstrelKeyPair* root_;
};
OstrelKeyPair* SignedDirectoryTest::root_ = nullptr;

TEST_F(SignedDirectoryTest, ManifestFormAndLoad) {
    const auto m = manifest();
    EXPECT_EQ(m.bundles_json, bundles_to_json(bundles_));
    EXPECT_EQ(m.signature.size(), 3309u);
    const std::string json = m.to_json();
    EXPECT_TRUE(starts_with(json, "{\"bundles_json\":\"[{\\\"id\\\":")) << json.substr(0, 40);
    EXPECT_NE(json.find("\",\"signature\":["), std::string::npos);
    auto back = SignedDirectoryManifest::from_json(json);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, m);
    // Building is deterministic.
    EXPECT_EQ(manifest(), m);

    auto d = FilePublicKeyDirectory::load_signed(write_manifest(m), root().ml_dsa_verifying_key());
    ASSERT_TRUE(d) << d.error().display();
    EXPECT_TRUE((*d)->is_signed());
    EXPECT_EQ((*d)->len(), 2u);
    EXPECT_EQ(*(*d)->fetch(bundles_[0].id), bundles_[0]);
    // The static form on the file directory is the same operation.
    EXPECT_EQ(*FilePublicKeyDirectory::build_signed_manifest(bundles_, root().ml_dsa_signing_key().span()), m);
}

TEST_F(SignedDirectoryTest, RejectedManifests) {
    const auto good = manifest();
    const auto other_root = testing::make_keypair();
    struct Case {
        const char* name;
        std::function<void(SignedDirectoryManifest&)> edit;
        Bytes root_vk;
        std::string expected;  // exact, or a prefix when ending in ": "
    };
    const Bytes root_vk = root().ml_dsa_verifying_key();
    const std::vector<Case> cases = {
        {"extra space", [](SignedDirectoryManifest& m) { m.bundles_json.insert(1, " "); }, root_vk,
         "public key directory: root signature invalid"},
        {"other root", [](SignedDirectoryManifest&) {}, other_root.ml_dsa_verifying_key(),
         "public key directory: root signature invalid"},
        {"short signature", [](SignedDirectoryManifest& m) { m.signature.pop_back(); }, root_vk,
         "public key directory: root signature invalid"},
        {"bad hint encoding", [](SignedDirectoryManifest& m) { std::fill(m.signature.end() - 6, m.signature.end(), 0xff); },
         root_vk, "public key directory: root signature invalid"},
        {"flipped signature bit", [](SignedDirectoryManifest& m) { m.signature[10] ^= 1; }, root_vk,
         "public key directory: root signature invalid"},
        {"root key wrong length", [](SignedDirectoryManifest&) {}, Bytes(1951, 0),
         "public key directory corrupt: root VK: key generation failed: invalid ML-DSA VK bytes: could not convert "
         "slice to array"},
    };
    for (const auto& c : cases) {
        auto m = good;
        c.edit(m);
        auto d = FilePublicKeyDirectory::load_signed(write_manifest(m), c.root_vk);
        ASSERT_FALSE(d) << c.name;
        EXPECT_EQ(d.error().display(), c.expected) << c.name;
    }

    // Signed but not a bundle array: corrupt after the signature checks out.
    auto not_array = build_signed_manifest({}, root().ml_dsa_signing_key().span());
    ASSERT_TRUE(not_array);
    EXPECT_EQ(not_array->bundles_json, "[]");
    auto empty = FilePublicKeyDirectory::load_signed(write_manifest(*not_array), root_vk);
    ASSERT_TRUE(empty);
    EXPECT_EQ((*empty)->len(), 0u);

    // Not a manifest at all.
    const std::string path = dir_.file("plain.json");
    testing::write_text(path, bundles_to_json(bundles_));
    auto plain = FilePublicKeyDirectory::load_signed(path, root_vk);
    ASSERT_FALSE(plain);
    EXPECT_TRUE(starts_with(plain.error().display(), "public key directory corrupt: manifest: ")) << plain.error().display();
}

TEST_F(SignedDirectoryTest, SignedTextThatIsNotABundleArrayIsCorrupt) {
    // The root signed a text that is not a bundle array: the signature checks
    // out, the content does not parse.
    SignedDirectoryManifest m;
    m.bundles_json = R"({"not":"an array"})";
    auto sig = crypto::mldsa65::sign_with_seed(root().ml_dsa_signing_key().span(), bytes_of(m.bundles_json), {},
                                               crypto::mldsa65::kDeterministicRnd);
    ASSERT_TRUE(sig);
    m.signature.assign(sig->begin(), sig->end());
    auto d = FilePublicKeyDirectory::load_signed(write_manifest(m), root().ml_dsa_verifying_key());
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error().kind(), KeyDirectoryError::Kind::Corrupt);
    EXPECT_TRUE(starts_with(d.error().display(), "public key directory corrupt: bundles_json: ")) << d.error().display();
}

TEST_F(SignedDirectoryTest, ReloadRechecksTheSignature) {
    const std::string path = write_manifest(manifest());
    auto d = FilePublicKeyDirectory::load_signed(path, root().ml_dsa_verifying_key());
    ASSERT_TRUE(d);
    auto tampered = manifest();
    tampered.bundles_json.insert(1, " ");
    testing::write_text(path, tampered.to_json());
    auto r = (*d)->reload();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), KeyDirectoryError::Kind::RootSignatureInvalid);
    EXPECT_EQ((*d)->len(), 2u);
}

TEST(BuildSignedManifest, SeedMustBe32Bytes) {
    for (std::size_t n : {std::size_t{0}, std::size_t{31}, std::size_t{33}}) {
        auto m = build_signed_manifest({}, Bytes(n, 1));
        ASSERT_FALSE(m);
        EXPECT_EQ(m.error().kind, PqErrorKind::KeyGeneration);
        EXPECT_EQ(m.error().display(), "key generation failed: ML-DSA seed must be 32 bytes, got " + std::to_string(n));
    }
}

}  // namespace
}  // namespace ostrel_pq
