#include "pq/keys.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "pq/crypto/mldsa65.hpp"
#include "pq/key_file_io.hpp"
#include "pq/primitives.hpp"
#include "util/uuid.hpp"

namespace ostrel_pq {

using ostrel_util::JsonError;
using ostrel_util::JsonWriter;
using ostrel_util::ObjectReader;

namespace {

constexpr std::uint8_t kFormatVersion = 1;
constexpr char kSecretMagic[4] = {'O', 'S', 'S', 'K'};
constexpr char kBundleMagic[4] = {'O', 'S', 'P', 'B'};

std::string os_error_text(int err) { return std::strerror(err); }

// ---- JSON whose memory is wiped on release ---------------------------------
//
// The secret key blob is parsed into a DOM whose arrays and objects come from
// an allocator that wipes every block it hands back, so neither the final DOM
// nor the buffers discarded while arrays grew keep secret bytes in freed
// memory.

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        ostrel_util::secure_wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using SecretJson = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t,
                                        double, WipingAllocator>;

struct DuplicateKey {
    std::string key;
};

std::string strip_nlohmann_tag(std::string m) {
    if (!m.empty() && m.front() == '[') {
        const auto close = m.find("] ");
        if (close != std::string::npos) m.erase(0, close + 2);
    }
    return m;
}

std::expected<SecretJson, JsonError> parse_secret_json(std::span<const std::uint8_t> text) {
    std::vector<std::unordered_set<std::string>> open_objects;
    auto callback = [&](int, SecretJson::parse_event_t event, SecretJson& parsed) -> bool {
        switch (event) {
            case SecretJson::parse_event_t::object_start: open_objects.emplace_back(); break;
            case SecretJson::parse_event_t::object_end:
                if (!open_objects.empty()) open_objects.pop_back();
                break;
            case SecretJson::parse_event_t::key: {
                const auto& k = parsed.get_ref<const std::string&>();
                if (!open_objects.empty() && !open_objects.back().insert(k).second) throw DuplicateKey{k};
                break;
            }
            default: break;
        }
        return true;
    };
    try {
        return SecretJson::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/true,
                                 /*ignore_comments=*/false);
    } catch (const DuplicateKey& d) {
        return std::unexpected(JsonError::duplicate_field(d.key));
    } catch (const nlohmann::json::exception& e) {
        return std::unexpected(JsonError{strip_nlohmann_tag(e.what())});
    }
}

// A stand-in of a SecretJson value for type error messages, which describe
// a value by its kind (and scalars by their value) only: containers are
// replaced by empty ones so no secret is copied.
nlohmann::json describe_stand_in(const SecretJson& v) {
    switch (v.type()) {
        case SecretJson::value_t::array: return nlohmann::json::array();
        case SecretJson::value_t::object: return nlohmann::json::object();
        case SecretJson::value_t::string: return v.get<std::string>();
        case SecretJson::value_t::boolean: return v.get<bool>();
        case SecretJson::value_t::number_integer: return v.get<std::int64_t>();
        case SecretJson::value_t::number_unsigned: return v.get<std::uint64_t>();
        case SecretJson::value_t::number_float: return v.get<double>();
        default: return nullptr;
    }
}

class SecretObjectReader {
public:
    explicit SecretObjectReader(const SecretJson& obj) : obj_(obj) {}

