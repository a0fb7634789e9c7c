// Python classes for key lookup: PublicKeyDirectory (in-memory, unsigned file
// or root-signed file) and DirectoryTokenVerifier, which checks permit-token
// envelopes against the bundle the directory holds for the envelope's key id.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "py/classes.hpp"
#include "py/gate_family.hpp"
#include "py/keys_family.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_py {

namespace pq = ostrel_pq;

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

// ---------------------------------------------------------------------------
// PublicKeyDirectory

const char kDirectoryDoc[] =
    "Resolves the key id of a token envelope to the PublicKeyBundle that verifies it.\n"
    "\n"
    "Three backings:\n"
    "  in_memory(bundles)   filled and edited at run time with insert() and remove();\n"
    "  from_file(path)      an unsigned JSON array of bundles, trusted because it is local;\n"
    "  from_signed_file(path, root_ml_dsa_verifying_key)\n"
    "                       a root-signed manifest, believed only after its ML-DSA-65\n"
    "                       signature verifies against the pinned root key.\n"
    "File directories are reloaded on request with reload(); a failed reload keeps the\n"
    "bundles already loaded.\n"
    "\n"
    "Any error on lookup raises ValueError, so that tokens that cannot be verified are\n"
    "refused downstream.";

const char kInMemoryDoc[] =
    "in_memory($cls, bundles=...)\n--\n\n"
    "An in-memory directory holding `bundles` (default: none); for equal ids the later\n"
    "bundle wins.";

const char kFromFileDoc[] =
    "from_file($cls, path)\n--\n\n"
    "A directory loaded at once from an unsigned file: a JSON array of bundles.";

const char kFromSignedFileDoc[] =
    "from_signed_file($cls, path, root_ml_dsa_verifying_key)\n--\n\n"
    "A directory loaded at once from a signed manifest, whose signature must verify against\n"
    "the pinned root ML-DSA-65 verifying key before any bundle in it is believed.";

const char kFetchDoc[] =
    "fetch($self, key_id)\n--\n\n"
    "The bundle stored under exactly `key_id`; ValueError when there is none.";

const char kInsertDoc[] =
    "insert($self, bundle)\n--\n\n"
    "Store `bundle` under its id, replacing a bundle with the same id. In-memory directories\n"
    "only; a file directory raises ValueError.";

const char kRemoveDoc[] =
    "remove($self, key_id)\n--\n\n"
    "Remove the bundle stored under `key_id`: True if one was removed, False if none had that\n"
    "id. In-memory directories only; a file directory raises ValueError.";

const char kReloadDoc[] =
    "reload($self)\n--\n\n"
    "Read the directory's file again (and check its signature, for a signed directory). On\n"
    "failure ValueError is raised and the previous bundles stay in service. Does nothing on an\n"
    "in-memory directory.";

const char kBuildSignedDoc[] =
    "build_signed_manifest(bundles, ml_dsa_signing_key)\n--\n\n"
    "The compact JSON bytes of a signed directory manifest of `bundles`, signed with the root\n"
    "authority's 32-byte ML-DSA-65 seed. OstrelKeyPair.build_signed_manifest does the same\n"
    "without handing the seed to Python.";

const char kBuildUnsignedDoc[] =
    "build_unsigned_manifest(bundles)\n--\n\n"
    "The compact JSON bytes of the unsigned directory file: an array of the bundles.";

PyObject* make_directory(DirectoryHandle h) { return new_instance<PublicKeyDirectoryObject>(std::move(h)); }

PyObject* directory_in_memory(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.in_memory", kInMemoryDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        BundleList bundles;
        if (!a.get(0, bundles)) return nullptr;
        return make_directory(
            DirectoryHandle{.in_memory = std::make_shared<pq::InMemoryPublicKeyDirectory>(bundles.items), .file = {}});
    });
}

PyObject* directory_from_file(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.from_file", kFromFileDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string path;
        if (!path_arg(a, 0, sig, path)) return nullptr;
        auto dir = pq::FilePublicKeyDirectory::load_unsigned(std::move(path));
        if (!dir) return raise_error(PyExc_ValueError, "directory load", dir.error());
        return make_directory(DirectoryHandle{.in_memory = {}, .file = std::move(*dir)});
    });
}

