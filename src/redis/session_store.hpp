// Session states kept on a Redis server, so that every replica sees the same
// records: one key "ostrel:session:" + session id per session, holding the
// state's compact JSON, written with SETEX so that every write starts a fresh
// time-to-live. The server expires records; the store runs no cleanup.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>

#include "core/session_store.hpp"
#include "redis/connection.hpp"

namespace ostrel_redis {

class RedisSessionStore final : public ostrel_core::SessionStore {
public:
    using Error = ostrel_core::SessionStoreError;
    using Result = std::expected<std::shared_ptr<RedisSessionStore>, Error>;

    static constexpr std::uint64_t kDefaultTtlSecs = 86400;
    static constexpr std::string_view kKeyPrefix = "ostrel:session:";

    // Each opens the store's managed connection, waiting at most 5 s. A
    // malformed URL or a failed connection is Backend; a TTL of 0 is Other
    // and opens nothing.
    static Result from_url(std::string_view url);
    static Result from_url_with_ttl(std::string_view url, std::uint64_t ttl_secs);
    static Result create(const RedisClient& client);
    static Result with_ttl(const RedisClient& client, std::uint64_t ttl_secs);

    std::expected<std::optional<ostrel_core::SessionState>, Error> get(std::string_view session_id) override;
    std::expected<void, Error> put(std::string_view session_id, ostrel_core::SessionState state) override;

    std::uint64_t ttl_secs() const noexcept { return ttl_secs_; }
    const RedisConnection& connection() const noexcept { return *conn_; }

    static std::string key_for(std::string_view session_id);

    RedisSessionStore(std::shared_ptr<RedisConnection> conn, std::uint64_t ttl_secs)
        : conn_(std::move(conn)), ttl_secs_(ttl_secs) {}

private:
    std::shared_ptr<RedisConnection> conn_;
    std::uint64_t ttl_secs_;
};

}  // namespace ostrel_redis