    const SecretJson* find(std::string_view key) const {
        auto it = obj_.find(std::string(key));
        return it == obj_.end() ? nullptr : &*it;
    }
    std::expected<const SecretJson*, JsonError> require(std::string_view key) const {
        const SecretJson* v = find(key);
        if (v == nullptr) return std::unexpected(JsonError::missing_field(key));
        return v;
    }
    std::expected<std::string, JsonError> string(std::string_view key) const {
        auto v = require(key);
        if (!v) return std::unexpected(v.error());
        if (!(*v)->is_string()) return std::unexpected(JsonError::invalid_type(key, "a string", describe_stand_in(**v)));
        return (*v)->get<std::string>();
    }
    static std::expected<Timestamp, JsonError> to_timestamp(const SecretJson& v, std::string_view key) {
        if (!v.is_string())
            return std::unexpected(JsonError::invalid_type(key, "an RFC 3339 date-time string", describe_stand_in(v)));
        auto t = Timestamp::parse_rfc3339(v.get_ref<const std::string&>());
        if (!t) return std::unexpected(JsonError::invalid_value(key, t.error().message));
        return *t;
    }
    std::expected<Timestamp, JsonError> timestamp(std::string_view key) const {
        auto v = require(key);
        if (!v) return std::unexpected(v.error());
        return to_timestamp(**v, key);
    }
    std::expected<std::optional<Timestamp>, JsonError> opt_timestamp(std::string_view key) const {
        const SecretJson* v = find(key);
        if (v == nullptr || v->is_null()) return std::optional<Timestamp>{};
        auto t = to_timestamp(*v, key);
        if (!t) return std::unexpected(t.error());
        return std::optional<Timestamp>(*t);
    }
    // Reads an array of integers 0..255 into `out` (sized exactly once).
    template <class Buffer>
    std::expected<void, JsonError> bytes_into(std::string_view key, Buffer& out) const {
        auto v = require(key);
        if (!v) return std::unexpected(v.error());
        const SecretJson& arr = **v;
        if (!arr.is_array())
            return std::unexpected(JsonError::invalid_type(key, "an array of bytes", describe_stand_in(arr)));
        Buffer buf(arr.size());
        std::size_t i = 0;
        for (const auto& e : arr) {
            if (!(e.is_number_unsigned() || e.is_number_integer()))
                return std::unexpected(JsonError::invalid_type(key, "an integer 0..255", describe_stand_in(e)));
            const bool negative = !e.is_number_unsigned() && e.template get<std::int64_t>() < 0;
            if (negative || e.template get<std::uint64_t>() > 255)
                return std::unexpected(JsonError::invalid_value(
                    key, ostrel_util::describe_json_value(describe_stand_in(e)) + ", expected an integer 0..255"));
            buf[i++] = static_cast<std::uint8_t>(e.template get<std::uint64_t>());
        }
        out = std::move(buf);
        return {};
    }

private:
    const SecretJson& obj_;
};

// Overwrites every number of the DOM with zero, in place, before it is
// released (the allocator then wipes the storage blocks too).
void zero_numbers(SecretJson& v) {
    if (v.is_array() || v.is_object()) {
        for (auto& e : v) zero_numbers(e);
    } else if (v.is_number()) {
        v = static_cast<std::uint64_t>(0);
    }
}

template <class T>
struct ZeroOnExit {
    T& v;
    ~ZeroOnExit() { zero_numbers(v); }
};

#define OSTREL_TRY_ASSIGN(lhs, expr)                      \
    do {                                                  \
        auto ostrel_r_ = (expr);                          \
        if (!ostrel_r_) return std::unexpected(ostrel_r_.error()); \
        lhs = std::move(*ostrel_r_);                      \
    } while (0)
#define OSTREL_TRY(expr)                                  \
    do {                                                  \
        auto ostrel_r_ = (expr);                          \
        if (!ostrel_r_) return std::unexpected(ostrel_r_.error()); \
    } while (0)

std::expected<OstrelKeyPair::Parts, JsonError> decode_secret_wire(std::span<const std::uint8_t> text) {
    auto parsed = parse_secret_json(text);
    if (!parsed) return std::unexpected(parsed.error());
    SecretJson& doc = *parsed;
    ZeroOnExit<SecretJson> wipe{doc};
    if (!doc.is_object())
        return std::unexpected(JsonError::invalid_type({}, "struct SecretKeyPairWire", describe_stand_in(doc)));
    SecretObjectReader r(doc);
    OstrelKeyPair::Parts p;
    OSTREL_TRY_ASSIGN(p.id, r.string("id"));
    OSTREL_TRY_ASSIGN(p.created_at, r.timestamp("created_at"));
    OSTREL_TRY_ASSIGN(p.expires_at, r.opt_timestamp("expires_at"));
    OSTREL_TRY(r.bytes_into("ml_dsa_signing_key", p.ml_dsa_signing_key));
    OSTREL_TRY(r.bytes_into("ml_dsa_verifying_key", p.ml_dsa_verifying_key));
    OSTREL_TRY(r.bytes_into("ml_kem_decapsulation_key", p.ml_kem_decapsulation_key));
    OSTREL_TRY(r.bytes_into("ml_kem_encapsulation_key", p.ml_kem_encapsulation_key));
    OSTREL_TRY(r.bytes_into("ed25519_signing_key", p.ed25519_signing_key));
    OSTREL_TRY(r.bytes_into("ed25519_verifying_key", p.ed25519_verifying_key));
    OSTREL_TRY(r.bytes_into("x25519_secret_key", p.x25519_secret_key));
    OSTREL_TRY(r.bytes_into("x25519_public_key", p.x25519_public_key));
    return p;
}

// Upper bound of the secret JSON text, so the writer never reallocates (a
// reallocation would release an unwiped partial copy).
std::size_t secret_json_bound(const OstrelKeyPair& kp) {
    std::size_t n = 512 + kp.id().size() * 6;
    for (std::size_t len :
         {kp.ml_dsa_signing_key().size(), kp.ml_dsa_verifying_key().size(), kp.ml_kem_decapsulation_key().size(),
          kp.ml_kem_encapsulation_key().size(), kp.ed25519_signing_key().size(), kp.ed25519_verifying_key().size(),
          kp.x25519_secret_key().size(), kp.x25519_public_key().size()})
        n += 4 * len + 2;
    return n;
}

// Blob = magic, version byte, text.
template <class Buffer>
Buffer make_blob(const char (&magic)[4], std::string_view text) {
    Buffer out(5 + text.size());
    std::memcpy(out.data(), magic, 4);
    out[4] = kFormatVersion;
    if (!text.empty()) std::memcpy(out.data() + 5, text.data(), text.size());
    return out;
}

// Texts of a blob kind's header errors: "<short> too short for header",
// "<name> magic mismatch (not a <magic> blob)", "unsupported <name> version".
struct BlobNames {
    std::string_view short_name;
    std::string_view name;
    std::string_view magic;
};
constexpr BlobNames kSecretNames{"keypair blob", "keypair", "OSSK"};
constexpr BlobNames kBundleNames{"public bundle", "public bundle", "OSPB"};

std::expected<std::span<const std::uint8_t>, PqError> open_blob(std::span<const std::uint8_t> blob,
                                                                const char (&magic)[4], const BlobNames& names) {
    if (blob.size() <= 4)
        return std::unexpected(PqError::serialization(std::string(names.short_name) + " too short for header"));
    if (std::memcmp(blob.data(), magic, 4) != 0)
        return std::unexpected(PqError::serialization(std::string(names.name) + " magic mismatch (not a " +
                                                      std::string(names.magic) + " blob)"));
    if (blob[4] != kFormatVersion)
        return std::unexpected(PqError::serialization("unsupported " + std::string(names.name) + " version " +
                                                      std::to_string(blob[4]) + ", expected " +
                                                      std::to_string(kFormatVersion)));
    return blob.subspan(5);
}

std::string_view as_text(std::span<const std::uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

}  // namespace

// ---- PublicKeyBundle -------------------------------------------------------

bool PublicKeyBundle::is_expired() const { return is_expired_at(ostrel_util::now()); }

void PublicKeyBundle::write_json(JsonWriter& w) const {
    w.begin_object();
    w.field("id", id);
    w.key("ml_dsa_verifying_key").bytes(ml_dsa_verifying_key);
    w.key("ml_kem_encapsulation_key").bytes(ml_kem_encapsulation_key);
    w.key("ed25519_verifying_key").bytes(ed25519_verifying_key);
    w.key("x25519_public_key").bytes(x25519_public_key);
    w.field("created_at", created_at);
    w.opt_field("expires_at", expires_at);
    w.end_object();
}

std::string PublicKeyBundle::to_json() const {
    JsonWriter w(4 * (ml_dsa_verifying_key.size() + ml_kem_encapsulation_key.size()) + 512);
    write_json(w);
    return w.take();
}

std::expected<PublicKeyBundle, JsonError> PublicKeyBundle::from_json_value(const nlohmann::json& v) {
    auto r = ObjectReader::open(v, "struct PublicKeyBundle");
    if (!r) return std::unexpected(r.error());
    PublicKeyBundle b;
    OSTREL_TRY_ASSIGN(b.id, r->string("id"));
    OSTREL_TRY_ASSIGN(b.ml_dsa_verifying_key, r->byte_array("ml_dsa_verifying_key"));
    OSTREL_TRY_ASSIGN(b.ml_kem_encapsulation_key, r->byte_array("ml_kem_encapsulation_key"));
    OSTREL_TRY_ASSIGN(b.ed25519_verifying_key, r->byte_array("ed25519_verifying_key"));
    OSTREL_TRY_ASSIGN(b.x25519_public_key, r->byte_array("x25519_public_key"));
    OSTREL_TRY_ASSIGN(b.created_at, r->timestamp("created_at"));
    OSTREL_TRY_ASSIGN(b.expires_at, r->opt_timestamp("expires_at"));
    return b;
}

std::expected<PublicKeyBundle, JsonError> PublicKeyBundle::from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    return from_json_value(*v);
}

