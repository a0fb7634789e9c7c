// Python classes for identities: OstrelKeyPair (the full, secret key pair)
// and PublicKeyBundle (its shareable public half).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "py/classes.hpp"
#include "py/keys_family.hpp"

namespace ostrel_py {

namespace pq = ostrel_pq;

// ---------------------------------------------------------------------------
// Shared helpers of the key family

bool from_py(PyObject* o, BundleList& out) {
    if (!detail::check_sequence_not_str(o, "a sequence of PublicKeyBundle")) return false;
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) return false;
    std::vector<pq::PublicKeyBundle> items;
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) return false;
        PublicKeyBundleObject* bundle = nullptr;
        if (!from_py(item.get(), bundle)) return false;
        items.push_back(bundle->value());
    }
    out.items = std::move(items);
    return true;
}

PyObject* make_public_key_bundle(pq::PublicKeyBundle bundle) {
    return new_instance<PublicKeyBundleObject>(std::move(bundle));
}

PyObject* make_keypair(std::shared_ptr<const pq::OstrelKeyPair> keypair) {
    return new_instance<OstrelKeyPairObject>(std::move(keypair));
}

PyObject* signed_manifest_bytes(const std::vector<pq::PublicKeyBundle>& bundles,
                                std::span<const std::uint8_t> root_seed) {
    auto manifest = pq::build_signed_manifest(bundles, root_seed);
    if (!manifest) return raise_error(PyExc_RuntimeError, "build manifest", manifest.error());
    // The compact writer cannot fail ("serialize manifest: " has no cause left).
    const std::string json = manifest->to_json();
    return to_py_bytes(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
}

namespace {

// A path argument: str or os.PathLike resolving to str.
bool path_arg(const Args& a, std::size_t i, const Signature& sig, std::string& out) {
    Ref path = Ref::steal(PyOS_FSPath(a[i]));
    if (!path || !from_py(path.get(), out)) {
        prefix_argument_type_error(sig.params()[i].name);
        return false;
    }
    return true;
}

PyObject* timestamp_to_py(const pq::Timestamp& t) { return to_py(std::int64_t{t.unix_seconds()}); }

PyObject* optional_timestamp_to_py(const std::optional<pq::Timestamp>& t) {
    return t ? timestamp_to_py(*t) : none();
}

// ---------------------------------------------------------------------------
// OstrelKeyPair

const char kKeyPairDoc[] =
    "A party's identity: ML-DSA-65, ML-KEM-768, Ed25519 and X25519 key pairs under one key id.\n"
    "\n"
    "This object holds SECRET keys. Never share it, log it or send it anywhere: hand other\n"
    "parties its public_keys() bundle instead. Persist it with save_to_file (an owner-only\n"
    "key file) or to_secret_bytes, and load it back with load_from_file or from_secret_bytes.\n"
    "Its secrets are wiped from memory when the last reference goes away.\n"
    "\n"
    "Created only through the class methods generate, generate_with_expiry, load_from_file\n"
    "and from_secret_bytes.";

const char kGenerateDoc[] =
    "generate($cls)\n--\n\n"
    "Generate a fresh key pair without expiry from the operating system's random source.";

const char kGenerateWithExpiryDoc[] =
    "generate_with_expiry($cls, seconds)\n--\n\n"
    "Generate a fresh key pair that expires `seconds` after its creation. A negative value\n"
    "gives a key pair that is already expired; an expiry outside the years 0001..9999 is\n"
    "refused with ValueError.";

const char kLoadFromFileDoc[] =
    "load_from_file($cls, path)\n--\n\n"
    "Load a key pair from a key file written by save_to_file.";

const char kFromSecretBytesDoc[] =
    "from_secret_bytes($cls, data)\n--\n\n"
    "Rebuild a key pair from the secret key blob made by to_secret_bytes (bytes only).";

const char kToSecretBytesDoc[] =
    "to_secret_bytes($self)\n--\n\n"
    "The secret key blob (\"OSSK\", version 1, JSON of every key). It contains the secret\n"
    "keys: store it as carefully as the key pair itself.";

const char kSaveToFileDoc[] =
    "save_to_file($self, path)\n--\n\n"
    "Write the secret key blob to `path` and sync it to disk. The file ends with owner-only\n"
    "permissions: a new file gets mode 0600, an existing one keeps at most its owner\n"
    "read/write bits (tightened, never widened). Failures raise RuntimeError.";

const char kPublicKeysDoc[] =
    "public_keys($self)\n--\n\n"
    "The shareable public half of this key pair, as a new PublicKeyBundle.";

const char kKeyPairManifestDoc[] =
    "build_signed_manifest($self, bundles)\n--\n\n"
    "Sign a directory manifest of `bundles` as the root authority, with this key pair's ML-DSA\n"
    "key, without the seed ever reaching Python. Returns the manifest's compact JSON bytes;\n"
    "write them to a file and load it with PublicKeyDirectory.from_signed_file, pinning\n"
    "public_keys().ml_dsa_verifying_key as the root key.";

PyObject* keypair_generate(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("OstrelKeyPair.generate", kGenerateDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        auto kp = pq::OstrelKeyPair::generate();
        if (!kp) return raise_error(PyExc_RuntimeError, "keypair generation", kp.error());
        return make_keypair(std::make_shared<const pq::OstrelKeyPair>(std::move(*kp)));
    });
}

PyObject* keypair_generate_with_expiry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("OstrelKeyPair.generate_with_expiry", kGenerateWithExpiryDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::int64_t seconds = 0;
        if (!a.get(0, seconds)) return nullptr;
        auto kp = pq::OstrelKeyPair::generate_with_expiry(pq::KeyTtl{seconds, 0});
        if (!kp) {
            // An expiry that cannot be represented is the caller's value, not
            // a failure of generation.
            const bool bad_ttl = kp.error().kind == pq::PqErrorKind::KeyGeneration &&
                                 kp.error().detail.starts_with("ttl out of range");
            return raise_error(bad_ttl ? PyExc_ValueError : PyExc_RuntimeError, "keypair generation", kp.error());
        }
        return make_keypair(std::make_shared<const pq::OstrelKeyPair>(std::move(*kp)));
    });
}

