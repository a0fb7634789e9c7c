#include "runtime/runtime.hpp"

#include <deque>
#include <thread>
#include <vector>

#include "runtime/runtime_asio.hpp"
#include "util/log.hpp"

namespace ostrel_core {

namespace {

thread_local bool t_on_runtime_thread = false;

std::mutex g_create_mu;
std::atomic<Runtime*> g_runtime{nullptr};

}  // namespace

// Threads for work that may block, made on demand and retired when idle.
struct BlockingPool {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void()>> queue;
    std::size_t threads = 0;
    std::size_t idle = 0;

    bool submit(std::function<void()> fn) {
        std::unique_lock lock(mu);
        queue.push_back(std::move(fn));
        if (queue.size() > idle && threads < Runtime::kMaxBlockingThreads) {
            try {
                std::thread([this] { serve(); }).detach();
                ++threads;
            } catch (const std::system_error&) {
                if (threads == 0) {
                    queue.pop_back();
                    return false;
                }
                // The existing threads will get to it.
            }
        }
        lock.unlock();
        cv.notify_one();
        return true;
    }

    void serve() {
        t_on_runtime_thread = true;
        std::unique_lock lock(mu);
        for (;;) {
            while (queue.empty()) {
                ++idle;
                const bool woke = cv.wait_for(lock, Runtime::kBlockingIdle, [&] { return !queue.empty(); });
                --idle;
                if (!woke) {
                    --threads;
                    return;
                }
            }
            auto fn = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            try {
                fn();
            } catch (...) {
                // Work handed to the pool owns its failures.
            }
            fn = nullptr;
            lock.lock();
        }
    }
};

Runtime::Runtime(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Runtime::~Runtime() = default;

std::size_t Runtime::worker_count() const noexcept { return impl_->workers; }

void Runtime::post(std::function<void()> fn) { asio::post(impl_->io, std::move(fn)); }

bool Runtime::spawn_blocking(std::function<void()> fn) { return impl_->blocking->submit(std::move(fn)); }

std::expected<Runtime*, RuntimeFault> try_runtime() noexcept {
    if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
    std::lock_guard lock(g_create_mu);
    if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
    try {
        auto impl = std::make_unique<Runtime::Impl>();
        const unsigned wanted = std::max(1u, std::thread::hardware_concurrency());
        // The runtime lives until the process exits: it is never destroyed,
        // so its threads are detached and never joined.
        impl->blocking = new BlockingPool();
        Runtime* rt = new Runtime(std::move(impl));
        for (unsigned i = 0; i < wanted; ++i) {
            try {
                std::thread([io = &rt->impl().io] {
                    t_on_runtime_thread = true;
                    for (;;) {
                        try {
                            io->run();
                            return;
                        } catch (...) {
                            // A handler threw past its task boundary; the
                            // loop keeps serving everyone else.
                        }
                    }
                }).detach();
                ++rt->impl().workers;
            } catch (const std::system_error&) {
                if (i == 0) {
                    delete rt;
                    return std::unexpected(
                        RuntimeFault{"failed to start the shared runtime: the operating system "
                                     "refused to create a worker thread"});
                }
                break;  // run with the workers we got
            }
        }
        g_runtime.store(rt, std::memory_order_release);
        return rt;
    } catch (const std::exception& e) {
        return std::unexpected(RuntimeFault{std::string("failed to start the shared runtime: ") + e.what()});
    }
}

bool runtime_started() noexcept { return g_runtime.load(std::memory_order_acquire) != nullptr; }

bool on_runtime_thread() noexcept { return t_on_runtime_thread; }

std::expected<asio::io_context*, RuntimeFault> runtime_io() noexcept {
    auto rt = try_runtime();
    if (!rt) return std::unexpected(rt.error());
    return &(*rt)->impl().io;
}

std::expected<void, RuntimeFault> TaskHandle::wait() const {
    if (!state_ || state_->finished.load(std::memory_order_acquire)) return {};
    if (on_runtime_thread()) return std::unexpected(RuntimeFault{kBlockingOnWorkerFault});
    std::unique_lock lock(state_->mu);
    state_->cv.wait(lock, [&] { return state_->finished.load(std::memory_order_acquire); });
    return {};
}

std::expected<bool, RuntimeFault> TaskHandle::wait_for(std::chrono::milliseconds timeout) const {
    if (!state_ || state_->finished.load(std::memory_order_acquire)) return true;
    if (on_runtime_thread()) return std::unexpected(RuntimeFault{kBlockingOnWorkerFault});
    std::unique_lock lock(state_->mu);
    return state_->cv.wait_for(lock, timeout,
                               [&] { return state_->finished.load(std::memory_order_acquire); });
}

namespace detail {

std::expected<SpawnSetup, RuntimeFault> prepare_spawn() {
    auto io = runtime_io();
    if (!io) return std::unexpected(io.error());
    SpawnSetup setup{asio::make_strand(**io), std::make_shared<asio::cancellation_signal>(),
                     std::make_shared<TaskState>()};
    // Cancellation signals are not thread-safe: emit on the task's strand.
    setup.state->request_cancel = [strand = setup.strand, signal = setup.signal] {
        asio::post(strand, [signal] { signal->emit(asio::cancellation_type::terminal); });
    };
    return setup;
}

void report_task_exception(const TaskState& state, const std::string& name, std::exception_ptr e) noexcept {
    if (e) {
        const bool aborted = state.abort_requested.load(std::memory_order_acquire);
        std::string what = "unknown exception";
        bool cancelled = false;
        try {
            std::rethrow_exception(e);
        } catch (const std::system_error& se) {
            cancelled = se.code() == asio::error::operation_aborted;
            what = se.what();
        } catch (const std::exception& ex) {
            what = ex.what();
        } catch (...) {
        }
        if (!(aborted && cancelled)) {
            OSTREL_LOG(ostrel_util::log::Level::Error, "ostrel_core::runtime", "task ended by an exception",
                       {"task", name}, {"error", what});
        }
    }
}

}  // namespace detail

std::expected<TaskHandle, RuntimeFault> spawn(asio::awaitable<void> task, std::string name) {
    return spawn([task = std::move(task)]() mutable { return std::move(task); }, std::move(name));
}

}  // namespace ostrel_core
