#include "redis/session_store.hpp"

namespace ostrel_redis {

using ostrel_core::SessionState;
using ostrel_core::SessionStoreError;

std::string RedisSessionStore::key_for(std::string_view session_id) {
    std::string key(kKeyPrefix);
    key.append(session_id);
    return key;
}

RedisSessionStore::Result RedisSessionStore::from_url(std::string_view url) {
    return from_url_with_ttl(url, kDefaultTtlSecs);
}

RedisSessionStore::Result RedisSessionStore::from_url_with_ttl(std::string_view url, std::uint64_t ttl_secs) {
    auto client = RedisClient::open(url);
    if (!client) return std::unexpected(SessionStoreError::backend(client.error().message));
    return with_ttl(*client, ttl_secs);
}

RedisSessionStore::Result RedisSessionStore::create(const RedisClient& client) {
    return with_ttl(client, kDefaultTtlSecs);
}

RedisSessionStore::Result RedisSessionStore::with_ttl(const RedisClient& client, std::uint64_t ttl_secs) {
    if (ttl_secs == 0) {
        return std::unexpected(SessionStoreError::other("ttl_secs must be > 0 (Redis treats 0 as expire-now)"));
    }
    auto conn = RedisConnection::connect(client);
    if (!conn) return std::unexpected(SessionStoreError::backend(conn.error().message));
    return std::make_shared<RedisSessionStore>(std::move(*conn), ttl_secs);
}

std::expected<std::optional<SessionState>, SessionStoreError> RedisSessionStore::get(std::string_view session_id) {
    auto reply = conn_->command({"GET", key_for(session_id)});
    if (!reply) return std::unexpected(SessionStoreError::backend(reply.error().message));
    if (reply->is_nil()) return std::optional<SessionState>();
    if (reply->type != RedisReply::Type::String) {
        return std::unexpected(SessionStoreError::corrupt("session decode failed: the stored value is not text"));
    }
    auto state = SessionState::from_json(reply->str);
    if (!state) return std::unexpected(SessionStoreError::corrupt("session decode failed: " + state.error().message));
    return std::optional<SessionState>(std::move(*state));
}

std::expected<void, SessionStoreError> RedisSessionStore::put(std::string_view session_id, SessionState state) {
    std::string json = state.to_json();
    auto reply = conn_->command({"SETEX", key_for(session_id), std::to_string(ttl_secs_), std::move(json)});
    if (!reply) return std::unexpected(SessionStoreError::backend(reply.error().message));
    return {};
}

}  // namespace ostrel_redis
