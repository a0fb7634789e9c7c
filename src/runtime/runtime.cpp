#include "runtime/runtime.hpp"

#include <thread>
#include <vector>

#include "runtime/runtime_asio.hpp"

namespace ostrel_core {

namespace {

thread_local bool t_on_runtime_thread = false;

std::mutex g_create_mu;
std::atomic<Runtime*> g_runtime{nullptr};

}  // namespace

Runtime::Runtime(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Runtime::~Runtime() = default;

std::size_t Runtime::worker_count() const noexcept { return impl_->workers; }

void Runtime::post(std::function<void()> fn) { asio::post(impl_->io, std::move(fn)); }

std::expected<Runtime*, RuntimeFault> try_runtime() noexcept {
    if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
    std::lock_guard lock(g_create_mu);
    if (Runtime* rt = g_runtime.load(std::memory_order_acquire)) return rt;
    try {
        auto impl = std::make_unique<Runtime::Impl>();
        const unsigned wanted = std::max(1u, std::thread::hardware_concurrency());
        // The runtime lives until the process exits: it is never destroyed,
        // so its threads are detached and never joined.
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

std::expected<TaskHandle, RuntimeFault> spawn(asio::awaitable<void> task, std::string name) {
    auto io = runtime_io();
    if (!io) return std::unexpected(io.error());

    auto strand = asio::make_strand(**io);
    auto signal = std::make_shared<asio::cancellation_signal>();
    auto state = std::make_shared<detail::TaskState>();
    // Cancellation signals are not thread-safe: emit on the task's strand.
    state->request_cancel = [strand, signal] {
        asio::post(strand, [signal] { signal->emit(asio::cancellation_type::terminal); });
    };
    asio::co_spawn(strand, std::move(task),
                   asio::bind_cancellation_slot(
                       signal->slot(),
                       [state, signal, name = std::move(name)](std::exception_ptr e) {
                           (void)name;
                           if (e) {
                               try {
                                   std::rethrow_exception(e);
                               } catch (const std::system_error& se) {
                                   (void)se;
                               } catch (...) {
                               }
                           }
                           state->mark_finished();
                       }));
    return TaskHandle(state);
}

}  // namespace ostrel_core
