#include "pq/channel.hpp"

#include <nlohmann/json.hpp>

#include "pq/encrypt_json_scan.hpp"

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

// The same text as write_json, written directly (the arrays dominate).
std::string SignedBytes::to_json() const {
    const SignedPayload& p = signed_payload;
    std::string out;
    out.reserve(4 * (p.data.size() + p.ml_dsa_signature.size() + 64) + p.key_id.size() + context_id.size() +
                correlation_id.size() + 256);
    out += R"({"signed_payload":{"data":)";
    detail::append_bytes(out, p.data);
    out += R"(,"ml_dsa_signature":)";
    detail::append_bytes(out, p.ml_dsa_signature);
    out += R"(,"ed25519_signature":)";
    if (p.ed25519_signature)
        detail::append_bytes(out, *p.ed25519_signature);
    else
        out += "null";
    out += R"(,"key_id":)";
    ostrel_util::append_json_string(out, p.key_id);
    out += R"(,"signed_at":")";
    p.signed_at.append_rfc3339(out);
    out += R"(","nonce":)";
    ostrel_util::append_json_string(out, p.nonce);
    out += R"(},"context_id":)";
    ostrel_util::append_json_string(out, context_id);
    out += R"(,"correlation_id":)";
    ostrel_util::append_json_string(out, correlation_id);
    out.push_back('}');
    return out;
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

namespace {

// The fast path of SignedBytes::from_json for the shape send_signed writes
// (see encrypt_json_scan.hpp): nullopt means "not in the simple subset".
bool scan_signed_payload(detail::JsonScan& s, SignedPayload& p) {
    static constexpr std::string_view kKeys[] = {"data", "ml_dsa_signature", "ed25519_signature",
                                                 "key_id", "signed_at", "nonce"};
    constexpr unsigned kRequired = 0b111011;  // all but ed25519_signature
    if (!s.eat('{')) return false;
    unsigned seen = 0;
    if (!s.eat('}')) {
        for (;;) {
            std::string_view key;
            if (!s.string(key) || !s.eat(':')) return false;
            unsigned idx = 0;
            while (idx < std::size(kKeys) && kKeys[idx] != key) ++idx;
            if (idx == std::size(kKeys) || (seen & (1u << idx)) != 0) return false;
            seen |= 1u << idx;
            bool ok = false;
            switch (idx) {
                case 0: ok = s.bytes(p.data); break;
                case 1: ok = s.bytes(p.ml_dsa_signature); break;
                case 2:
                    if (s.null()) {
                        p.ed25519_signature.reset();
                        ok = true;
                    } else {
                        ok = s.bytes(p.ed25519_signature.emplace());
                    }
                    break;
                case 3: ok = s.string(p.key_id); break;
                case 4: {
                    std::string text;
                    if (!s.string(text)) return false;
                    // The same conversion as the generic reader's.
                    auto at = ostrel_util::json_to_timestamp(nlohmann::json(std::move(text)), "signed_at");
                    if (!at) return false;
                    p.signed_at = *at;
                    ok = true;
                    break;
                }
                case 5: ok = s.string(p.nonce); break;
            }
            if (!ok) return false;
            if (s.eat(',')) continue;
            if (!s.eat('}')) return false;
            break;
        }
    }
    return (seen & kRequired) == kRequired;
}

std::optional<SignedBytes> scan_signed_bytes(std::string_view text) {
    detail::JsonScan s(text);
    if (!s.eat('{')) return std::nullopt;
    SignedBytes out;
    unsigned seen = 0;
    if (!s.eat('}')) {
        for (;;) {
            std::string_view key;
            if (!s.string(key) || !s.eat(':')) return std::nullopt;
            unsigned idx = key == "signed_payload" ? 0 : key == "context_id" ? 1 : key == "correlation_id" ? 2 : 3;
            if (idx == 3 || (seen & (1u << idx)) != 0) return std::nullopt;
            seen |= 1u << idx;
            const bool ok = idx == 0   ? scan_signed_payload(s, out.signed_payload)
                            : idx == 1 ? s.string(out.context_id)
                                       : s.string(out.correlation_id);
            if (!ok) return std::nullopt;
            if (s.eat(',')) continue;
            if (!s.eat('}')) return std::nullopt;
            break;
        }
    }
    if (!s.at_end() || seen != 0b111) return std::nullopt;
    return out;
}

}  // namespace

std::expected<SignedBytes, JsonError> SignedBytes::from_json(std::string_view text) {
    if (auto fast = scan_signed_bytes(text)) return std::move(*fast);
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
