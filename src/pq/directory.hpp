// Public-key directories: turn the key id stamped in a signature envelope
// into the PublicKeyBundle that verifies it.
//
// - InMemoryPublicKeyDirectory: filled and edited by code at run time.
// - FilePublicKeyDirectory: loaded from a local file, either a plain JSON
//   array of bundles (trusted because the file is local) or a root-signed
//   SignedDirectoryManifest whose ML-DSA-65 signature must verify against a
//   pinned root verifying key before anything in it is believed. Reloads are
//   requested by the caller; a failed reload keeps the bundles already loaded.
//
// Each directory guards its map with one reader-writer lock. Lookups copy the
// bundle out under the read lock; a load reads, parses and verifies without
// any lock and takes the write lock only to swap in the new map.
// Directories do not look at expiry; callers decide (token.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pq/error.hpp"
#include "pq/keys.hpp"
#include "pq/rw_lock.hpp"
#include "util/json.hpp"

namespace ostrel_pq {

class KeyDirectoryError {
public:
    enum class Kind : std::uint8_t { NotFound, BackendUnavailable, RootSignatureInvalid, Corrupt };

    // "public key not found for id '{}'"
    static KeyDirectoryError not_found(std::string key_id) { return {Kind::NotFound, std::move(key_id)}; }
    // "public key directory unavailable: {}"
    static KeyDirectoryError backend_unavailable(std::string d) { return {Kind::BackendUnavailable, std::move(d)}; }
    // "public key directory: root signature invalid"
    static KeyDirectoryError root_signature_invalid() { return {Kind::RootSignatureInvalid, {}}; }
    // "public key directory corrupt: {}"
    static KeyDirectoryError corrupt(std::string d) { return {Kind::Corrupt, std::move(d)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    std::string display() const;

    bool operator==(const KeyDirectoryError&) const = default;

private:
    KeyDirectoryError(Kind k, std::string d) : kind_(k), detail_(std::move(d)) {}
    Kind kind_;
    std::string detail_;
};

// The lookup interface. Implementations are safe to share between threads.
// Lookups of the built-in directories complete immediately on the calling
// thread (they never wait on I/O), so `fetch` returns its result directly.
class PublicKeyDirectory {
public:
    virtual ~PublicKeyDirectory() = default;
    // A copy of the bundle stored under exactly `key_id`, or NotFound.
    virtual std::expected<PublicKeyBundle, KeyDirectoryError> fetch(std::string_view key_id) const = 0;
    virtual std::size_t len() const = 0;
    bool is_empty() const { return len() == 0; }
};

class InMemoryPublicKeyDirectory final : public PublicKeyDirectory {
public:
    InMemoryPublicKeyDirectory() = default;
    // For equal ids the later bundle wins.
    explicit InMemoryPublicKeyDirectory(std::span<const PublicKeyBundle> bundles);

    // Stores `bundle` under its id; returns the bundle it replaced, if any.
    std::optional<PublicKeyBundle> insert(PublicKeyBundle bundle);
    // Removes and returns the bundle stored under `key_id`, if any.
    std::optional<PublicKeyBundle> remove(std::string_view key_id);

    std::expected<PublicKeyBundle, KeyDirectoryError> fetch(std::string_view key_id) const override;
    std::size_t len() const override;

private:
    mutable RwLock mu_;
    std::unordered_map<std::string, PublicKeyBundle> map_;
};

// The signed directory file: JSON {"bundles_json": <text>, "signature": [..]}
// where the signature is the root's ML-DSA-65 signature over the UTF-8 bytes
// of the embedded text exactly as embedded.
struct SignedDirectoryManifest {
    std::string bundles_json;
    Bytes signature;

    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    static std::expected<SignedDirectoryManifest, ostrel_util::JsonError> from_json(std::string_view text);

    bool operator==(const SignedDirectoryManifest&) const = default;
};

// Serialises `bundles` as the unsigned file format and signs the text with
// the ML-DSA-65 key of `root_seed` (empty context, deterministic). Errors:
// KeyGeneration "ML-DSA seed must be 32 bytes, got {}", Signing
// "ML-DSA manifest: {}".
std::expected<SignedDirectoryManifest, PqError> build_signed_manifest(std::span<const PublicKeyBundle> bundles,
                                                                      std::span<const std::uint8_t> root_seed);

class FilePublicKeyDirectory final : public PublicKeyDirectory {
public:
    // Construct-and-load: a directory never exists unloaded. The error is the
    // first load's.
    static std::expected<std::shared_ptr<FilePublicKeyDirectory>, KeyDirectoryError> load_unsigned(std::string path);
    static std::expected<std::shared_ptr<FilePublicKeyDirectory>, KeyDirectoryError> load_signed(
        std::string path, std::span<const std::uint8_t> root_verifying_key);

    // Loads the file again; on error the current bundles stay in service.
    std::expected<void, KeyDirectoryError> reload();

    std::expected<PublicKeyBundle, KeyDirectoryError> fetch(std::string_view key_id) const override;
    std::size_t len() const override;

    const std::string& path() const noexcept { return path_; }
    bool is_signed() const noexcept { return root_vk_.has_value(); }

    static std::expected<SignedDirectoryManifest, PqError> build_signed_manifest(
        std::span<const PublicKeyBundle> bundles, std::span<const std::uint8_t> root_seed) {
        return ostrel_pq::build_signed_manifest(bundles, root_seed);
    }

    using Map = std::unordered_map<std::string, PublicKeyBundle>;

    FilePublicKeyDirectory(std::string path, std::optional<Bytes> root_vk, Map map)
        : path_(std::move(path)), root_vk_(std::move(root_vk)), map_(std::move(map)) {}

private:
    std::string path_;
    std::optional<Bytes> root_vk_;
    mutable RwLock mu_;
    Map map_;
};

}  // namespace ostrel_pq
