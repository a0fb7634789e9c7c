// Listener tasks: run a handler for every invalidation scope a broadcaster's
// subscription receives, one at a time and in publication order, on the
// shared runtime.
#pragma once

#include <expected>
#include <functional>
#include <memory>

#include "core/invalidation.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_core {

// A handler that finishes when it returns.
using InvalidationHandler = std::function<void(InvalidationScope)>;

// A handler that finishes when it calls `done` (from any thread, once). The
// listener takes the next scope only after that.
using AsyncInvalidationHandler = std::function<void(InvalidationScope, std::function<void()> done)>;

// Where a synchronous handler runs.
enum class HandlerMode {
    // On the runtime's worker thread, inside the listener task: for quick
    // handlers that never block.
    Inline,
    // On the runtime's blocking pool while the listener task waits for it:
    // for handlers that may block (for example on a host interpreter lock),
    // so that they never hold a worker thread.
    Blocking,
};

// Subscribes to `broadcaster` now, in the calling thread (so every scope
// published after this returns reaches the listener, subject to lag), drops
// the caller's reference to the broadcaster, and spawns the listener task,
// which keeps only its receiver and the handler. The task loops:
//   - a scope: run the handler and wait for it to finish;
//   - lag: WARN "invalidation listener lagged, messages dropped" {dropped};
//   - closed: DEBUG "invalidation listener: channel closed, exiting", end.
// Both events use the target ostrel_core::invalidation. A handler that
// throws is logged (ERROR "invalidation handler failed" {error}) and the
// listener goes on. abort() on the
// handle stops the task at its next suspension point; once abort() has
// returned, the handler is not started again. Fails only when the runtime
// cannot start.
std::expected<TaskHandle, RuntimeFault> spawn_invalidation_listener(
    std::shared_ptr<InvalidationBroadcaster> broadcaster, InvalidationHandler handler,
    HandlerMode mode = HandlerMode::Inline);

// As above with a handler that reports completion through `done`.
std::expected<TaskHandle, RuntimeFault> spawn_invalidation_listener_async(
    std::shared_ptr<InvalidationBroadcaster> broadcaster, AsyncInvalidationHandler handler);

}  // namespace ostrel_core
