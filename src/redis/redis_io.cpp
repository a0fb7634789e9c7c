#include "redis/redis_io.hpp"

#include <array>

namespace ostrel_redis::detail {

std::string format_command(const Command& cmd) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    argv.reserve(cmd.size());
    lens.reserve(cmd.size());
    for (const auto& a : cmd) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    char* out = nullptr;
    const int n = redisFormatCommandArgv(&out, static_cast<int>(argv.size()), argv.data(), lens.data());
    if (n < 0 || out == nullptr) throw std::bad_alloc();
    std::string bytes(out, static_cast<std::size_t>(n));
    redisFreeCommand(out);
    return bytes;
}

namespace {

RedisReply convert(const redisReply* r) {
    RedisReply out;
    switch (r->type) {
        case REDIS_REPLY_STRING:
            out.type = RedisReply::Type::String;
            out.str.assign(r->str, r->len);
            break;
        case REDIS_REPLY_STATUS:
            out.type = RedisReply::Type::Status;
            out.str.assign(r->str, r->len);
            break;
        case REDIS_REPLY_ERROR:
            out.type = RedisReply::Type::Error;
            out.str.assign(r->str, r->len);
            break;
        case REDIS_REPLY_INTEGER:
            out.type = RedisReply::Type::Integer;
            out.integer = r->integer;
            break;
        case REDIS_REPLY_ARRAY:
            out.type = RedisReply::Type::Array;
            out.elements.reserve(r->elements);
            for (std::size_t i = 0; i < r->elements; ++i) out.elements.push_back(convert(r->element[i]));
            break;
        default:
            out.type = RedisReply::Type::Nil;
            break;
    }
    return out;
}

}  // namespace

ReplyReader::ReplyReader() : reader_(redisReaderCreate()) {
    if (reader_ == nullptr) throw std::bad_alloc();
}

ReplyReader::~ReplyReader() { redisReaderFree(reader_); }

void ReplyReader::feed(const char* data, std::size_t n) { redisReaderFeed(reader_, data, n); }

std::expected<std::optional<RedisReply>, RedisError> ReplyReader::next() {
    void* raw = nullptr;
    if (redisReaderGetReply(reader_, &raw) != REDIS_OK) {
        return std::unexpected(RedisError{std::string("redis protocol error: ") + reader_->errstr});
    }
    if (raw == nullptr) return std::optional<RedisReply>();
    RedisReply reply = convert(static_cast<redisReply*>(raw));
    freeReplyObject(raw);
    return std::optional<RedisReply>(std::move(reply));
}

RedisError io_error(std::string_view what, const std::error_code& ec) {
    return RedisError{std::string(what) + ": " + ec.message()};
}

asio::awaitable<std::expected<RedisReply, RedisError>> read_reply(asio::ip::tcp::socket& sock, ReplyReader& reader) {
    std::array<char, 4096> buf;
    for (;;) {
        auto next = reader.next();
        if (!next) co_return std::unexpected(next.error());
        if (*next) co_return std::move(**next);
        std::error_code ec;
        const std::size_t n = co_await sock.async_read_some(asio::buffer(buf), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return std::unexpected(io_error("redis connection lost", ec));
        reader.feed(buf.data(), n);
    }
}

namespace {

asio::awaitable<std::expected<void, RedisError>> handshake(std::shared_ptr<asio::ip::tcp::socket> sock,
                                                           std::shared_ptr<asio::ip::tcp::resolver> resolver,
                                                           const RedisUrl& url, ReplyReader& reader) {
    std::error_code ec;
    auto endpoints = co_await resolver->async_resolve(url.host, std::to_string(url.port),
                                                      asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected(io_error("failed to resolve redis host " + url.host, ec));
    co_await asio::async_connect(*sock, endpoints, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected(io_error("failed to connect to redis at " + url.address(), ec));
    sock->set_option(asio::ip::tcp::no_delay(true), ec);

    std::vector<Command> hello;
    if (url.password) {
        if (url.username) {
            hello.push_back({"AUTH", *url.username, *url.password});
        } else {
            hello.push_back({"AUTH", *url.password});
        }
    }
    if (url.db != 0) hello.push_back({"SELECT", std::to_string(url.db)});
    // Always ask for one reply, so a peer that accepts connections but does
    // not speak the protocol is never taken for a server.
    hello.push_back({"PING"});
    std::string bytes;
    for (const auto& c : hello) bytes += format_command(c);
    co_await asio::async_write(*sock, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected(io_error("failed to talk to redis at " + url.address(), ec));
    for (std::size_t i = 0; i < hello.size(); ++i) {
        auto reply = co_await read_reply(*sock, reader);
        if (!reply) co_return std::unexpected(reply.error());
        if (reply->is_error()) co_return std::unexpected(RedisError{reply->str});
    }
    co_return std::expected<void, RedisError>();
}

}  // namespace

asio::awaitable<std::expected<void, RedisError>> open_socket(std::shared_ptr<asio::ip::tcp::socket> sock,
                                                             const RedisUrl& url, ReplyReader& reader,
                                                             std::chrono::milliseconds limit) {
    if (url.tls) {
        co_return std::unexpected(
            RedisError{"TLS connections (rediss://) are not supported by this client; use redis://"});
    }
    auto ex = co_await asio::this_coro::executor;
    auto resolver = std::make_shared<asio::ip::tcp::resolver>(ex);
    // The deadline closes the socket and cancels name resolution; the
    // handshake then fails and the failure is reported as the timeout.
    auto finished = std::make_shared<bool>(false);
    auto timed_out = std::make_shared<bool>(false);
    auto timer = std::make_shared<asio::steady_timer>(ex, limit);
    timer->async_wait([sock, resolver, finished, timed_out](std::error_code ec) {
        if (ec || *finished) return;
        *timed_out = true;
        resolver->cancel();
        std::error_code ignored;
        sock->close(ignored);
    });
    auto result = co_await handshake(sock, resolver, url, reader);
    *finished = true;
    timer->cancel();
    if (!result && *timed_out) {
        co_return std::unexpected(RedisError{"redis connect timed out after " + format_limit(limit)});
    }
    co_return result;
}

}  // namespace ostrel_redis::detail
