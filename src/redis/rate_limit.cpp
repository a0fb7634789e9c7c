#include "redis/rate_limit.hpp"

#include <limits>

#include "util/uuid.hpp"

namespace ostrel_redis {

using ostrel_core::RateLimitStoreError;

namespace {

// a - b, held to the range of a signed 64-bit number instead of wrapping.
std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_sub_overflow(a, b, &r)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    return r;
}

}  // namespace

std::string RedisRateLimitStore::key_for(std::string_view key) {
    std::string k(kKeyPrefix);
    k.append(key);
    return k;
}

RedisRateLimitStore::Result RedisRateLimitStore::from_url(std::string_view url) {
    auto client = RedisClient::open(url);
    if (!client) return std::unexpected(RateLimitStoreError::backend(client.error().message));
    return create(*client);
}

RedisRateLimitStore::Result RedisRateLimitStore::create(const RedisClient& client) {
    auto conn = RedisConnection::connect(client);
    if (!conn) return std::unexpected(RateLimitStoreError::backend(conn.error().message));
    return std::make_shared<RedisRateLimitStore>(std::move(*conn));
}

std::expected<void, RateLimitStoreError> RedisRateLimitStore::record(std::string_view key, std::int64_t now) {
    const std::string set_key = key_for(key);
    const std::string now_text = std::to_string(now);
    const std::string member = now_text + ":" + ostrel_util::Uuid::new_v4().to_string();
    const std::string cutoff = std::to_string(saturating_sub(now, kRetentionSeconds));
    std::vector<Command> batch;
    batch.push_back({"MULTI"});
    batch.push_back({"ZADD", set_key, now_text, member});
    batch.push_back({"ZREMRANGEBYSCORE", set_key, "-9223372036854775808", cutoff});
    batch.push_back({"EXPIRE", set_key, std::to_string(kRetentionSeconds)});
    batch.push_back({"EXEC"});
    auto replies = conn_->pipeline(std::move(batch));
    if (!replies) return std::unexpected(RateLimitStoreError::backend(replies.error().message));
    for (const auto& r : *replies) {
        if (r.is_error()) return std::unexpected(RateLimitStoreError::backend(r.str));
    }
    const RedisReply& exec = replies->back();
    if (exec.type != RedisReply::Type::Array) {
        return std::unexpected(RateLimitStoreError::backend("rate-limit transaction was aborted"));
    }
    for (const auto& r : exec.elements) {
        if (r.is_error()) return std::unexpected(RateLimitStoreError::backend(r.str));
    }
    return {};
}

std::expected<std::uint64_t, RateLimitStoreError> RedisRateLimitStore::count_in_window(std::string_view key,
                                                                                       std::int64_t now,
                                                                                       std::int64_t window) {
    const std::string min = "(" + std::to_string(saturating_sub(now, window));
    auto reply = conn_->command({"ZCOUNT", key_for(key), min, std::to_string(now)});
    if (!reply) return std::unexpected(RateLimitStoreError::backend(reply.error().message));
    if (reply->type != RedisReply::Type::Integer || reply->integer < 0) {
        return std::unexpected(RateLimitStoreError::backend("unexpected reply to ZCOUNT"));
    }
    return static_cast<std::uint64_t>(reply->integer);
}

}  // namespace ostrel_redis