PyObject* keypair_load_from_file(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("OstrelKeyPair.load_from_file", kLoadFromFileDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string path;
        if (!path_arg(a, 0, sig, path)) return nullptr;
        auto kp = pq::OstrelKeyPair::load_from_file(path);
        if (!kp) return raise_error(PyExc_ValueError, "keypair load_from_file", kp.error());
        return make_keypair(std::make_shared<const pq::OstrelKeyPair>(std::move(*kp)));
    });
}

PyObject* keypair_from_secret_bytes(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("OstrelKeyPair.from_secret_bytes", kFromSecretBytesDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes data;
        if (!a.get(0, data)) return nullptr;
        auto kp = pq::OstrelKeyPair::from_secret_bytes(data.data);
        ostrel_util::secure_wipe(data.data.data(), data.data.size());
        if (!kp) return raise_error(PyExc_ValueError, "keypair from_secret_bytes", kp.error());
        return make_keypair(std::make_shared<const pq::OstrelKeyPair>(std::move(*kp)));
    });
}

PyObject* keypair_to_secret_bytes(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto blob = as<OstrelKeyPairObject>(self)->value()->to_secret_bytes();
        if (!blob) return raise_error(PyExc_RuntimeError, "keypair to_secret_bytes", blob.error());
        return to_py_bytes(blob->data(), blob->size());
    });
}

PyObject* keypair_save_to_file(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("OstrelKeyPair.save_to_file", kSaveToFileDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string path;
        if (!path_arg(a, 0, sig, path)) return nullptr;
        auto saved = as<OstrelKeyPairObject>(self)->value()->save_to_file(path);
        if (!saved) return raise_error(PyExc_RuntimeError, "keypair save_to_file", saved.error());
        return none();
    });
}

PyObject* keypair_public_keys(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        return make_public_key_bundle(as<OstrelKeyPairObject>(self)->value()->public_keys());
    });
}

PyObject* keypair_build_signed_manifest(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("OstrelKeyPair.build_signed_manifest", kKeyPairManifestDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        BundleList bundles;
        if (!a.get(0, bundles)) return nullptr;
        const pq::OstrelKeyPair& kp = *as<OstrelKeyPairObject>(self)->value();
        return signed_manifest_bytes(bundles.items, kp.ml_dsa_signing_key().span());
    });
}

PyObject* keypair_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const pq::OstrelKeyPair& kp = *as<OstrelKeyPairObject>(self)->value();
        return to_py("OstrelKeyPair(id=" + kp.id() + ", expired=" + (kp.is_expired() ? "true" : "false") + ")");
    });
}

using KeyPairPtr = std::shared_ptr<const pq::OstrelKeyPair>;

