#include "pq/channel.hpp"

#include <nlohmann/json.hpp>

namespace ostrel_pq {

using ostrel_util::JsonError;
using ostrel_util::JsonWriter;

// ---- SignedBytes JSON ------------------------------------------------------

void SignedBytes::write_json(JsonWriter& w) const {
    w.begin_object();
    w.key("signed_payload");
    signed_payload.write_json(w);
    w.field("context_id", context_id);
    w.field("correlation_id", correlation_id);
    w.end_object();
}

std::string SignedBytes::to_json() const {
    JsonWriter w(4 * (signed_payload.data.size() + signed_payload.ml_dsa_signature.size() + 64) +
                 context_id.size() + correlation_id.size() + 640);
    write_json(w);
    return w.take();
}

std::expected<SignedBytes, JsonError> SignedBytes::from_json_value(const nlohmann::json& v) {
    auto r = ostrel_util::ObjectReader::open(v, "struct SignedBytes");
    if (!r) return std::unexpected(r.error());
    auto inner = r->require("signed_payload");
    if (!inner) return std::unexpected(inner.error());
    auto payload = SignedPayload::from_json_value(**inner);
    if (!payload) return std::unexpected(payload.error());
    auto context = r->string("context_id");
    if (!context) return std::unexpected(context.error());
    auto correlation = r->string("correlation_id");
    if (!correlation) return std::unexpected(correlation.error());
    return SignedBytes{std::move(*payload), std::move(*context), std::move(*correlation)};
}

std::expected<SignedBytes, JsonError> SignedBytes::from_json(std::string_view text) {
    auto v = ostrel_util::parse_json(text);
    if (!v) return std::unexpected(v.error());
    return from_json_value(*v);
}

// ---- SecureChannel ---------------------------------------------------------

SecureChannel::SecureChannel(const OstrelKeyPair& local, const PublicKeyBundle& remote)
    : signer_(local),
      verifier_(VerdictVerifier::from_bundle(remote, kChannelMaxTrackedNonces)),
      encryptor_(Encryptor::from_bundle(remote)),
      decryptor_(Decryptor::from_keypair(local)),
      local_key_id_(local.id()),
      remote_key_id_(remote.id) {}

SecureChannel SecureChannel::establish_from_bundle(const OstrelKeyPair& local, const PublicKeyBundle& remote) {
    return SecureChannel(local, remote);
}

std::expected<EncryptedPayload, PqError> SecureChannel::send_data(std::span<const std::uint8_t> data) const {
    return encryptor_.encrypt(data);
}

std::expected<Bytes, PqError> SecureChannel::receive_data(const EncryptedPayload& payload) const {
    return decryptor_.decrypt(payload);
}

std::expected<EncryptedPayload, PqError> SecureChannel::send_signed(std::span<const std::uint8_t> data,
                                                                    std::string_view context_id,
                                                                    std::string_view correlation_id) const {
    auto signed_payload = signer_.sign(data);
    if (!signed_payload) return std::unexpected(signed_payload.error());
    const SignedBytes message{std::move(*signed_payload), std::string(context_id), std::string(correlation_id)};
    // The compact writer has no failure mode; the JSON is the sealed plaintext.
    const std::string json = message.to_json();
    return encryptor_.encrypt({reinterpret_cast<const std::uint8_t*>(json.data()), json.size()});
}

std::expected<Bytes, PqError> SecureChannel::receive_signed(const EncryptedPayload& payload,
                                                            std::string_view expected_context_id) const {
    auto plain = decryptor_.decrypt(payload);
    if (!plain) return std::unexpected(plain.error());
    auto message =
        SignedBytes::from_json(std::string_view(reinterpret_cast<const char*>(plain->data()), plain->size()));
    if (!message) return std::unexpected(PqError::serialization(message.error().message));
    return verifier_.verify_bytes(message->signed_payload, message->context_id, expected_context_id);
}

}  // namespace ostrel_pq