std::expected<Bytes, PqError> PublicKeyBundle::to_bytes() const {
    const std::string text = to_json();
    return make_blob<Bytes>(kBundleMagic, text);
}

std::expected<PublicKeyBundle, PqError> PublicKeyBundle::from_bytes(std::span<const std::uint8_t> blob) {
    auto body = open_blob(blob, kBundleMagic, kBundleNames);
    if (!body) return std::unexpected(body.error());
    auto b = from_json(as_text(*body));
    if (!b) return std::unexpected(PqError::serialization("public bundle decode: " + b.error().message));
    return std::move(*b);
}

std::string bundles_to_json(std::span<const PublicKeyBundle> bundles) {
    JsonWriter w;
    w.begin_array();
    for (const auto& b : bundles) b.write_json(w);
    w.end_array();
    return w.take();
}

std::expected<std::vector<PublicKeyBundle>, JsonError> bundles_from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    if (!v->is_array()) return std::unexpected(JsonError::invalid_type({}, "a sequence", *v));
    std::vector<PublicKeyBundle> out;
    out.reserve(v->size());
    for (const auto& e : *v) {
        auto b = PublicKeyBundle::from_json_value(e);
        if (!b) return std::unexpected(b.error());
        out.push_back(std::move(*b));
    }
    return out;
}

