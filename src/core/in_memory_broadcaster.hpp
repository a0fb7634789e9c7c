// The process-local invalidation broadcaster: publishing puts the scope on a
// bounded broadcast channel whose receivers are this process's subscribers
// and listeners. Publishing never fails and never waits on a subscriber; a
// scope published while nobody subscribes is lost.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>

#include "core/invalidation.hpp"

namespace ostrel_core {

class InMemoryInvalidationBroadcaster final : public InvalidationBroadcaster {
public:
    static constexpr std::size_t kDefaultCapacity = 1024;

    // A broadcaster whose channel holds `capacity` scopes (at least 1; 0 is
    // taken as 1). It starts with no subscriber.
    explicit InMemoryInvalidationBroadcaster(std::size_t capacity = kDefaultCapacity);

    static std::shared_ptr<InMemoryInvalidationBroadcaster> create();
    static std::shared_ptr<InMemoryInvalidationBroadcaster> with_capacity(std::size_t capacity);

    // Always succeeds; with no subscriber the scope is dropped.
    std::expected<void, BroadcastError> publish(InvalidationScope scope) override;
    InvalidationReceiver subscribe() override;

    // The number of live receivers.
    std::size_t subscriber_count() const;
    std::size_t capacity() const { return sender_.capacity(); }

private:
    InvalidationSender sender_;
};

}  // namespace ostrel_core