PyMethodDef g_keypair_methods[] = {
    {"generate", as_cfunction(&keypair_generate), METH_VARARGS | METH_KEYWORDS | METH_CLASS, kGenerateDoc},
    {"generate_with_expiry", as_cfunction(&keypair_generate_with_expiry), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     kGenerateWithExpiryDoc},
    {"load_from_file", as_cfunction(&keypair_load_from_file), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     kLoadFromFileDoc},
    {"from_secret_bytes", as_cfunction(&keypair_from_secret_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     kFromSecretBytesDoc},
    {"to_secret_bytes", as_cfunction(&keypair_to_secret_bytes), METH_NOARGS, kToSecretBytesDoc},
    {"save_to_file", as_cfunction(&keypair_save_to_file), METH_VARARGS | METH_KEYWORDS, kSaveToFileDoc},
    {"public_keys", as_cfunction(&keypair_public_keys), METH_NOARGS, kPublicKeysDoc},
    {"build_signed_manifest", as_cfunction(&keypair_build_signed_manifest), METH_VARARGS | METH_KEYWORDS,
     kKeyPairManifestDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_keypair_getset[] = {
    {"id", getter<OstrelKeyPairObject, [](const KeyPairPtr& kp) { return to_py(kp->id()); }>, nullptr,
     "Key id: \"ostrel-key-\" followed by a UUID.", nullptr},
    {"created_at", getter<OstrelKeyPairObject, [](const KeyPairPtr& kp) { return timestamp_to_py(kp->created_at()); }>,
     nullptr, "Creation time in whole Unix seconds.", nullptr},
    {"expires_at",
     getter<OstrelKeyPairObject, [](const KeyPairPtr& kp) { return optional_timestamp_to_py(kp->expires_at()); }>,
     nullptr, "Expiry time in whole Unix seconds, or None when the key pair never expires.", nullptr},
    {"is_expired", getter<OstrelKeyPairObject, [](const KeyPairPtr& kp) { return to_py(kp->is_expired()); }>,
     nullptr, "True when the expiry lies strictly in the past.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// PublicKeyBundle

const char kBundleDoc[] =
    "The shareable public half of an OstrelKeyPair: its key id, the four public keys and the\n"
    "creation and expiry times. Holds no secret.\n"
    "\n"
    "Travels as bare JSON (to_json / from_json, also the element of directory files) or as a\n"
    "binary blob (to_bytes / from_bytes, \"OSPB\" version 1). Obtained from\n"
    "OstrelKeyPair.public_keys(), PublicKeyDirectory.fetch() or the two readers.";

const char kBundleFromJsonDoc[] =
    "from_json($cls, data)\n--\n\n"
    "Read a bundle from its JSON text. Unknown keys are ignored; a missing \"expires_at\" means\n"
    "no expiry.";

const char kBundleFromBytesDoc[] =
    "from_bytes($cls, data)\n--\n\n"
    "Read a bundle from the public bundle blob made by to_bytes (bytes only).";

const char kBundleToJsonDoc[] =
    "to_json($self)\n--\n\n"
    "The compact bundle JSON: id, the four keys as arrays of integers, created_at and\n"
    "expires_at (null when absent).";

const char kBundleToBytesDoc[] =
    "to_bytes($self)\n--\n\n"
    "The public bundle blob: \"OSPB\", version 1, then the bundle JSON.";

PyObject* bundle_from_json(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyBundle.from_json", kBundleFromJsonDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string data;
        if (!a.get(0, data)) return nullptr;
        auto bundle = pq::PublicKeyBundle::from_json(data);
        if (!bundle) return raise_error(PyExc_ValueError, "bundle from_json", bundle.error());
        return make_public_key_bundle(std::move(*bundle));
    });
}

PyObject* bundle_from_bytes(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyBundle.from_bytes", kBundleFromBytesDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes data;
        if (!a.get(0, data)) return nullptr;
        auto bundle = pq::PublicKeyBundle::from_bytes(data.data);
        if (!bundle) return raise_error(PyExc_ValueError, "bundle from_bytes", bundle.error());
        return make_public_key_bundle(std::move(*bundle));
    });
}

PyObject* bundle_to_json(PyObject* self, PyObject*) noexcept {
    // The compact writer cannot fail ("bundle to_json: " has no cause left).
    return guarded([&]() -> PyObject* { return to_py(as<PublicKeyBundleObject>(self)->value().to_json()); });
}

PyObject* bundle_to_bytes(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        auto blob = as<PublicKeyBundleObject>(self)->value().to_bytes();
        if (!blob) return raise_error(PyExc_RuntimeError, "bundle to_bytes", blob.error());
        return to_py_bytes(*blob);
    });
}

