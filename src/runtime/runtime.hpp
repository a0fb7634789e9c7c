// The process-wide shared task runtime.
//
// One multi-threaded event loop per process, created lazily by the first call
// that needs it (never by loading the library) and kept until the process
// exits. It runs one worker thread per available CPU. Long-lived background
// work (invalidation listeners, Redis bridges, Redis connections) runs on it
// as coroutines; code outside the runtime waits for a result with a blocking
// call, which refuses to run on a worker thread because blocking a worker
// could starve the very task it waits for.
//
// This header is free of the event-loop library; coroutine-facing helpers
// (spawn, block_on, timers, awaiting a broadcast receiver) are in
// runtime/runtime_asio.hpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ostrel_core {

// A broken internal assumption of the runtime: it could not be started, or a
// blocking call was made where it would deadlock. Callers surface it as an
// internal fault, never as an ordinary error of their operation.
struct RuntimeFault {
    std::string detail;
    const std::string& display() const noexcept { return detail; }
};

// The text of the fault reported for a blocking call made on a worker thread.
inline constexpr const char* kBlockingOnWorkerFault =
    "blocking call made from a task of the shared runtime: it would block a worker thread "
    "that drives tasks and could deadlock";

namespace detail {
// Shared between a spawned task and the handles naming it.
struct TaskState {
    std::atomic<bool> finished{false};
    std::atomic<bool> abort_requested{false};
    std::mutex mu;
    std::condition_variable cv;
    std::function<void()> request_cancel;  // set once at spawn, before the handle escapes

    void mark_finished() {
        {
            std::lock_guard lock(mu);
            finished.store(true, std::memory_order_release);
        }
        cv.notify_all();
    }
};
}  // namespace detail

// The handle of a spawned task. Copies name the same task. Dropping every
// handle does not stop the task.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<detail::TaskState> s) : state_(std::move(s)) {}

    // Asks the task to stop at its next suspension point. A second request,
    // or a request after the task ended, does nothing.
    void abort() const {
        if (!state_) return;
        if (state_->abort_requested.exchange(true)) return;
        if (!state_->finished.load(std::memory_order_acquire) && state_->request_cancel) {
            state_->request_cancel();
        }
    }

    // Whether the task has ended (ran to completion, failed or was aborted).
    // An empty handle names no task and reports true.
    bool is_finished() const {
        return !state_ || state_->finished.load(std::memory_order_acquire);
    }

    // Whether abort() was called on any handle of this task.
    bool abort_requested() const {
        return state_ && state_->abort_requested.load(std::memory_order_acquire);
    }

    // Blocks until the task has ended. From a worker thread of the runtime
    // this would deadlock, so it fails with a fault there instead.
    std::expected<void, RuntimeFault> wait() const;

    // As wait(), giving up after `timeout`; true when the task has ended.
    std::expected<bool, RuntimeFault> wait_for(std::chrono::milliseconds timeout) const;

    explicit operator bool() const noexcept { return state_ != nullptr; }

private:
    std::shared_ptr<detail::TaskState> state_;
};

class Runtime {
public:
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // The number of worker threads driving tasks.
    std::size_t worker_count() const noexcept;

    // Runs `fn` on a worker thread soon. `fn` must not block.
    void post(std::function<void()> fn);

    // Runs `fn` on the blocking pool: threads kept apart from the workers
    // for work that may block (calling into a host interpreter, waiting on
    // a lock). Threads are made on demand up to kMaxBlockingThreads and
    // leave after kBlockingIdle without work; beyond the cap, work queues.
    // Returns false when no thread could be made to run it.
    bool spawn_blocking(std::function<void()> fn);

    static constexpr std::size_t kMaxBlockingThreads = 512;
    static constexpr std::chrono::seconds kBlockingIdle{10};

    struct Impl;
    Impl& impl() noexcept { return *impl_; }

private:
    friend std::expected<Runtime*, RuntimeFault> try_runtime() noexcept;
    explicit Runtime(std::unique_ptr<Impl> impl);
    ~Runtime();
    std::unique_ptr<Impl> impl_;
};

// The shared runtime, created (with its worker threads) on the first call.
// Concurrent first calls create it exactly once. Fails only when the
// operating system refuses the threads; a later call tries again.
std::expected<Runtime*, RuntimeFault> try_runtime() noexcept;

// Whether the shared runtime has been created yet (nothing creates it
// before its first use).
bool runtime_started() noexcept;

// Whether the calling thread belongs to the runtime: one of its worker
// threads or a thread of its blocking pool. Blocking calls fail there.
bool on_runtime_thread() noexcept;

}  // namespace ostrel_core
