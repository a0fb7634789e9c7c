#include "redis/connection.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "redis/redis_io.hpp"
#include "runtime/runtime_asio.hpp"

namespace ostrel_redis {

using ostrel_core::on_runtime_thread;

std::string format_limit(std::chrono::milliseconds limit) {
    if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + "s";
    return std::to_string(limit.count()) + "ms";
}

std::expected<RedisClient, RedisError> RedisClient::open(std::string_view url) {
    auto parsed = RedisUrl::parse(url);
    if (!parsed) return std::unexpected(parsed.error());
    return RedisClient(std::move(*parsed));
}

struct RedisConnection::Impl : std::enable_shared_from_this<Impl> {
    using Strand = asio::strand<asio::io_context::executor_type>;

    Impl(RedisUrl u, Strand s) : url(std::move(u)), strand(s), backoff_timer(s) {}

    struct Pending {
        std::size_t expected;
        std::vector<RedisReply> replies;
        std::function<void(Replies)> done;
    };

    const RedisUrl url;
    Strand strand;

    // Everything below is touched only on the strand, except the atomics.
    std::shared_ptr<asio::ip::tcp::socket> sock;
    std::unique_ptr<detail::ReplyReader> reader;
    std::deque<Pending> pending;
    std::string wbuf;
    std::string inflight;
    bool writing = false;
    bool up = false;
    bool stopping = false;
    std::string last_error = "not connected yet";
    asio::steady_timer backoff_timer;
    std::function<void(std::expected<void, RedisError>)> on_first;

    std::atomic<bool> up_flag{false};
    std::atomic<std::uint64_t> connect_count{0};

    static constexpr std::chrono::milliseconds kFirstBackoff{100};
    static constexpr std::chrono::milliseconds kMaxBackoff{2000};

    asio::awaitable<void> run(std::shared_ptr<Impl> self, std::chrono::milliseconds first_limit) {
        (void)self;  // keeps the connection state alive while the loop runs
        auto backoff = kFirstBackoff;
        bool first = true;
        while (!stopping) {
            sock = std::make_shared<asio::ip::tcp::socket>(strand);
            reader = std::make_unique<detail::ReplyReader>();
            const auto limit = first ? first_limit : kConnectTimeout;
            auto opened = co_await detail::open_socket(sock, url, *reader, limit);
            if (stopping) break;
            if (first) {
                first = false;
                if (on_first) on_first(opened);
                on_first = nullptr;
                if (!opened) {
                    stopping = true;
                    break;
                }
            }
            if (opened) {
                up = true;
                up_flag = true;
                ++connect_count;
                backoff = kFirstBackoff;
                co_await read_loop();
            } else {
                last_error = opened.error().message;
            }
            mark_down();
            if (stopping) break;
            backoff_timer.expires_after(backoff);
            std::error_code ec;
            co_await backoff_timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            backoff = std::min(backoff * 2, kMaxBackoff);
        }
        if (on_first) {
            on_first(std::unexpected(RedisError{"redis connection closed"}));
            on_first = nullptr;
        }
        last_error = "connection closed";
        mark_down();
    }

    asio::awaitable<void> read_loop() {
        std::array<char, 16384> buf;
        for (;;) {
            std::error_code ec;
            const std::size_t n =
                co_await sock->async_read_some(asio::buffer(buf), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                last_error = detail::io_error("redis connection lost", ec).message;
                co_return;
            }
            reader->feed(buf.data(), n);
            for (;;) {
                auto next = reader->next();
                if (!next) {
                    last_error = next.error().message;
                    co_return;
                }
                if (!*next) break;
                if (pending.empty()) {
                    last_error = "redis protocol error: reply without a request";
                    co_return;
                }
                Pending& p = pending.front();
                p.replies.push_back(std::move(**next));
                if (p.replies.size() == p.expected) {
                    auto done = std::move(p.done);
                    auto replies = std::move(p.replies);
                    pending.pop_front();
                    done(std::move(replies));
                }
            }
        }
    }

    RedisError down_error() const { return RedisError{"redis connection is down: " + last_error}; }

    // The connection broke (or is closing): every waiting operation fails.
    void mark_down() {
        up = false;
        up_flag = false;
        if (sock) {
            std::error_code ignored;
            sock->close(ignored);
        }
        wbuf.clear();
        auto failed = std::move(pending);
        pending.clear();
        for (auto& p : failed) p.done(std::unexpected(down_error()));
    }

