// The Redis client and its managed connection.
//
// A `RedisClient` is an address parsed from a URL; making one never touches
// the network. A `RedisConnection` is one managed TCP connection driven on
// the shared runtime: it is opened within a time limit or not at all, it
// reconnects by itself after it breaks (retrying every 100 ms, doubling up
// to 2 s), and while it is down every operation fails at once instead of
// waiting. Any number of threads may issue operations at the same time; they
// are pipelined over the one connection and each gets its own replies.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "redis/error.hpp"
#include "redis/reply.hpp"
#include "redis/url.hpp"

namespace ostrel_redis {

// One command: its name and arguments, binary-safe.
using Command = std::vector<std::string>;

class RedisClient {
public:
    // Parses the URL; a malformed URL fails at once.
    static std::expected<RedisClient, RedisError> open(std::string_view url);
    explicit RedisClient(RedisUrl url) : url_(std::move(url)) {}

    const RedisUrl& url() const noexcept { return url_; }

private:
    RedisUrl url_;
};

class RedisConnection {
public:
    using Replies = std::expected<std::vector<RedisReply>, RedisError>;

    static constexpr std::chrono::milliseconds kConnectTimeout{5000};

    // Opens the connection (TCP, then AUTH and SELECT when the URL asks for
    // them, then PING), waiting at most `timeout`; on timeout fails with
    // "redis connect timed out after {timeout}" (e.g. "... after 5s"). A
    // rediss:// address fails here. Blocks the calling thread, so it fails
    // when called from a thread of the shared runtime.
    static std::expected<std::shared_ptr<RedisConnection>, RedisError> connect(
        const RedisClient& client, std::chrono::milliseconds timeout = kConnectTimeout);

    // Stops reconnecting and closes the socket; operations still waiting
    // fail.
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // Sends the commands in one write and waits for all their replies.
    // Error replies are replies here (callers decide); a broken or down
    // connection is an error. Blocks the calling thread (fails on a runtime
    // thread).
    Replies pipeline(std::vector<Command> commands);
    // One command; an error reply becomes an error with the server's text.
    std::expected<RedisReply, RedisError> command(Command cmd);

    // As pipeline(), without blocking: `done` runs on a runtime thread.
    void async_pipeline(std::vector<Command> commands, std::function<void(Replies)> done);

    // Whether the connection is up right now.
    bool is_connected() const;
    // How many times a connection has been established (1 after connect();
    // each reconnection adds one).
    std::uint64_t connects() const;

    struct Impl;

private:
    explicit RedisConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<Impl> impl_;
};

// "5s", "1500ms": a time limit as error texts write it.
std::string format_limit(std::chrono::milliseconds limit);

}  // namespace ostrel_redis
