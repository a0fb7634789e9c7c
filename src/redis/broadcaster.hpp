// Invalidation fan-out across replicas over Redis publish/subscribe.
//
// publish() sends the scope's compact JSON to the Redis channel over the
// managed connection (it does not put it on the local channel). A bridge
// task on the shared runtime subscribes to the Redis channel on its own
// connection and forwards every valid scope to the local broadcast channel,
// where this replica's subscribers and listeners wait, so a replica hears
// its own invalidations back from Redis. When a bridge session ends or fails
// the bridge subscribes again 2 seconds later, for ever; scopes published
// meanwhile never reach this replica (delivery is at most once).
//
// Share the broadcaster through std::shared_ptr: when the last holder lets
// go, the bridge is aborted, the local channel loses its sending end and
// every listener drains, sees closed and ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "core/invalidation.hpp"
#include "redis/connection.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_redis {

class RedisBroadcasterError {
public:
    enum class Kind : std::uint8_t { Client, Connection };

    // "redis client error: {}"
    static RedisBroadcasterError client(std::string message) { return {Kind::Client, std::move(message)}; }
    // "redis connection manager: {}"
    static RedisBroadcasterError connection(std::string message) { return {Kind::Connection, std::move(message)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    std::string display() const;

    bool operator==(const RedisBroadcasterError&) const = default;

private:
    RedisBroadcasterError(Kind k, std::string m) : kind_(k), message_(std::move(m)) {}
    Kind kind_;
    std::string message_;
};

class RedisInvalidationBroadcaster final : public ostrel_core::InvalidationBroadcaster {
public:
    using Result = std::expected<std::shared_ptr<RedisInvalidationBroadcaster>, RedisBroadcasterError>;

    static constexpr std::size_t kDefaultCapacity = 1024;
    static constexpr std::chrono::seconds kResubscribeDelay{2};

    // Opens the publishing connection (at most 5 s), then creates the local
    // channel and starts the bridge. Fails having started nothing.
    static Result from_url(std::string_view url, std::string channel);
    static Result create(const RedisClient& client, std::string channel);
    static Result with_capacity(const RedisClient& client, std::string channel, std::size_t capacity);

    // Backend on a connection failure; never waits for subscribers.
    std::expected<void, ostrel_core::BroadcastError> publish(ostrel_core::InvalidationScope scope) override;
    ostrel_core::InvalidationReceiver subscribe() override;

    std::size_t subscriber_count() const { return sender_.receiver_count(); }
    const std::string& channel() const noexcept { return channel_; }
    // The bridge task (for observing it; aborting it ends delivery).
    const ostrel_core::TaskHandle& bridge() const noexcept { return bridge_; }

    ~RedisInvalidationBroadcaster() override;

    RedisInvalidationBroadcaster(std::shared_ptr<RedisConnection> conn, std::string channel,
                                 ostrel_core::InvalidationSender sender, ostrel_core::TaskHandle bridge)
        : conn_(std::move(conn)), channel_(std::move(channel)), sender_(std::move(sender)), bridge_(std::move(bridge)) {}

private:
    std::shared_ptr<RedisConnection> conn_;
    std::string channel_;
    ostrel_core::InvalidationSender sender_;
    ostrel_core::TaskHandle bridge_;
};

}  // namespace ostrel_redis