PyObject* bundle_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const pq::PublicKeyBundle& b = as<PublicKeyBundleObject>(self)->value();
        return to_py("PublicKeyBundle(id=" + b.id + ", ml_dsa_vk=" + std::to_string(b.ml_dsa_verifying_key.size()) +
                     "B, ml_kem_ek=" + std::to_string(b.ml_kem_encapsulation_key.size()) +
                     "B, ed25519_vk=" + std::to_string(b.ed25519_verifying_key.size()) +
                     "B, x25519_pk=" + std::to_string(b.x25519_public_key.size()) + "B)");
    });
}

PyMethodDef g_bundle_methods[] = {
    {"from_json", as_cfunction(&bundle_from_json), METH_VARARGS | METH_KEYWORDS | METH_CLASS, kBundleFromJsonDoc},
    {"from_bytes", as_cfunction(&bundle_from_bytes), METH_VARARGS | METH_KEYWORDS | METH_CLASS, kBundleFromBytesDoc},
    {"to_json", as_cfunction(&bundle_to_json), METH_NOARGS, kBundleToJsonDoc},
    {"to_bytes", as_cfunction(&bundle_to_bytes), METH_NOARGS, kBundleToBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_bundle_getset[] = {
    {"id", getter<PublicKeyBundleObject, [](const pq::PublicKeyBundle& b) { return to_py(b.id); }>, nullptr,
     "Key id of the key pair this bundle belongs to.", nullptr},
    {"created_at",
     getter<PublicKeyBundleObject, [](const pq::PublicKeyBundle& b) { return timestamp_to_py(b.created_at); }>,
     nullptr, "Creation time of the key pair in whole Unix seconds.", nullptr},
    {"expires_at",
     getter<PublicKeyBundleObject, [](const pq::PublicKeyBundle& b) { return optional_timestamp_to_py(b.expires_at); }>,
     nullptr, "Expiry time in whole Unix seconds, or None.", nullptr},
    {"ml_dsa_verifying_key",
     getter<PublicKeyBundleObject, [](const pq::PublicKeyBundle& b) { return to_py_bytes(b.ml_dsa_verifying_key); }>,
     nullptr, "Encoded ML-DSA-65 verifying key (1952 bytes when generated).", nullptr},
    {"ml_kem_encapsulation_key",
     getter<PublicKeyBundleObject,
            [](const pq::PublicKeyBundle& b) { return to_py_bytes(b.ml_kem_encapsulation_key); }>,
     nullptr, "Encoded ML-KEM-768 encapsulation key (1184 bytes when generated).", nullptr},
    {"ed25519_verifying_key",
     getter<PublicKeyBundleObject, [](const pq::PublicKeyBundle& b) { return to_py_bytes(b.ed25519_verifying_key); }>,
     nullptr, "Ed25519 verifying key (32 bytes when generated).", nullptr},
    {"x25519_public_key",
     getter<PublicKeyBundleObject, [](const pq::PublicKeyBundle& b) { return to_py_bytes(b.x25519_public_key); }>,
     nullptr, "X25519 public key (32 bytes when generated).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool register_ostrel_key_pair(PyObject* module) {
    return register_class<OstrelKeyPairObject>(
        module, ClassSpec{.name = "OstrelKeyPair",
                          .doc = kKeyPairDoc,
                          .basicsize = static_cast<int>(sizeof(OstrelKeyPairObject)),
                          .tp_new = nullptr,
                          .tp_dealloc = &dealloc<OstrelKeyPairObject>,
                          .methods = g_keypair_methods,
                          .getset = g_keypair_getset,
                          .repr = &keypair_repr});
}

bool register_public_key_bundle(PyObject* module) {
    return register_class<PublicKeyBundleObject>(
        module, ClassSpec{.name = "PublicKeyBundle",
                          .doc = kBundleDoc,
                          .basicsize = static_cast<int>(sizeof(PublicKeyBundleObject)),
                          .tp_new = nullptr,
                          .tp_dealloc = &dealloc<PublicKeyBundleObject>,
                          .methods = g_bundle_methods,
                          .getset = g_bundle_getset,
                          .repr = &bundle_repr});
}

}  // namespace ostrel_py
