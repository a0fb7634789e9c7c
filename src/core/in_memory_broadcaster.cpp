#include "core/in_memory_broadcaster.hpp"

namespace ostrel_core {

InMemoryInvalidationBroadcaster::InMemoryInvalidationBroadcaster(std::size_t capacity)
    // The receiving end made with the channel is dropped at once: a fresh
    // broadcaster has no subscriber.
    : sender_(BroadcastChannel<InvalidationScope>::create(capacity).first) {}

std::shared_ptr<InMemoryInvalidationBroadcaster> InMemoryInvalidationBroadcaster::create() {
    return std::make_shared<InMemoryInvalidationBroadcaster>();
}

std::shared_ptr<InMemoryInvalidationBroadcaster> InMemoryInvalidationBroadcaster::with_capacity(
    std::size_t capacity) {
    return std::make_shared<InMemoryInvalidationBroadcaster>(capacity);
}

std::expected<void, BroadcastError> InMemoryInvalidationBroadcaster::publish(InvalidationScope scope) {
    sender_.send(std::move(scope));
    return {};
}

InvalidationReceiver InMemoryInvalidationBroadcaster::subscribe() { return sender_.subscribe(); }

std::size_t InMemoryInvalidationBroadcaster::subscriber_count() const { return sender_.receiver_count(); }

}  // namespace ostrel_core
