// Python class SecureChannel: sealed, optionally signed and replay-guarded
// messages between this process's key pair and one remote party's bundle.
// Sealed messages cross the boundary as the compact JSON bytes of an
// EncryptedPayload; receiving parses them before any cryptography runs.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "pq/channel.hpp"
#include "py/classes.hpp"
#include "py/keys_family.hpp"

namespace ostrel_py {

namespace pq = ostrel_pq;

namespace {

using ChannelObject = Object<struct SecureChannelTag, std::shared_ptr<const pq::SecureChannel>>;

const char kChannelDoc[] =
    "SecureChannel(local_keypair, remote_public_keys)\n--\n\n"
    "A message channel between this party (its own OstrelKeyPair) and one remote party (its\n"
    "PublicKeyBundle). There is no handshake: every message is sealed on its own to the\n"
    "remote party's ML-KEM-768 and X25519 keys (ChaCha20-Poly1305 under an HKDF-SHA256 key),\n"
    "so sealed messages (bytes of JSON) can be stored or sent over any transport.\n"
    "\n"
    "send_data / receive_data only encrypt. send_signed / receive_signed also sign the data\n"
    "with this party's ML-DSA-65 and Ed25519 keys, bind it to a context id, and refuse on\n"
    "receipt a message whose signature is not the remote party's, whose nonce this channel\n"
    "object has already accepted (replay), or whose context id is not the expected one.\n"
    "The replay memory belongs to this object and is not persisted.\n"
    "\n"
    "Construction copies the key material and validates nothing; bad keys surface at the\n"
    "first send or receive.";

const char kSendDataDoc[] =
    "send_data($self, data)\n--\n\n"
    "Seal `data` (bytes) for the remote party; returns the sealed payload JSON as bytes.\n"
    "Raises RuntimeError on failure.";

const char kSendSignedDoc[] =
    "send_signed($self, data, context_id, correlation_id)\n--\n\n"
    "Sign `data` (bytes), wrap it with `context_id` and `correlation_id`, and seal the result\n"
    "for the remote party; returns the sealed payload JSON as bytes. Raises RuntimeError on\n"
    "failure.";

const char kReceiveDataDoc[] =
    "receive_data($self, sealed)\n--\n\n"
    "Open a payload sealed for this party by send_data; returns the plaintext bytes. Raises\n"
    "ValueError for malformed or tampered payloads and payloads addressed to another key.";

const char kReceiveSignedDoc[] =
    "receive_signed($self, sealed, expected_context_id)\n--\n\n"
    "Open a payload sealed by the remote party's send_signed, verify its signature, refuse a\n"
    "replayed nonce and check the context id; returns the signed data bytes. Raises\n"
    "ValueError on any failure. A message refused for its context id stays recorded and\n"
    "cannot be accepted afterwards.";

const pq::SecureChannel& channel_of(PyObject* self) { return *as<ChannelObject>(self)->value(); }

PyObject* sealed_to_py(const pq::EncryptedPayload& payload) {
    // The compact writer cannot fail ("sealed payload serialize failed: " has
    // no cause left).
    const std::string json = payload.to_json();
    return to_py_bytes(reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
}

// The JSON reader quotes the offending input, which for arbitrary bytes may
// not be UTF-8; a message must still become a str, so invalid sequences are
// replaced by U+FFFD the way Python's "replace" error handler does it.
std::string as_valid_utf8(const std::string& text) {
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    Ref encoded = decoded ? Ref::steal(PyUnicode_AsUTF8String(decoded.get())) : Ref();
    if (!encoded) {
        PyErr_Clear();
        return "malformed input";
    }
    return std::string(PyBytes_AsString(encoded.get()), static_cast<std::size_t>(PyBytes_Size(encoded.get())));
}

// Parses sealed payload bytes; raises ValueError "sealed payload parse
// failed: ..." and returns nullopt on failure.
std::optional<pq::EncryptedPayload> parse_sealed(const StrictBytes& sealed) {
    auto payload = pq::EncryptedPayload::from_json(
        std::string_view(reinterpret_cast<const char*>(sealed.data.data()), sealed.data.size()));
    if (!payload) {
        raise_error(PyExc_ValueError, "sealed payload parse failed", as_valid_utf8(payload.error().message));
        return std::nullopt;
    }
    return std::move(*payload);
}

PyObject* channel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SecureChannel.__new__", kChannelDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        OstrelKeyPairObject* local = nullptr;
        PublicKeyBundleObject* remote = nullptr;
        if (!a.get(0, local) || !a.get(1, remote)) return nullptr;
        auto channel = std::make_shared<const pq::SecureChannel>(
            pq::SecureChannel::establish_from_bundle(*local->value(), remote->value()));
        return make_instance<ChannelObject>(type, std::move(channel));
    });
}