// ---- OstrelKeyPair ---------------------------------------------------------

std::expected<OstrelKeyPair, PqError> OstrelKeyPair::generate() { return generate_with_expiry(std::nullopt); }

std::expected<OstrelKeyPair, PqError> OstrelKeyPair::generate_with_expiry(std::optional<KeyTtl> ttl) {
    Parts p;
    p.created_at = ostrel_util::now();

    auto draw = [](std::size_t n) -> std::expected<SecretBytes, PqError> {
        SecretBytes s(n);
        auto ok = primitives::random_fill(s.span());
        if (!ok) return std::unexpected(PqError::key_generation("OS RNG failed: " + ok.error()));
        return s;
    };

    // ML-DSA-65 seed xi, then its verifying key.
    OSTREL_TRY_ASSIGN(p.ml_dsa_signing_key, draw(kMlDsaSeedBytes));
    p.ml_dsa_verifying_key = primitives::ml_dsa_verifying_key_from_seed(
        std::span<const std::uint8_t, 32>(p.ml_dsa_signing_key.data(), 32));

    // ML-KEM-768 seed d || z, then its encapsulation key.
    OSTREL_TRY_ASSIGN(p.ml_kem_decapsulation_key, draw(kMlKemSeedBytes));
    {
        auto ek = primitives::ml_kem_encapsulation_key_from_seed(p.ml_kem_decapsulation_key.span());
        if (!ek) return std::unexpected(PqError::key_generation("ML-KEM-768: " + ek.error()));
        p.ml_kem_encapsulation_key = std::move(*ek);
    }

    OSTREL_TRY_ASSIGN(p.ed25519_signing_key, draw(kEd25519KeyBytes));
    {
        auto pk = primitives::ed25519_public_key(std::span<const std::uint8_t, 32>(p.ed25519_signing_key.data(), 32));
        if (!pk) return std::unexpected(PqError::key_generation("Ed25519: " + pk.error()));
        p.ed25519_verifying_key = std::move(*pk);
    }

    OSTREL_TRY_ASSIGN(p.x25519_secret_key, draw(kX25519KeyBytes));
    {
        auto pk = primitives::x25519_public_key(std::span<const std::uint8_t, 32>(p.x25519_secret_key.data(), 32));
        if (!pk) return std::unexpected(PqError::key_generation("X25519: " + pk.error()));
        p.x25519_public_key = std::move(*pk);
    }

    p.id = std::string(kKeyIdPrefix) + ostrel_util::Uuid::new_v4().to_string();

    if (ttl) {
        auto e = p.created_at.checked_add_seconds(ttl->seconds);
        if (e) e = e->checked_add_nanos(ttl->nanos);
        if (!e)
            return std::unexpected(PqError::key_generation(
                "ttl out of range: expiry would fall outside 0001-01-01T00:00:00Z..9999-12-31T23:59:59.999999999Z"));
        p.expires_at = *e;
    }
    return OstrelKeyPair(std::move(p));
}

