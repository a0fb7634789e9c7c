// Storage of session states by session id. The in-process store keeps its
// own copies in a map under a reader-writer lock; the Redis store lives in
// src/redis. Every implementation is shared (std::shared_ptr) and callable
// from several threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/context.hpp"

namespace ostrel_core {

class SessionStoreError {
public:
    enum class Kind : std::uint8_t { Backend, Corrupt, Other };

    // "session backend unavailable: {}"
    static SessionStoreError backend(std::string message) { return {Kind::Backend, std::move(message)}; }
    // "session store corruption: {}"
    static SessionStoreError corrupt(std::string message) { return {Kind::Corrupt, std::move(message)}; }
    // "session store: {}"
    static SessionStoreError other(std::string message) { return {Kind::Other, std::move(message)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    std::string display() const;

    bool operator==(const SessionStoreError&) const = default;

private:
    SessionStoreError(Kind k, std::string m) : kind_(k), message_(std::move(m)) {}
    Kind kind_;
    std::string message_;
};

class SessionStore {
public:
    virtual ~SessionStore() = default;
    // The state stored under `session_id`, or nullopt if none was put.
    virtual std::expected<std::optional<SessionState>, SessionStoreError> get(std::string_view session_id) = 0;
    // Stores `state` under `session_id`, replacing any earlier state. The id
    // argument is the key; the state's own session_id is not consulted.
    virtual std::expected<void, SessionStoreError> put(std::string_view session_id, SessionState state) = 0;
};

class InMemorySessionStore final : public SessionStore {
public:
    InMemorySessionStore() = default;
    static std::shared_ptr<InMemorySessionStore> create();

    std::expected<std::optional<SessionState>, SessionStoreError> get(std::string_view session_id) override;
    std::expected<void, SessionStoreError> put(std::string_view session_id, SessionState state) override;

    // Number of sessions held; 0 once the store is poisoned.
    std::size_t len() const;
    // True once an update failed half-way (e.g. out of memory while the write
    // lock was held); every later operation then fails with
    // Other("session lock poisoned"). Never clears.
    bool is_poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    mutable std::shared_mutex mu_;
    std::unordered_map<std::string, SessionState, Hash, std::equal_to<>> sessions_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace ostrel_core
