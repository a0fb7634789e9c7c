// Fan-out of invalidations. Every broadcaster delivers scopes to its local
// subscribers through a bounded broadcast channel; `subscribe()` returns a
// receiver on it that sees every scope reaching the channel after the call.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "core/verdict.hpp"
#include "runtime/broadcast_channel.hpp"

namespace ostrel_core {

using InvalidationReceiver = BroadcastReceiver<InvalidationScope>;
using InvalidationSender = BroadcastSender<InvalidationScope>;

class BroadcastError {
public:
    enum class Kind : std::uint8_t { Backend, Lagged, Closed, Other };

    // "invalidation broadcast backend unavailable: {}"
    static BroadcastError backend(std::string message);
    // "invalidation subscriber lagged, {} messages dropped"
    static BroadcastError lagged(std::uint64_t dropped);
    // "invalidation channel closed"
    static BroadcastError closed();
    // "invalidation broadcast: {}"
    static BroadcastError other(std::string message);

    Kind kind() const noexcept { return kind_; }
    const std::string& detail() const noexcept { return detail_; }
    std::uint64_t dropped() const noexcept { return dropped_; }
    std::string display() const;

    bool operator==(const BroadcastError&) const = default;

private:
    BroadcastError(Kind k, std::string d, std::uint64_t n) : kind_(k), detail_(std::move(d)), dropped_(n) {}
    Kind kind_;
    std::string detail_;
    std::uint64_t dropped_;
};

class InvalidationBroadcaster {
public:
    virtual ~InvalidationBroadcaster() = default;
    // Fans `scope` out. Never waits on subscribers.
    virtual std::expected<void, BroadcastError> publish(InvalidationScope scope) = 0;
    // A new receiver on the local channel.
    virtual InvalidationReceiver subscribe() = 0;
};

// The gate's default: discards every scope. Holds the sending end of an idle
// channel of capacity 1, so its receivers never yield a scope and report
// closed only once the broadcaster is destroyed.
class NoopInvalidationBroadcaster final : public InvalidationBroadcaster {
public:
    NoopInvalidationBroadcaster();
    static std::shared_ptr<NoopInvalidationBroadcaster> create();

    std::expected<void, BroadcastError> publish(InvalidationScope scope) override;
    InvalidationReceiver subscribe() override;

private:
    InvalidationSender sender_;
};

}  // namespace ostrel_core
