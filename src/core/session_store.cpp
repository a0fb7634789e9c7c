#include "core/session_store.hpp"

#include <mutex>

namespace ostrel_core {

std::string SessionStoreError::display() const {
    switch (kind_) {
        case Kind::Backend: return "session backend unavailable: " + message_;
        case Kind::Corrupt: return "session store corruption: " + message_;
        case Kind::Other: return "session store: " + message_;
    }
    return message_;
}

std::shared_ptr<InMemorySessionStore> InMemorySessionStore::create() {
    return std::make_shared<InMemorySessionStore>();
}

std::expected<std::optional<SessionState>, SessionStoreError> InMemorySessionStore::get(std::string_view session_id) {
    std::shared_lock lock(mu_);
    if (is_poisoned()) return std::unexpected(SessionStoreError::other("session lock poisoned"));
    try {
        const auto it = sessions_.find(session_id);
        if (it == sessions_.end()) return std::optional<SessionState>();
        return std::optional<SessionState>(it->second);
    } catch (const std::exception& e) {
        // A failed copy leaves the map untouched: no poisoning for reads.
        return std::unexpected(SessionStoreError::other(std::string("session read failed: ") + e.what()));
    }
}

std::expected<void, SessionStoreError> InMemorySessionStore::put(std::string_view session_id, SessionState state) {
    std::unique_lock lock(mu_);
    if (is_poisoned()) return std::unexpected(SessionStoreError::other("session lock poisoned"));
    try {
        const auto it = sessions_.find(session_id);
        if (it != sessions_.end()) {
            it->second = std::move(state);
        } else {
            sessions_.emplace(std::string(session_id), std::move(state));
        }
        return {};
    } catch (const std::exception& e) {
        // The update was abandoned while the write lock was held: from now on
        // the store refuses to serve rather than answer from a state nobody
        // vouches for.
        poisoned_.store(true, std::memory_order_release);
        return std::unexpected(SessionStoreError::other(std::string("session update failed: ") + e.what()));
    }
}

std::size_t InMemorySessionStore::len() const {
    std::shared_lock lock(mu_);
    if (is_poisoned()) return 0;
    return sessions_.size();
}

}  // namespace ostrel_core
