// Coroutine-facing side of the shared runtime: spawning tasks, blocking on a
// coroutine from outside the runtime, timers, and awaiting a broadcast
// receiver. Include only from .cpp files: it pulls in the whole of Asio.
//
// Every task spawned here runs on its own strand, so a task's steps never run
// concurrently with each other even though the runtime has several workers.
#pragma once

#include <asio.hpp>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>

#include "runtime/broadcast_channel.hpp"
#include "runtime/runtime.hpp"

namespace ostrel_core {

struct Runtime::Impl {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keep_alive{io.get_executor()};
    std::size_t workers = 0;
};

// The runtime's event loop (creating the runtime if needed).
std::expected<asio::io_context*, RuntimeFault> runtime_io() noexcept;

// Spawns `task` on a new strand of the shared runtime and returns its handle.
// abort() delivers terminal cancellation to the operation the task is
// suspended on; the task's next co_await then throws operation_aborted, so
// it stops at its next suspension point. An exception escaping the task ends
// it; it is logged unless it is the cancellation the task was asked for.
std::expected<TaskHandle, RuntimeFault> spawn(asio::awaitable<void> task, std::string name = "task");

// As above for a callable returning the task's awaitable. The callable is
// moved into the coroutine frame, so a capturing lambda is safe here (calling
// a capturing lambda coroutine yourself and passing its awaitable is not: its
// captures die with the temporary lambda).
template <class F>
    requires std::is_invocable_r_v<asio::awaitable<void>, F&>
std::expected<TaskHandle, RuntimeFault> spawn(F f, std::string name = "task") {
    return spawn([](F fn) -> asio::awaitable<void> { co_await fn(); }(std::move(f)), std::move(name));
}

// Coroutine code in this project keeps every co_await in a statement of its
// own (`auto x = co_await f();` or `co_await f();`): g++ 12 miscompiles
// co_await inside conditions and larger expressions.

// Whether the current coroutine has been asked to stop.
inline asio::awaitable<bool> cancellation_requested() {
    auto cs = co_await asio::this_coro::cancellation_state;
    co_return cs.cancelled() != asio::cancellation_type::none;
}

// Throws operation_aborted when the current coroutine has been asked to stop.
inline asio::awaitable<void> throw_if_cancelled() {
    const bool cancelled = co_await cancellation_requested();
    if (cancelled) throw std::system_error(asio::error::operation_aborted, "task aborted");
}

// Suspends the current coroutine for `d`.
inline asio::awaitable<void> sleep_for(std::chrono::steady_clock::duration d) {
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(asio::use_awaitable);
}

// Runs `op` on the shared runtime and blocks the calling thread until it
// completes. Fails with a fault (and runs nothing) when called from a worker
// thread, when the runtime cannot start, or when `op` throws.
template <class T>
std::expected<T, RuntimeFault> block_on(asio::awaitable<T> op) {
    if (on_runtime_thread()) return std::unexpected(RuntimeFault{kBlockingOnWorkerFault});
    auto io = runtime_io();
    if (!io) return std::unexpected(io.error());

    struct Slot {
        std::mutex mu;
        std::condition_variable cv;
        bool done = false;
        std::exception_ptr error;
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    };
    auto slot = std::make_shared<Slot>();
    asio::co_spawn(
        asio::make_strand(**io),
        [slot, op = std::move(op)]() mutable -> asio::awaitable<void> {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(op);
                slot->value.emplace(true);
            } else {
                slot->value.emplace(co_await std::move(op));
            }
        },
        [slot](std::exception_ptr e) {
            {
                std::lock_guard lock(slot->mu);
                slot->error = e;
                slot->done = true;
            }
            slot->cv.notify_all();
        });
    std::unique_lock lock(slot->mu);
    slot->cv.wait(lock, [&] { return slot->done; });
    if (slot->error || !slot->value) {
        std::string what = "operation on the shared runtime failed";
        try {
            if (slot->error) std::rethrow_exception(slot->error);
        } catch (const std::exception& e) {
            what += std::string(": ") + e.what();
        } catch (...) {
        }
        return std::unexpected(RuntimeFault{std::move(what)});
    }
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*slot->value);
    }
}

// As above for a callable returning the awaitable; the callable is kept alive
// in the coroutine frame until the operation completes.
template <class F>
    requires std::is_invocable_v<F&>
auto block_on(F f) {
    using Aw = std::invoke_result_t<F&>;
    using T = typename Aw::value_type;
    return block_on<T>([](F fn) -> asio::awaitable<T> { co_return co_await fn(); }(std::move(f)));
}

// Waits, without blocking a worker thread, for the next value, lag or
// closed condition of `rx`. Must run in a coroutine on a strand (every task
// spawned by spawn() and block_on() is). Cancellation of the coroutine ends
// the wait by throwing operation_aborted; no value is taken then.
template <class Rx>
asio::awaitable<std::expected<typename Rx::value_type, BroadcastRecvError>> async_recv(Rx& rx) {
    auto ex = co_await asio::this_coro::executor;
    for (;;) {
        co_await throw_if_cancelled();
        auto r = rx.try_recv();
        if (r || r.error().kind != BroadcastRecvError::Kind::Empty) co_return r;

        struct Waiter {
            explicit Waiter(const asio::any_io_executor& e)
                : timer(e, asio::steady_timer::time_point::max()) {}
            asio::steady_timer timer;
            bool notified = false;  // touched only on the strand
        };
        auto w = std::make_shared<Waiter>(ex);
        const bool armed = rx.arm([w, ex] {
            asio::post(ex, [w] {
                w->notified = true;
                w->timer.cancel();
            });
        });
        if (!armed) continue;  // something arrived between try_recv and arm
        if (!w->notified) {
            std::error_code ec;
            co_await w->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        }
        rx.disarm();
    }
}

}  // namespace ostrel_core