PyObject* directory_from_signed_file(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.from_signed_file", kFromSignedFileDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string path;
        LenientBytes root;
        if (!path_arg(a, 0, sig, path) || !a.get(1, root)) return nullptr;
        auto dir = pq::FilePublicKeyDirectory::load_signed(std::move(path), root.data);
        if (!dir) return raise_error(PyExc_ValueError, "directory load", dir.error());
        return make_directory(DirectoryHandle{.in_memory = {}, .file = std::move(*dir)});
    });
}

PyObject* directory_fetch(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.fetch", kFetchDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string key_id;
        if (!a.get(0, key_id)) return nullptr;
        // A blocking entry point: it must not run on a worker of the shared
        // runtime, whose tasks a lookup may wait on.
        if (ostrel_core::on_runtime_thread()) return raise_internal_fault(ostrel_core::kBlockingOnWorkerFault);
        auto bundle = as<PublicKeyDirectoryObject>(self)->value().directory()->fetch(key_id);
        if (!bundle) return raise_error(PyExc_ValueError, "directory fetch", bundle.error());
        return make_public_key_bundle(std::move(*bundle));
    });
}

PyObject* directory_insert(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.insert", kInsertDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        PublicKeyBundleObject* bundle = nullptr;
        if (!a.get(0, bundle)) return nullptr;
        const DirectoryHandle& h = as<PublicKeyDirectoryObject>(self)->value();
        if (!h.in_memory) return raise(PyExc_ValueError, "insert only supported on in-memory directories");
        h.in_memory->insert(bundle->value());
        return none();
    });
}

PyObject* directory_remove(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.remove", kRemoveDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        std::string key_id;
        if (!a.get(0, key_id)) return nullptr;
        const DirectoryHandle& h = as<PublicKeyDirectoryObject>(self)->value();
        if (!h.in_memory) return raise(PyExc_ValueError, "remove only supported on in-memory directories");
        return to_py(h.in_memory->remove(key_id).has_value());
    });
}

PyObject* directory_reload(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        const DirectoryHandle& h = as<PublicKeyDirectoryObject>(self)->value();
        if (h.file) {
            if (auto ok = h.file->reload(); !ok) return raise_error(PyExc_ValueError, "directory reload", ok.error());
        }
        return none();
    });
}

PyObject* directory_build_signed_manifest(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.build_signed_manifest", kBuildSignedDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        BundleList bundles;
        LenientBytes seed;
        if (!a.get(0, bundles) || !a.get(1, seed)) return nullptr;
        pq::SecretBytes secret{std::span<const std::uint8_t>(seed.data)};
        ostrel_util::secure_wipe(seed.data.data(), seed.data.size());
        return signed_manifest_bytes(bundles.items, secret.span());
    });
}

PyObject* directory_build_unsigned_manifest(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("PublicKeyDirectory.build_unsigned_manifest", kBuildUnsignedDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        BundleList bundles;
        if (!a.get(0, bundles)) return nullptr;
        // The compact writer cannot fail ("serialize bundles: " has no cause left).
        const std::string json = pq::bundles_to_json(bundles.items);
        return to_py_bytes(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
    });
}

Py_ssize_t directory_len(PyObject* self) noexcept {
    return guarded([&]() -> Py_ssize_t {
        return static_cast<Py_ssize_t>(as<PublicKeyDirectoryObject>(self)->value().directory()->len());
    });
}

PyObject* directory_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const DirectoryHandle& h = as<PublicKeyDirectoryObject>(self)->value();
        return to_py(std::string("PublicKeyDirectory(kind=") + h.kind() +
                     ", length=" + std::to_string(h.directory()->len()) + ")");
    });
}

