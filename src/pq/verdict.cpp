#include "pq/verdict.hpp"

#include "util/log.hpp"

namespace ostrel_pq {

VerdictVerifier::VerdictVerifier(VerdictVerifier&& other) noexcept
    : verifier_(std::move(other.verifier_)), max_tracked_nonces_(other.max_tracked_nonces_) {
    std::lock_guard lock(other.mu_);
    nonces_ = std::move(other.nonces_);
}

std::expected<void, PqError> VerdictVerifier::check_signature_and_replay(const SignedPayload& payload) {
    // Outside the lock: signature checks of different payloads run in parallel.
    if (auto ok = verifier_.verify(payload); !ok) return std::unexpected(ok.error());

    bool cleared = false;
    {
        std::lock_guard lock(mu_);
        if (!nonces_.insert(payload.nonce).second) return std::unexpected(PqError::replay_detected(payload.nonce));
        if (nonces_.size() > max_tracked_nonces_) {
            nonces_.clear();
            cleared = true;
        }
    }
    if (cleared)
        OSTREL_LOG(ostrel_util::log::Level::Warn, kVerdictLogTarget, kNonceCacheClearedMessage,
                   {"max_tracked_nonces", static_cast<std::uint64_t>(max_tracked_nonces_)});
    return {};
}

std::expected<Bytes, PqError> VerdictVerifier::verify_bytes(const SignedPayload& payload, std::string_view context_id,
                                                            std::string_view expected_context_id) {
    if (auto ok = check_signature_and_replay(payload); !ok) return std::unexpected(ok.error());
    if (context_id != expected_context_id)
        return std::unexpected(PqError::verification_failed("signed payload context is '" + std::string(context_id) +
                                                            "', expected '" + std::string(expected_context_id) + "'"));
    return payload.data;
}

std::size_t VerdictVerifier::tracked_nonces() const {
    std::lock_guard lock(mu_);
    return nonces_.size();
}

}  // namespace ostrel_pq