PyObject* channel_send_data(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SecureChannel.send_data", kSendDataDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes data;
        if (!a.get(0, data)) return nullptr;
        auto payload = channel_of(self).send_data(data.data);
        if (!payload) return raise_error(PyExc_RuntimeError, "send_data failed", payload.error());
        return sealed_to_py(*payload);
    });
}

PyObject* channel_send_signed(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SecureChannel.send_signed", kSendSignedDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes data;
        std::string context_id, correlation_id;
        if (!a.get(0, data) || !a.get(1, context_id) || !a.get(2, correlation_id)) return nullptr;
        auto payload = channel_of(self).send_signed(data.data, context_id, correlation_id);
        if (!payload) return raise_error(PyExc_RuntimeError, "send_signed failed", payload.error());
        return sealed_to_py(*payload);
    });
}

PyObject* channel_receive_data(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SecureChannel.receive_data", kReceiveDataDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes sealed;
        if (!a.get(0, sealed)) return nullptr;
        auto payload = parse_sealed(sealed);
        if (!payload) return nullptr;
        auto data = channel_of(self).receive_data(*payload);
        if (!data) return raise_error(PyExc_ValueError, "receive_data failed", as_valid_utf8(data.error().display()));
        return to_py_bytes(*data);
    });
}

PyObject* channel_receive_signed(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        static const Signature sig("SecureChannel.receive_signed", kReceiveSignedDoc);
        Args a;
        if (!a.parse(sig, args, kwargs)) return nullptr;
        StrictBytes sealed;
        std::string expected_context_id;
        if (!a.get(0, sealed) || !a.get(1, expected_context_id)) return nullptr;
        auto payload = parse_sealed(sealed);
        if (!payload) return nullptr;
        auto data = channel_of(self).receive_signed(*payload, expected_context_id);
        // The plaintext may be any bytes, quoted by the JSON reader's message.
        if (!data)
            return raise_error(PyExc_ValueError, "receive_signed failed", as_valid_utf8(data.error().display()));
        return to_py_bytes(*data);
    });
}

PyObject* channel_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const pq::SecureChannel& ch = channel_of(self);
        return to_py("SecureChannel(local=" + ch.local_key_id() + ", remote=" + ch.remote_key_id() + ")");
    });
}

using ChannelPtr = std::shared_ptr<const pq::SecureChannel>;

PyMethodDef g_channel_methods[] = {
    {"send_data", as_cfunction(&channel_send_data), METH_VARARGS | METH_KEYWORDS, kSendDataDoc},
    {"send_signed", as_cfunction(&channel_send_signed), METH_VARARGS | METH_KEYWORDS, kSendSignedDoc},
    {"receive_data", as_cfunction(&channel_receive_data), METH_VARARGS | METH_KEYWORDS, kReceiveDataDoc},
    {"receive_signed", as_cfunction(&channel_receive_signed), METH_VARARGS | METH_KEYWORDS, kReceiveSignedDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_channel_getset[] = {
    {"local_key_id", getter<ChannelObject, [](const ChannelPtr& ch) { return to_py(ch->local_key_id()); }>, nullptr,
     "Key id of this party's key pair.", nullptr},
    {"remote_key_id", getter<ChannelObject, [](const ChannelPtr& ch) { return to_py(ch->remote_key_id()); }>,
     nullptr, "Key id of the remote party's bundle.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool register_secure_channel(PyObject* module) {
    return register_class<ChannelObject>(module, ClassSpec{.name = "SecureChannel",
                                                           .doc = kChannelDoc,
                                                           .basicsize = static_cast<int>(sizeof(ChannelObject)),
                                                           .tp_new = &channel_new,
                                                           .tp_dealloc = &dealloc<ChannelObject>,
                                                           .methods = g_channel_methods,
                                                           .getset = g_channel_getset,
                                                           .repr = &channel_repr});
}

}  // namespace ostrel_py
