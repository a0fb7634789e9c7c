// Directory files as read from disk: the input is written to a private file
// and loaded both as an unsigned directory (a JSON array of bundles) and as a
// signed one (a manifest checked against a fixed root key; the seed corpus
// holds manifests signed by that root, so mutations reach the parsing of the
// embedded bundles text after a real signature check). A load that succeeds
// must serve exactly the bundles the file lists.
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz_support.hpp"
#include "fuzz_root_key.hpp"
#include "pq/crypto/mldsa65.hpp"
#include "pq/directory.hpp"
#include "pq/keys.hpp"

namespace {

const std::string& scratch_path() {
    static const std::string path = "/tmp/ostrel-fuzz-directory-" + std::to_string(::getpid()) + ".json";
    return path;
}

const ostrel_pq::crypto::mldsa65::PublicKey& root_vk() {
    static const auto keys = ostrel_pq::crypto::mldsa65::keygen_internal(ostrel_fuzz::kRootSeed);
    return keys.public_key;
}

void check_served(const ostrel_pq::FilePublicKeyDirectory& dir, std::string_view bundles_text) {
    auto listed = ostrel_pq::bundles_from_json(bundles_text);
    FUZZ_CHECK(listed.has_value());
    for (const auto& b : *listed) {
        auto got = dir.fetch(b.id);
        FUZZ_CHECK(got.has_value());
    }
    FUZZ_CHECK(dir.len() <= listed->size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out(scratch_path(), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const auto text = ostrel_fuzz::as_text(data, size);
    if (auto dir = ostrel_pq::FilePublicKeyDirectory::load_unsigned(scratch_path())) {
        check_served(**dir, text);
    } else {
        FUZZ_CHECK(!dir.error().display().empty());
    }
    if (auto dir = ostrel_pq::FilePublicKeyDirectory::load_signed(scratch_path(), root_vk())) {
        auto manifest = ostrel_pq::SignedDirectoryManifest::from_json(text);
        FUZZ_CHECK(manifest.has_value());
        check_served(**dir, manifest->bundles_json);
    } else {
        FUZZ_CHECK(!dir.error().display().empty());
    }
    return 0;
}
