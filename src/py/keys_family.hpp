#pragma once
// Object layouts of the key, token-signer and directory classes, shared by
// their class files (keys.cpp, token_signer.cpp, directory.cpp) and by class
// families that take or return them (SecureChannel, the audit chains).

#include "py/binding.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "pq/directory.hpp"
#include "pq/keys.hpp"
#include "pq/token.hpp"

namespace ostrel_py {

// A Python PqTokenSigner: the key id and hybrid flag (read by the properties
// without touching the signer) and the shared native signer, which a gate
// built with token_signer=... shares too.
struct TokenSignerHandle {
    std::string key_id;
    std::shared_ptr<const ostrel_pq::PqTokenSigner> signer;
    bool hybrid = false;
};

// A Python PublicKeyDirectory: exactly one of the two backings is set.
// `directory` is the same object seen through the lookup interface, which a
// DirectoryTokenVerifier shares.
struct DirectoryHandle {
    std::shared_ptr<ostrel_pq::InMemoryPublicKeyDirectory> in_memory;
    std::shared_ptr<ostrel_pq::FilePublicKeyDirectory> file;

    std::shared_ptr<const ostrel_pq::PublicKeyDirectory> directory() const {
        if (in_memory) return in_memory;
        return file;
    }
    const char* kind() const noexcept { return in_memory ? "in_memory" : "file"; }
};

// A key pair is shared (never copied) between Python handles and the
// components built from it; its secrets are wiped when the last holder lets go.
using OstrelKeyPairObject = Object<struct OstrelKeyPairTag, std::shared_ptr<const ostrel_pq::OstrelKeyPair>>;
using PublicKeyBundleObject = Object<struct PublicKeyBundleTag, ostrel_pq::PublicKeyBundle>;
using PqTokenSignerObject = Object<struct PqTokenSignerTag, TokenSignerHandle>;
using PublicKeyDirectoryObject = Object<struct PublicKeyDirectoryTag, DirectoryHandle>;
using DirectoryTokenVerifierObject =
    Object<struct DirectoryTokenVerifierTag, std::shared_ptr<const ostrel_pq::DirectoryTokenVerifier>>;

// A sequence (not a str) of PublicKeyBundle instances, copied out. A type of
// this namespace, so that Args::get finds its conversion by argument-dependent
// lookup. from_py returns false with a TypeError set (prefixed by Args::get).
struct BundleList {
    std::vector<ostrel_pq::PublicKeyBundle> items;
};
bool from_py(PyObject* o, BundleList& out);

// New Python objects for native values.
PyObject* make_public_key_bundle(ostrel_pq::PublicKeyBundle bundle);
PyObject* make_keypair(std::shared_ptr<const ostrel_pq::OstrelKeyPair> keypair);

// "build manifest: " / "serialize manifest: " errors already raised when
// this returns nullptr; else the manifest's compact JSON as bytes.
PyObject* signed_manifest_bytes(const std::vector<ostrel_pq::PublicKeyBundle>& bundles,
                                std::span<const std::uint8_t> root_seed);

}  // namespace ostrel_py
