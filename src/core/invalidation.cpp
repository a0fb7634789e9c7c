#include "core/invalidation.hpp"

namespace ostrel_core {

BroadcastError BroadcastError::backend(std::string message) { return {Kind::Backend, std::move(message), 0}; }
BroadcastError BroadcastError::lagged(std::uint64_t dropped) { return {Kind::Lagged, {}, dropped}; }
BroadcastError BroadcastError::closed() { return {Kind::Closed, {}, 0}; }
BroadcastError BroadcastError::other(std::string message) { return {Kind::Other, std::move(message), 0}; }

std::string BroadcastError::display() const {
    switch (kind_) {
        case Kind::Backend: return "invalidation broadcast backend unavailable: " + detail_;
        case Kind::Lagged: return "invalidation subscriber lagged, " + std::to_string(dropped_) + " messages dropped";
        case Kind::Closed: return "invalidation channel closed";
        case Kind::Other: return "invalidation broadcast: " + detail_;
    }
    return detail_;
}

NoopInvalidationBroadcaster::NoopInvalidationBroadcaster()
    : sender_(BroadcastChannel<InvalidationScope>::create(1).first) {}

std::shared_ptr<NoopInvalidationBroadcaster> NoopInvalidationBroadcaster::create() {
    return std::make_shared<NoopInvalidationBroadcaster>();
}

std::expected<void, BroadcastError> NoopInvalidationBroadcaster::publish(InvalidationScope) { return {}; }

InvalidationReceiver NoopInvalidationBroadcaster::subscribe() { return sender_.subscribe(); }

}  // namespace ostrel_core
