// Rate-limit events kept on a Redis server, so that every replica counts the
// events of all: one sorted set "ostrel:rl:" + key per rate-limit key, one
// member "{time}:{uuid}" per event scored by the caller's time. Each record
// adds, prunes what left the 24-hour retention and renews the key's expiry in
// one transaction written as one batch.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string_view>

#include "core/rate_limit.hpp"
#include "redis/connection.hpp"

namespace ostrel_redis {

class RedisRateLimitStore final : public ostrel_core::RateLimitStore {
public:
    using Error = ostrel_core::RateLimitStoreError;
    using Result = std::expected<std::shared_ptr<RedisRateLimitStore>, Error>;

    static constexpr std::string_view kKeyPrefix = "ostrel:rl:";

    // Opens the store's managed connection, waiting at most 5 s. Every
    // failure is Backend; this store never reports Corrupt or Other.
    static Result from_url(std::string_view url);
    static Result create(const RedisClient& client);

    std::expected<void, Error> record(std::string_view key, std::int64_t now) override;
    std::expected<std::uint64_t, Error> count_in_window(std::string_view key, std::int64_t now,
                                                        std::int64_t window) override;

    const RedisConnection& connection() const noexcept { return *conn_; }
    static std::string key_for(std::string_view key);

    explicit RedisRateLimitStore(std::shared_ptr<RedisConnection> conn) : conn_(std::move(conn)) {}

private:
    std::shared_ptr<RedisConnection> conn_;
};

}  // namespace ostrel_redis