bool OstrelKeyPair::is_expired() const { return is_expired_at(ostrel_util::now()); }

PublicKeyBundle OstrelKeyPair::public_keys() const {
    return PublicKeyBundle{p_.id,
                           p_.ml_dsa_verifying_key,
                           p_.ml_kem_encapsulation_key,
                           p_.ed25519_verifying_key,
                           p_.x25519_public_key,
                           p_.created_at,
                           p_.expires_at};
}

std::expected<SecretBytes, PqError> OstrelKeyPair::to_secret_bytes() const {
    JsonWriter w(secret_json_bound(*this));
    w.begin_object();
    w.field("id", p_.id);
    w.field("created_at", p_.created_at);
    w.opt_field("expires_at", p_.expires_at);
    w.key("ml_dsa_signing_key").bytes(p_.ml_dsa_signing_key.span());
    w.key("ml_dsa_verifying_key").bytes(p_.ml_dsa_verifying_key);
    w.key("ml_kem_decapsulation_key").bytes(p_.ml_kem_decapsulation_key.span());
    w.key("ml_kem_encapsulation_key").bytes(p_.ml_kem_encapsulation_key);
    w.key("ed25519_signing_key").bytes(p_.ed25519_signing_key.span());
    w.key("ed25519_verifying_key").bytes(p_.ed25519_verifying_key);
    w.key("x25519_secret_key").bytes(p_.x25519_secret_key.span());
    w.key("x25519_public_key").bytes(p_.x25519_public_key);
    w.end_object();
    std::string text = w.take();
    SecretBytes blob = make_blob<SecretBytes>(kSecretMagic, text);
    ostrel_util::secure_wipe(text.data(), text.size());
    ostrel_util::secure_wipe(text.data(), text.capacity());
    return blob;
}

std::expected<OstrelKeyPair, PqError> OstrelKeyPair::from_secret_bytes(std::span<const std::uint8_t> blob) {
    auto body = open_blob(blob, kSecretMagic, kSecretNames);
    if (!body) return std::unexpected(body.error());
    auto parts = decode_secret_wire(*body);
    if (!parts) return std::unexpected(PqError::serialization("keypair decode: " + parts.error().message));
    return OstrelKeyPair(std::move(*parts));
}

namespace key_file_io {
namespace {
std::atomic<RenameFn> g_rename{&::rename};
}  // namespace
RenameFn set_rename(RenameFn fn) noexcept { return g_rename.exchange(fn ? fn : &::rename); }
}  // namespace key_file_io

