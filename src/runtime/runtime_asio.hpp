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
#include <functional>
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

struct BlockingPool;

struct Runtime::Impl {
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> keep_alive{io.get_executor()};
    std::size_t workers = 0;
    BlockingPool* blocking = nullptr;  // lives as long as the runtime: forever
};

// The runtime's event loop (creating the runtime if needed).
std::expected<asio::io_context*, RuntimeFault> runtime_io() noexcept;

// Spawns `task` on a new strand of the shared runtime and returns its handle.
// abort() delivers terminal cancellation to the operation the task is
// suspended on; the task's next co_await then throws operation_aborted, so
// it stops at its next suspension point. An exception escaping the task ends
// it; it is logged unless it is the cancellation the task was asked for.
std::expected<TaskHandle, RuntimeFault> spawn(asio::awaitable<void> task, std::string name = "task");

namespace detail {
// What spawn() sets up before starting a task: its strand, its cancellation
// signal and the state its handles share.
struct SpawnSetup {
    asio::strand<asio::io_context::executor_type> strand;
    std::shared_ptr<asio::cancellation_signal> signal;
    std::shared_ptr<TaskState> state;
};
std::expected<SpawnSetup, RuntimeFault> prepare_spawn();
// Reports the exception that ended a task, unless it is the cancellation
// the task was asked for.
void report_task_exception(const TaskState& state, const std::string& name, std::exception_ptr e) noexcept;

// The task's callable as the runtime keeps it. The task counts as finished
// only when this is destroyed, i.e. once everything the task captured has
// been released (a listener's receiver is gone when is_finished() says so).
template <class F>
struct TaskBody {
    std::shared_ptr<TaskState> state;
    std::optional<F> f;

    TaskBody(std::shared_ptr<TaskState> s, F fn) : state(std::move(s)), f(std::move(fn)) {}
    TaskBody(TaskBody&&) noexcept = default;
    TaskBody(const TaskBody&) = delete;
    ~TaskBody() {
        f.reset();
        if (state) state->mark_finished();
    }
    auto operator()() {
        if constexpr (std::is_invocable_v<F&, TaskHandle>) {
            return (*f)(TaskHandle(state));
        } else {
            return (*f)();
        }
    }
};
}  // namespace detail

// As above for a callable returning the task's awaitable. The callable is
// kept alive by the runtime until the task ends, so a capturing lambda
// coroutine is safe here (calling a capturing lambda coroutine yourself and
// passing its awaitable is not: its captures die with the temporary lambda).
// A callable taking a `TaskHandle` (by value: a coroutine must not keep a
// reference to it) gets its own handle, through which it
// can see at once that abort() was called (cancellation itself reaches the
// task only when it next suspends).
template <class F>
    requires(std::is_invocable_r_v<asio::awaitable<void>, F&> ||
             std::is_invocable_r_v<asio::awaitable<void>, F&, TaskHandle>)
std::expected<TaskHandle, RuntimeFault> spawn(F f, std::string name = "task") {
    auto setup = detail::prepare_spawn();
    if (!setup) return std::unexpected(setup.error());
    auto state = setup->state;
    auto signal = setup->signal;
    asio::co_spawn(setup->strand, detail::TaskBody<F>(state, std::move(f)),
                   asio::bind_cancellation_slot(
                       signal->slot(), [state, signal, name = std::move(name)](std::exception_ptr e) {
                           detail::report_task_exception(*state, name, e);
                       }));
    return TaskHandle(std::move(state));
}

// Coroutine code in this project keeps every co_await in a statement of its
// own (`auto x = co_await f();` or `co_await f();`), and never writes a lambda
// expression inside a co_await statement (name it first, then move it in):
// g++ 12 miscompiles co_await inside conditions and destroys a lambda
// temporary of a co_await full-expression twice.

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
    auto ex = co_await asio::this_coro::executor;
    asio::steady_timer timer(ex, d);
    co_await timer.async_wait(asio::use_awaitable);
}

// A one-shot event: set() from any thread, awaited by one coroutine running
// on the strand `ex` (the awaiting coroutine's own executor). Cancellation of
// the awaiting coroutine ends the wait by throwing operation_aborted.
class AsyncEvent : public std::enable_shared_from_this<AsyncEvent> {
public:
    explicit AsyncEvent(const asio::any_io_executor& ex)
        : ex_(ex), timer_(ex, asio::steady_timer::time_point::max()) {}

    static std::shared_ptr<AsyncEvent> create(const asio::any_io_executor& ex) {
        return std::make_shared<AsyncEvent>(ex);
    }

    void set() {
        asio::post(ex_, [self = shared_from_this()] {
            self->set_ = true;
            self->timer_.cancel();
        });
    }

    asio::awaitable<void> wait() {
        // set_ and the timer are only touched on the strand, so the check
        // and the start of the wait cannot miss a set().
        while (!set_) {
            std::error_code ec;
            co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            co_await throw_if_cancelled();
        }
    }

private:
    asio::any_io_executor ex_;
    asio::steady_timer timer_;
    bool set_ = false;
};

// Runs `fn` on the runtime's blocking pool and waits for it without holding
// a worker thread. Throws std::system_error when no pool thread could run it.
// If the awaiting coroutine is cancelled, the wait ends (operation_aborted)
// while `fn` runs on to its end.
inline asio::awaitable<void> run_blocking(std::function<void()> fn) {
    auto rt = try_runtime();
    if (!rt) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                     rt.error().display());
    auto ex = co_await asio::this_coro::executor;
    auto done = AsyncEvent::create(ex);
    const bool started = (*rt)->spawn_blocking([fn = std::move(fn), done]() mutable {
        struct SetOnExit {
            std::shared_ptr<AsyncEvent> e;
            ~SetOnExit() { e->set(); }
        } guard{done};
        fn();
    });
    if (!started) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "no thread of the blocking pool could be started");
    }
    co_await done->wait();
}

// Runs the awaitable made by `f` on the shared runtime and blocks the calling
// thread until it completes. `f` is kept alive by the runtime until then, so a
// capturing lambda coroutine is safe. Fails with a fault (and runs nothing)
// when called from a runtime thread or when the runtime cannot start, and
// with a fault when the operation throws.
template <class F>
    requires std::is_invocable_v<F&>
auto block_on(F f) -> std::expected<typename std::invoke_result_t<F&>::value_type, RuntimeFault> {
    using T = typename std::invoke_result_t<F&>::value_type;
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
        [slot, f = std::move(f)]() mutable -> asio::awaitable<void> {
            if constexpr (std::is_void_v<T>) {
                co_await f();
                slot->value.emplace(true);
            } else {
                T v = co_await f();
                slot->value.emplace(std::move(v));
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

// As above for an awaitable already made (by a coroutine function whose
// arguments it owns; not by a capturing lambda called in place).
template <class T>
std::expected<T, RuntimeFault> block_on(asio::awaitable<T> op) {
    return block_on([op = std::move(op)]() mutable { return std::move(op); });
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
        auto ready = AsyncEvent::create(ex);
        const bool armed = rx.arm([ready] { ready->set(); });
        if (!armed) continue;  // something arrived between try_recv and arm
        try {
            co_await ready->wait();
        } catch (...) {
            rx.disarm();
            throw;
        }
    }
}

}  // namespace ostrel_core
