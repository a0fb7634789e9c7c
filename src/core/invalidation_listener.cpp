#include "core/invalidation_listener.hpp"

#include "runtime/runtime_asio.hpp"
#include "util/log.hpp"

namespace ostrel_core {

namespace {

constexpr const char* kTarget = "ostrel_core::invalidation";

// Runs one scope through the handler; completes when the handler has.
using Dispatch = std::function<asio::awaitable<void>(InvalidationScope)>;

asio::awaitable<void> listen(InvalidationReceiver& rx, Dispatch& dispatch, TaskHandle self) {
    using Kind = BroadcastRecvError::Kind;
    for (;;) {
        auto r = co_await async_recv(rx);
        if (r) {
            // abort() may have returned while this step was already running
            // on the strand; its cancellation then arrives only at the next
            // suspension, so check the request itself before starting the
            // handler.
            if (self.abort_requested()) co_return;
            co_await dispatch(std::move(*r));
            continue;
        }
        if (r.error().kind == Kind::Lagged) {
            OSTREL_LOG(ostrel_util::log::Level::Warn, kTarget, "invalidation listener lagged, messages dropped",
                       {"dropped", r.error().dropped});
            continue;
        }
        if (r.error().kind == Kind::Closed) {
            OSTREL_LOG(ostrel_util::log::Level::Debug, kTarget, "invalidation listener: channel closed, exiting");
            co_return;
        }
    }
}

std::expected<TaskHandle, RuntimeFault> start(std::shared_ptr<InvalidationBroadcaster> broadcaster,
                                              Dispatch dispatch) {
    auto rx = broadcaster->subscribe();
    broadcaster.reset();
    return spawn(
        [rx = std::move(rx), dispatch = std::move(dispatch)](TaskHandle self) mutable -> asio::awaitable<void> {
            co_await listen(rx, dispatch, self);
        },
        "invalidation listener");
}

// A handler's own failure is its business: it is logged and the listener
// goes on with the next scope.
void call_guarded(InvalidationHandler& handler, InvalidationScope scope) noexcept {
    try {
        handler(std::move(scope));
    } catch (const std::exception& e) {
        OSTREL_LOG(ostrel_util::log::Level::Error, kTarget, "invalidation handler failed", {"error", e.what()});
    } catch (...) {
        OSTREL_LOG(ostrel_util::log::Level::Error, kTarget, "invalidation handler failed",
                   {"error", "unknown exception"});
    }
}

asio::awaitable<void> run_inline(std::shared_ptr<InvalidationHandler> handler, InvalidationScope scope) {
    call_guarded(*handler, std::move(scope));
    co_return;
}

asio::awaitable<void> run_on_pool(std::shared_ptr<InvalidationHandler> handler, InvalidationScope scope) {
    std::function<void()> job = [handler, scope = std::move(scope)]() mutable {
        call_guarded(*handler, std::move(scope));
    };
    co_await run_blocking(std::move(job));
}

asio::awaitable<void> run_async(std::shared_ptr<AsyncInvalidationHandler> handler, InvalidationScope scope) {
    auto ex = co_await asio::this_coro::executor;
    auto done = AsyncEvent::create(ex);
    std::function<void()> signal = [done] { done->set(); };
    try {
        (*handler)(std::move(scope), std::move(signal));
    } catch (const std::exception& e) {
        OSTREL_LOG(ostrel_util::log::Level::Error, kTarget, "invalidation handler failed", {"error", e.what()});
        co_return;
    }
    co_await done->wait();
}

}  // namespace

std::expected<TaskHandle, RuntimeFault> spawn_invalidation_listener(
    std::shared_ptr<InvalidationBroadcaster> broadcaster, InvalidationHandler handler, HandlerMode mode) {
    auto h = std::make_shared<InvalidationHandler>(std::move(handler));
    Dispatch dispatch;
    if (mode == HandlerMode::Inline) {
        dispatch = [h](InvalidationScope scope) { return run_inline(h, std::move(scope)); };
    } else {
        dispatch = [h](InvalidationScope scope) { return run_on_pool(h, std::move(scope)); };
    }
    return start(std::move(broadcaster), std::move(dispatch));
}

std::expected<TaskHandle, RuntimeFault> spawn_invalidation_listener_async(
    std::shared_ptr<InvalidationBroadcaster> broadcaster, AsyncInvalidationHandler handler) {
    auto h = std::make_shared<AsyncInvalidationHandler>(std::move(handler));
    Dispatch dispatch = [h](InvalidationScope scope) { return run_async(h, std::move(scope)); };
    return start(std::move(broadcaster), std::move(dispatch));
}

}  // namespace ostrel_core