// The key file is replaced atomically: the blob goes to a fresh temporary file
// (mode 0600 from its creation) in the target's directory, is written whole and
// fsynced, gets its final mode, and is then renamed over the target; the
// directory is fsynced so the rename itself is durable. Other users never see
// the secret through an old, wider mode, and any failure leaves the previous
// key file untouched and removes the temporary file.
std::expected<void, PqError> OstrelKeyPair::save_to_file(const std::string& path) const {
    auto blob = to_secret_bytes();
    if (!blob) return std::unexpected(blob.error());
    auto fail = [&path](std::string_view what, int err) {
        return std::unexpected(
            PqError::serialization(std::string(what) + " key file " + path + ": " + os_error_text(err)));
    };

    // A symbolic link keeps pointing where it did: its target is replaced.
    std::string target = path;
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved != nullptr) {
            target = resolved;
            std::free(resolved);
        }
    }

    // An existing file is tightened to at most owner read/write, never widened,
    // and one the caller may not write is refused as opening it would be.
    mode_t final_mode = S_IRUSR | S_IWUSR;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return fail("open", EISDIR);
        if (::access(target.c_str(), W_OK) != 0) return fail("open", errno);
        final_mode = st.st_mode & (S_IRUSR | S_IWUSR);
    }

    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string tmp = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + "." + base + ".tmp-XXXXXX";
    // mkostemp creates the file with mode 0600 whatever the umask.
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail("open", errno);
    auto abandon = [&](std::string_view what, int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return fail(what, err);
    };

    std::size_t off = 0;
    while (off < blob->size()) {
        const ssize_t n = ::write(fd, blob->data() + off, blob->size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            blob->clear();
            return abandon("write", err);
        }
        off += static_cast<std::size_t>(n);
    }
    blob->clear();
    if (::fsync(fd) != 0) return abandon("sync", errno);
    if (::fchmod(fd, final_mode) != 0) return abandon("chmod", errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return fail("write", err);
    }
    if (key_file_io::g_rename.load()(tmp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return fail("write", err);
    }
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) return fail("sync", errno);
    const int synced = ::fsync(dfd);
    const int err = errno;
    ::close(dfd);
    if (synced != 0) return fail("sync", err);
    return {};
}

std::expected<OstrelKeyPair, PqError> OstrelKeyPair::load_from_file(const std::string& path) {
    auto fail = [&path](int err) {
        return std::unexpected(PqError::serialization("read key file " + path + ": " + os_error_text(err)));
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(err);
    }
    // Read into a self-wiping buffer; growing it (a file that grew since
    // fstat) copies into fresh storage and wipes the old one.
    SecretBytes content(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 1);
    std::size_t used = 0;
    for (;;) {
        if (used == content.size()) content.resize(content.size() * 2 + 4096);
        const ssize_t n = ::read(fd, content.data() + used, content.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return fail(err);
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    auto kp = from_secret_bytes(std::span<const std::uint8_t>(content.data(), used));
    content.clear();
    return kp;
}

// ---- ML-DSA verifying keys -------------------------------------------------

struct MlDsaVerifyingKey::Impl {
    crypto::mldsa65::VerifyingKey key;
};

MlDsaVerifyingKey::MlDsaVerifyingKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MlDsaVerifyingKey::MlDsaVerifyingKey(const MlDsaVerifyingKey& o) : impl_(std::make_unique<Impl>(*o.impl_)) {}
MlDsaVerifyingKey& MlDsaVerifyingKey::operator=(const MlDsaVerifyingKey& o) {
    if (this != &o) impl_ = std::make_unique<Impl>(*o.impl_);
    return *this;
}
MlDsaVerifyingKey::MlDsaVerifyingKey(MlDsaVerifyingKey&&) noexcept = default;
MlDsaVerifyingKey& MlDsaVerifyingKey::operator=(MlDsaVerifyingKey&&) noexcept = default;
MlDsaVerifyingKey::~MlDsaVerifyingKey() = default;

std::expected<void, MlDsaVerifyingKey::VerifyError> MlDsaVerifyingKey::verify(
    std::span<const std::uint8_t> message, std::span<const std::uint8_t> signature) const {
    namespace m = crypto::mldsa65;
    if (signature.size() != m::kSignatureBytes)
        return std::unexpected(VerifyError{Failure::BadLength, "could not convert slice to array"});
    if (auto enc = m::check_signature_encoding(signature); !enc)
        return std::unexpected(VerifyError{Failure::Decode, enc.error().display()});
    auto ok = impl_->key.verify(message, {}, signature);
    if (!ok) return std::unexpected(VerifyError{Failure::Invalid, ok.error().display()});
    return {};
}

std::expected<MlDsaVerifyingKey, PqError> load_ml_dsa_verifying_key(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kMlDsaVerifyingKeyBytes)
        return std::unexpected(PqError::key_generation("invalid ML-DSA VK bytes: could not convert slice to array"));
    auto key = crypto::mldsa65::VerifyingKey::from_bytes(bytes);
    if (!key) return std::unexpected(PqError::key_generation("invalid ML-DSA VK bytes: " + key.error().display()));
    return MlDsaVerifyingKey(std::make_unique<MlDsaVerifyingKey::Impl>(MlDsaVerifyingKey::Impl{std::move(*key)}));
}

}  // namespace ostrel_pq