constexpr int kClassMethod = METH_VARARGS | METH_KEYWORDS | METH_CLASS;
constexpr int kStaticMethod = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef g_directory_methods[] = {
    {"in_memory", as_cfunction(&directory_in_memory), kClassMethod, kInMemoryDoc},
    {"from_file", as_cfunction(&directory_from_file), kClassMethod, kFromFileDoc},
    {"from_signed_file", as_cfunction(&directory_from_signed_file), kClassMethod, kFromSignedFileDoc},
    {"fetch", as_cfunction(&directory_fetch), METH_VARARGS | METH_KEYWORDS, kFetchDoc},
    {"insert", as_cfunction(&directory_insert), METH_VARARGS | METH_KEYWORDS, kInsertDoc},
    {"remove", as_cfunction(&directory_remove), METH_VARARGS | METH_KEYWORDS, kRemoveDoc},
    {"reload", as_cfunction(&directory_reload), METH_NOARGS, kReloadDoc},
    {"build_signed_manifest", as_cfunction(&directory_build_signed_manifest), kStaticMethod, kBuildSignedDoc},
    {"build_unsigned_manifest", as_cfunction(&directory_build_unsigned_manifest), kStaticMethod,
     kBuildUnsignedDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_directory_getset[] = {
    {"length",
     getter<PublicKeyDirectoryObject,
            [](const DirectoryHandle& h) { return to_py(std::uint64_t{h.directory()->len()}); }>,
     nullptr, "Number of bundles held.", nullptr},
    {"is_empty",
     getter<PublicKeyDirectoryObject, [](const DirectoryHandle& h) { return to_py(h.directory()->is_empty()); }>,
     nullptr, "True when no bundle is held.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// DirectoryTokenVerifier

const char kVerifierDoc[] =
    "DirectoryTokenVerifier(directory, hybrid=True)\n--\n\n"
    "Verifies permit-token envelopes with the bundle that `directory` holds for each\n"
    "envelope's key id. The directory is shared, not copied: later insert, remove and reload\n"
    "on it are seen by the next verification.\n"
    "\n"
    "hybrid=True (the default) is a downgrade guard: only hybrid ML-DSA-65 + Ed25519\n"
    "envelopes are accepted and both signatures must verify; hybrid=False accepts only\n"
    "PQ-only envelopes. Verification is fail-closed: any doubt (malformed envelope, other\n"
    "mode, unknown key id, expired bundle, bad signature) raises ValueError.";

const char kVerifierVerifyDoc[] =
    "verify($self, token, signature, *, enforce_expiry=True)\n--\n\n"
    "Check `signature` (the envelope bytes) over the PermitToken's canonical bytes. Returns\n"
    "None or raises ValueError. With enforce_expiry (the default) a bundle whose expiry has\n"
    "passed refuses every token; pass False to check archived records after a key expired.";

PyObject* verifier_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("DirectoryTokenVerifier.__new__", kVerifierDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        PublicKeyDirectoryObject* directory = nullptr;
        bool hybrid = true;
        if (!a.get(0, directory) || !a.get(1, hybrid)) return nullptr;
        auto verifier = std::make_shared<const pq::DirectoryTokenVerifier>(directory->value().directory(), hybrid);
        return make_instance<DirectoryTokenVerifierObject>(type, std::move(verifier));
    });
}

PyObject* verifier_verify(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("DirectoryTokenVerifier.verify", kVerifierVerifyDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        PermitTokenObject* token = nullptr;
        StrictBytes signature;
        bool enforce_expiry = true;
        if (!a.get(0, token) || !a.get(1, signature) || !a.get(2, enforce_expiry)) return nullptr;
        if (ostrel_core::on_runtime_thread()) return raise_internal_fault(ostrel_core::kBlockingOnWorkerFault);
        auto ok = as<DirectoryTokenVerifierObject>(self)->value()->verify_with_expiry(token->value(), signature.data,
                                                                                      enforce_expiry);
        if (!ok) return raise_error(PyExc_ValueError, "verify failed", ok.error());
        return none();
    });
}

PyMethodDef g_verifier_methods[] = {
    {"verify", as_cfunction(&verifier_verify), METH_VARARGS | METH_KEYWORDS, kVerifierVerifyDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool register_public_key_directory(PyObject* module) {
    return register_class<PublicKeyDirectoryObject>(
        module, ClassSpec{.name = "PublicKeyDirectory",
                          .doc = kDirectoryDoc,
                          .basicsize = static_cast<int>(sizeof(PublicKeyDirectoryObject)),
                          .tp_new = nullptr,
                          .tp_dealloc = &dealloc<PublicKeyDirectoryObject>,
                          .methods = g_directory_methods,
                          .getset = g_directory_getset,
                          .repr = &directory_repr,
                          .extra_slots = {{Py_mp_length, reinterpret_cast<void*>(&directory_len)}}});
}

bool register_directory_token_verifier(PyObject* module) {
    return register_class<DirectoryTokenVerifierObject>(
        module, ClassSpec{.name = "DirectoryTokenVerifier",
                          .doc = kVerifierDoc,
                          .basicsize = static_cast<int>(sizeof(DirectoryTokenVerifierObject)),
                          .tp_new = &verifier_new,
                          .tp_dealloc = &dealloc<DirectoryTokenVerifierObject>,
                          .methods = g_verifier_methods});
}

}  // namespace ostrel_py
