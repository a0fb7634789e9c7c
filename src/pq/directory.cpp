#include "pq/directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include <nlohmann/json.hpp>

#include "pq/primitives.hpp"

namespace ostrel_pq {

using ostrel_util::JsonError;
using ostrel_util::JsonWriter;

std::string KeyDirectoryError::display() const {
    switch (kind_) {
        case Kind::NotFound: return "public key not found for id '" + detail_ + "'";
        case Kind::BackendUnavailable: return "public key directory unavailable: " + detail_;
        case Kind::RootSignatureInvalid: return "public key directory: root signature invalid";
        case Kind::Corrupt: return "public key directory corrupt: " + detail_;
    }
    return detail_;
}

namespace {

// The path between double quotes, with quotes, backslashes and control
// characters escaped, so odd file names stay readable in messages.
std::string quoted_path(std::string_view path) {
    std::string out = "\"";
    for (char c : path) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::expected<std::string, KeyDirectoryError> read_file(const std::string& path) {
    auto fail = [&path](int err) {
        return std::unexpected(
            KeyDirectoryError::backend_unavailable("read " + quoted_path(path) + ": " + std::strerror(err)));
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    std::string content;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return fail(err);
        }
        if (n == 0) break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

FilePublicKeyDirectory::Map build_map(std::vector<PublicKeyBundle> bundles) {
    FilePublicKeyDirectory::Map map;
    map.reserve(bundles.size());
    // In file order; a later bundle with the same id replaces the earlier one.
    for (auto& b : bundles) {
        std::string id = b.id;
        map.insert_or_assign(std::move(id), std::move(b));
    }
    return map;
}

// Reads, parses and (for a signed directory) verifies the file; holds no lock.
std::expected<FilePublicKeyDirectory::Map, KeyDirectoryError> load_map(const std::string& path,
                                                                      const std::optional<Bytes>& root_vk) {
    auto content = read_file(path);
    if (!content) return std::unexpected(content.error());

    if (!root_vk) {
        auto bundles = bundles_from_json(*content);
        if (!bundles) return std::unexpected(KeyDirectoryError::corrupt("bundles: " + bundles.error().message));
        return build_map(std::move(*bundles));
    }

    auto manifest = SignedDirectoryManifest::from_json(*content);
    if (!manifest) return std::unexpected(KeyDirectoryError::corrupt("manifest: " + manifest.error().message));
    auto vk = load_ml_dsa_verifying_key(*root_vk);
    if (!vk) return std::unexpected(KeyDirectoryError::corrupt("root VK: " + vk.error().display()));
    const auto& text = manifest->bundles_json;
    const std::span<const std::uint8_t> signed_bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    // Wrong length, malformed encoding or a signature that does not verify:
    // all the same answer.
    if (!vk->verify(signed_bytes, manifest->signature)) return std::unexpected(KeyDirectoryError::root_signature_invalid());

    auto bundles = bundles_from_json(text);
    if (!bundles) return std::unexpected(KeyDirectoryError::corrupt("bundles_json: " + bundles.error().message));
    return build_map(std::move(*bundles));
}

}  // namespace

// ---- in-memory -------------------------------------------------------------

InMemoryPublicKeyDirectory::InMemoryPublicKeyDirectory(std::span<const PublicKeyBundle> bundles) {
    map_.reserve(bundles.size());
    for (const auto& b : bundles) map_.insert_or_assign(b.id, b);
}

std::optional<PublicKeyBundle> InMemoryPublicKeyDirectory::insert(PublicKeyBundle bundle) {
    std::string id = bundle.id;
    std::unique_lock lock(mu_);
    auto it = map_.find(id);
    if (it == map_.end()) {
        map_.emplace(std::move(id), std::move(bundle));
        return std::nullopt;
    }
    std::optional<PublicKeyBundle> previous(std::move(it->second));
    it->second = std::move(bundle);
    return previous;
}

std::optional<PublicKeyBundle> InMemoryPublicKeyDirectory::remove(std::string_view key_id) {
    std::unique_lock lock(mu_);
    auto it = map_.find(std::string(key_id));
    if (it == map_.end()) return std::nullopt;
    std::optional<PublicKeyBundle> removed(std::move(it->second));
    map_.erase(it);
    return removed;
}

std::expected<PublicKeyBundle, KeyDirectoryError> InMemoryPublicKeyDirectory::fetch(std::string_view key_id) const {
    const std::string key(key_id);
    std::shared_lock lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end()) return std::unexpected(KeyDirectoryError::not_found(key));
    return it->second;
}

std::size_t InMemoryPublicKeyDirectory::len() const {
    std::shared_lock lock(mu_);
    return map_.size();
}

// ---- signed manifest -------------------------------------------------------

void SignedDirectoryManifest::write_json(JsonWriter& w) const {
    w.begin_object();
    w.field("bundles_json", bundles_json);
    w.key("signature").bytes(signature);
    w.end_object();
}

std::string SignedDirectoryManifest::to_json() const {
    JsonWriter w(bundles_json.size() + 4 * signature.size() + 64);
    write_json(w);
    return w.take();
}

std::expected<SignedDirectoryManifest, JsonError> SignedDirectoryManifest::from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    auto r = ostrel_util::ObjectReader::open(*v, "struct SignedDirectoryManifest");
    if (!r) return std::unexpected(r.error());
    SignedDirectoryManifest m;
    auto text_field = r->string("bundles_json");
    if (!text_field) return std::unexpected(text_field.error());
    m.bundles_json = std::move(*text_field);
    auto sig = r->byte_array("signature");
    if (!sig) return std::unexpected(sig.error());
    m.signature = std::move(*sig);
    return m;
}

std::expected<SignedDirectoryManifest, PqError> build_signed_manifest(std::span<const PublicKeyBundle> bundles,
                                                                      std::span<const std::uint8_t> root_seed) {
    std::string text = bundles_to_json(bundles);
    if (root_seed.size() != kMlDsaSeedBytes)
        return std::unexpected(
            PqError::key_generation("ML-DSA seed must be 32 bytes, got " + std::to_string(root_seed.size())));
    const std::span<const std::uint8_t> msg(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    auto sig = primitives::ml_dsa_sign(std::span<const std::uint8_t, 32>(root_seed.data(), 32), msg);
    if (!sig) return std::unexpected(PqError::signing("ML-DSA manifest: " + sig.error()));
    return SignedDirectoryManifest{std::move(text), std::move(*sig)};
}

// ---- file-backed -----------------------------------------------------------

std::expected<std::shared_ptr<FilePublicKeyDirectory>, KeyDirectoryError> FilePublicKeyDirectory::load_unsigned(
    std::string path) {
    auto map = load_map(path, std::nullopt);
    if (!map) return std::unexpected(map.error());
    return std::make_shared<FilePublicKeyDirectory>(std::move(path), std::nullopt, std::move(*map));
}

std::expected<std::shared_ptr<FilePublicKeyDirectory>, KeyDirectoryError> FilePublicKeyDirectory::load_signed(
    std::string path, std::span<const std::uint8_t> root_verifying_key) {
    std::optional<Bytes> root(Bytes(root_verifying_key.begin(), root_verifying_key.end()));
    auto map = load_map(path, root);
    if (!map) return std::unexpected(map.error());
    return std::make_shared<FilePublicKeyDirectory>(std::move(path), std::move(root), std::move(*map));
}

std::expected<void, KeyDirectoryError> FilePublicKeyDirectory::reload() {
    auto map = load_map(path_, root_vk_);
    if (!map) return std::unexpected(map.error());
    {
        std::unique_lock lock(mu_);
        map_.swap(*map);
    }
    // The previous map is released here, outside the lock.
    return {};
}

std::expected<PublicKeyBundle, KeyDirectoryError> FilePublicKeyDirectory::fetch(std::string_view key_id) const {
    const std::string key(key_id);
    std::shared_lock lock(mu_);
    auto it = map_.find(key);
    if (it == map_.end()) return std::unexpected(KeyDirectoryError::not_found(key));
    return it->second;
}

std::size_t FilePublicKeyDirectory::len() const {
    std::shared_lock lock(mu_);
    return map_.size();
}

}  // namespace ostrel_pq
