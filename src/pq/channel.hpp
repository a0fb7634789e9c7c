// SecureChannel: confidential, authenticated, context-bound and
// replay-protected messages between this party (its own OstrelKeyPair) and
// one remote party (its PublicKeyBundle).
//
// There is no handshake and no session key: every message is sealed on its
// own with the hybrid encryption of encrypt.hpp (always hybrid, always to the
// remote key id), so sealed messages can be stored or carried over any
// transport. Two flows:
//
// - send_data / receive_data: encryption only, no signature, no replay check;
// - send_signed / receive_signed: the data is signed in hybrid mode
//   (ML-DSA-65 + Ed25519) with the local key pair, wrapped with a context id
//   and a correlation id as SignedBytes JSON, then sealed. Receiving opens
//   the message, verifies the signature against the remote party's keys,
//   refuses a nonce this channel has already accepted and only then compares
//   the context id (a nonce that reached that comparison stays recorded, so a
//   message refused for its context cannot be replayed with the right one).
//
// The context id travels inside the encryption but outside the signature.
// The key id stated in a signed payload is not compared with anything: only
// signatures by the remote party's keys verify. The correlation id is read
// and not interpreted.
//
// A channel is immutable apart from its nonce cache (limit 100,000, emptied
// when passed), which guards itself; every operation may run on several
// threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "pq/encrypt.hpp"
#include "pq/error.hpp"
#include "pq/keys.hpp"
#include "pq/sign.hpp"
#include "pq/verdict.hpp"
#include "util/json.hpp"

namespace ostrel_pq {

inline constexpr std::size_t kChannelMaxTrackedNonces = 100'000;

// The plaintext of a signed channel message. JSON keys in this order, all
// required on input: "signed_payload" (the SignedPayload object, nested),
// "context_id", "correlation_id".
struct SignedBytes {
    SignedPayload signed_payload;
    std::string context_id;
    std::string correlation_id;

    void write_json(ostrel_util::JsonWriter& w) const;
    std::string to_json() const;
    static std::expected<SignedBytes, ostrel_util::JsonError> from_json_value(const nlohmann::json& v);
    static std::expected<SignedBytes, ostrel_util::JsonError> from_json(std::string_view text);

    bool operator==(const SignedBytes&) const = default;
};

class SecureChannel {
public:
    // Copies the key material it needs; never fails and validates nothing
    // (bad key lengths surface at the first send or receive).
    static SecureChannel establish_from_bundle(const OstrelKeyPair& local, const PublicKeyBundle& remote);

    SecureChannel(SecureChannel&&) noexcept = default;
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Seals `data` for the remote party (errors of Encryptor::encrypt).
    std::expected<EncryptedPayload, PqError> send_data(std::span<const std::uint8_t> data) const;
    // Opens a message sealed for this party (errors of Decryptor::decrypt).
    std::expected<Bytes, PqError> receive_data(const EncryptedPayload& payload) const;

    // Signs `data`, wraps it with the two ids and seals the JSON (errors of
    // Signer::sign and Encryptor::encrypt).
    std::expected<EncryptedPayload, PqError> send_signed(std::span<const std::uint8_t> data,
                                                         std::string_view context_id,
                                                         std::string_view correlation_id) const;
    // Opens, parses (Serialization with the JSON reader's message), verifies
    // the signature, checks the nonce against replay and compares the context
    // ids (VerificationFailed "signed payload context is '{}', expected '{}'").
    // Returns the signed data.
    std::expected<Bytes, PqError> receive_signed(const EncryptedPayload& payload,
                                                 std::string_view expected_context_id) const;

    const std::string& local_key_id() const noexcept { return local_key_id_; }
    const std::string& remote_key_id() const noexcept { return remote_key_id_; }
    // Nonces the replay guard currently remembers.
    std::size_t tracked_nonces() const { return verifier_.tracked_nonces(); }

private:
    SecureChannel(const OstrelKeyPair& local, const PublicKeyBundle& remote);

    VerdictSigner signer_;
    // Mutable: the replay guard's nonce cache is behind its own lock.
    mutable VerdictVerifier verifier_;
    Encryptor encryptor_;
    Decryptor decryptor_;
    std::string local_key_id_;
    std::string remote_key_id_;
};

}  // namespace ostrel_pq
