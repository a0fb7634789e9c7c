#include "redis/broadcaster.hpp"

#include "redis/redis_io.hpp"
#include "runtime/runtime_asio.hpp"
#include "util/log.hpp"

namespace ostrel_redis {

using ostrel_core::BroadcastError;
using ostrel_core::InvalidationScope;
using ostrel_core::InvalidationSender;
namespace lg = ostrel_util::log;

namespace {

constexpr const char* kTarget = "ostrel_redis::broadcaster";

bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += len;
    }
    return true;
}

// Hands one pub/sub message to the local channel, or logs why it cannot.
void forward(const RedisReply& payload, const InvalidationSender& sender) {
    if (payload.type != RedisReply::Type::String || !valid_utf8(payload.str)) {
        OSTREL_LOG(lg::Level::Warn, kTarget, "redis pubsub: bad payload type",
                   {"error", payload.type != RedisReply::Type::String ? "payload is not a bulk string"
                                                                        : "payload is not valid UTF-8 text"});
        return;
    }
    auto scope = InvalidationScope::from_json(payload.str);
    if (!scope) {
        OSTREL_LOG(lg::Level::Warn, kTarget, "redis pubsub: invalidation scope decode failed",
                   {"error", scope.error().message});
        return;
    }
    sender.send(std::move(*scope));  // nobody listening locally: dropped
}

// One bridge session: a fresh subscriber connection, SUBSCRIBE, then forward
// messages until the connection closes (a normal end) or a failure.
asio::awaitable<std::expected<void, RedisError>> run_bridge(RedisUrl url, std::string channel,
                                                             InvalidationSender sender) {
    auto ex = co_await asio::this_coro::executor;
    auto sock = std::make_shared<asio::ip::tcp::socket>(ex);
    detail::ReplyReader reader;
    auto opened = co_await detail::open_socket(sock, url, reader, RedisConnection::kConnectTimeout);
    if (!opened) co_return std::unexpected(opened.error());

    Command subscribe_cmd{"SUBSCRIBE", channel};
    const std::string bytes = detail::format_command(subscribe_cmd);
    std::error_code ec;
    co_await asio::async_write(*sock, asio::buffer(bytes), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return std::unexpected(detail::io_error("redis subscribe failed", ec));
    auto confirm = co_await detail::read_reply(*sock, reader);
    if (!confirm) co_return std::unexpected(confirm.error());
    if (confirm->is_error()) co_return std::unexpected(RedisError{confirm->str});

    for (;;) {
        auto msg = co_await detail::read_reply(*sock, reader);
        if (!msg) {
            co_await ostrel_core::throw_if_cancelled();
            if (msg.error().message.starts_with("redis protocol error")) co_return std::unexpected(msg.error());
            // The stream ended with the connection.
            std::error_code ignored;
            sock->close(ignored);
            co_return std::expected<void, RedisError>();
        }
        if (msg->type == RedisReply::Type::Array && msg->elements.size() == 3 &&
            msg->elements[0].type == RedisReply::Type::String && msg->elements[0].str == "message") {
            forward(msg->elements[2], sender);
        }
    }
}

asio::awaitable<void> bridge_loop(RedisUrl url, std::string channel, InvalidationSender sender) {
    for (;;) {
        auto ended = co_await run_bridge(url, channel, sender);
        if (!ended) {
            OSTREL_LOG(lg::Level::Warn, kTarget, "redis pubsub bridge error, retrying", {"error", ended.error().message},
                       {"channel", channel});
        } else if (sender.receiver_count() == 0) {
            OSTREL_LOG(lg::Level::Debug, kTarget, "redis pubsub bridge: no local subscribers, sleeping",
                       {"channel", channel});
        }
        co_await ostrel_core::sleep_for(RedisInvalidationBroadcaster::kResubscribeDelay);
    }
}

}  // namespace

std::string RedisBroadcasterError::display() const {
    return (kind_ == Kind::Client ? "redis client error: " : "redis connection manager: ") + message_;
}

RedisInvalidationBroadcaster::Result RedisInvalidationBroadcaster::from_url(std::string_view url, std::string channel) {
    auto client = RedisClient::open(url);
    if (!client) return std::unexpected(RedisBroadcasterError::client(client.error().message));
    return create(*client, std::move(channel));
}

RedisInvalidationBroadcaster::Result RedisInvalidationBroadcaster::create(const RedisClient& client,
                                                                          std::string channel) {
    return with_capacity(client, std::move(channel), kDefaultCapacity);
}

RedisInvalidationBroadcaster::Result RedisInvalidationBroadcaster::with_capacity(const RedisClient& client,
                                                                                std::string channel,
                                                                                std::size_t capacity) {
    auto conn = RedisConnection::connect(client);
    if (!conn) return std::unexpected(RedisBroadcasterError::connection(conn.error().message));
    // The first receiving end is dropped at once: no subscriber yet.
    auto sender = ostrel_core::BroadcastChannel<InvalidationScope>::create(capacity).first;
    auto bridge = ostrel_core::spawn(
        [url = client.url(), channel, sender]() -> asio::awaitable<void> {
            co_await bridge_loop(url, channel, sender);
        },
        "redis pubsub bridge");
    if (!bridge) return std::unexpected(RedisBroadcasterError::connection(bridge.error().display()));
    return std::make_shared<RedisInvalidationBroadcaster>(std::move(*conn), std::move(channel), std::move(sender),
                                                          std::move(*bridge));
}

RedisInvalidationBroadcaster::~RedisInvalidationBroadcaster() { bridge_.abort(); }

std::expected<void, BroadcastError> RedisInvalidationBroadcaster::publish(InvalidationScope scope) {
    auto reply = conn_->command({"PUBLISH", channel_, scope.to_json()});
    if (!reply) return std::unexpected(BroadcastError::backend(reply.error().message));
    return {};
}

ostrel_core::InvalidationReceiver RedisInvalidationBroadcaster::subscribe() { return sender_.subscribe(); }

}  // namespace ostrel_redis
