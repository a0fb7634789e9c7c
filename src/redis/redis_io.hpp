// Internal: sockets, RESP framing and the connection handshake, on Asio.
// Include only from .cpp files of this directory.
#pragma once

#include <hiredis/hiredis.h>

#include <asio.hpp>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "redis/connection.hpp"

namespace ostrel_redis::detail {

// The RESP bytes of one command.
std::string format_command(const Command& cmd);

// Incremental RESP parser over hiredis's reader.
class ReplyReader {
public:
    ReplyReader();
    ~ReplyReader();
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;

    void feed(const char* data, std::size_t n);
    // The next complete reply, nullopt when more bytes are needed, or a
    // protocol error.
    std::expected<std::optional<RedisReply>, RedisError> next();

private:
    redisReader* reader_;
};

// Connects `sock` to the URL's server and runs the handshake (AUTH, SELECT,
// PING), giving up after `limit` with kConnectTimeoutText-style text. Must
// run on the socket's strand.
asio::awaitable<std::expected<void, RedisError>> open_socket(std::shared_ptr<asio::ip::tcp::socket> sock,
                                                             const RedisUrl& url, ReplyReader& reader,
                                                             std::chrono::milliseconds limit);

// Reads until `reader` yields one reply.
asio::awaitable<std::expected<RedisReply, RedisError>> read_reply(asio::ip::tcp::socket& sock, ReplyReader& reader);

RedisError io_error(std::string_view what, const std::error_code& ec);

}  // namespace ostrel_redis::detail