    void submit(std::vector<Command> commands, std::function<void(Replies)> done) {
        if (!up || stopping) {
            done(std::unexpected(down_error()));
            return;
        }
        if (commands.empty()) {
            done(std::vector<RedisReply>{});
            return;
        }
        for (const auto& c : commands) wbuf += detail::format_command(c);
        pending.push_back(Pending{commands.size(), {}, std::move(done)});
        if (!writing) start_write();
    }

    void start_write() {
        writing = true;
        inflight.swap(wbuf);
        wbuf.clear();
        asio::async_write(*sock, asio::buffer(inflight),
                          asio::bind_executor(strand, [self = shared_from_this(), s = sock](std::error_code ec,
                                                                                           std::size_t) {
                              self->writing = false;
                              if (ec) {
                                  // The reader sees the closed socket and
                                  // fails everything waiting.
                                  std::error_code ignored;
                                  s->close(ignored);
                                  return;
                              }
                              if (self->up && !self->wbuf.empty()) self->start_write();
                          }));
    }

    void stop() {
        asio::post(strand, [self = shared_from_this()] {
            self->stopping = true;
            self->backoff_timer.cancel();
            if (self->sock) {
                std::error_code ignored;
                self->sock->close(ignored);
            }
        });
    }
};

std::expected<std::shared_ptr<RedisConnection>, RedisError> RedisConnection::connect(const RedisClient& client,
                                                                                     std::chrono::milliseconds timeout) {
    if (on_runtime_thread()) return std::unexpected(RedisError{ostrel_core::kBlockingOnWorkerFault});
    auto io = ostrel_core::runtime_io();
    if (!io) return std::unexpected(RedisError{io.error().display()});

    auto impl = std::make_shared<Impl>(client.url(), asio::make_strand(**io));
    struct First {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<std::expected<void, RedisError>> result;
    };
    auto first = std::make_shared<First>();
    impl->on_first = [first](std::expected<void, RedisError> r) {
        {
            std::lock_guard lock(first->mu);
            first->result = std::move(r);
        }
        first->cv.notify_all();
    };
    asio::co_spawn(impl->strand, impl->run(impl, timeout), asio::detached);

    std::unique_lock lock(first->mu);
    // The connect attempt enforces the limit itself; the extra second here
    // only guards against a stuck name lookup.
    const bool answered = first->cv.wait_for(lock, timeout + std::chrono::seconds(1), [&] { return first->result.has_value(); });
    if (!answered) {
        impl->stop();
        return std::unexpected(RedisError{"redis connect timed out after " + format_limit(timeout)});
    }
    if (!*first->result) return std::unexpected(first->result->error());
    return std::shared_ptr<RedisConnection>(new RedisConnection(std::move(impl)));
}

RedisConnection::~RedisConnection() { impl_->stop(); }

void RedisConnection::async_pipeline(std::vector<Command> commands, std::function<void(Replies)> done) {
    asio::post(impl_->strand, [impl = impl_, commands = std::move(commands), done = std::move(done)]() mutable {
        impl->submit(std::move(commands), std::move(done));
    });
}

RedisConnection::Replies RedisConnection::pipeline(std::vector<Command> commands) {
    if (on_runtime_thread()) return std::unexpected(RedisError{ostrel_core::kBlockingOnWorkerFault});
    struct Wait {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<Replies> result;
    };
    auto w = std::make_shared<Wait>();
    async_pipeline(std::move(commands), [w](Replies r) {
        {
            std::lock_guard lock(w->mu);
            w->result = std::move(r);
        }
        w->cv.notify_all();
    });
    std::unique_lock lock(w->mu);
    w->cv.wait(lock, [&] { return w->result.has_value(); });
    return std::move(*w->result);
}

std::expected<RedisReply, RedisError> RedisConnection::command(Command cmd) {
    std::vector<Command> one;
    one.push_back(std::move(cmd));
    auto r = pipeline(std::move(one));
    if (!r) return std::unexpected(r.error());
    RedisReply reply = std::move(r->front());
    if (reply.is_error()) return std::unexpected(RedisError{reply.str});
    return reply;
}

bool RedisConnection::is_connected() const { return impl_->up_flag.load(); }

std::uint64_t RedisConnection::connects() const { return impl_->connect_count.load(); }

}  // namespace ostrel_redis
