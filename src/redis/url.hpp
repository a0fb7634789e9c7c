// Redis server addresses: redis://[user[:password]@]host[:port][/db]
// (port 6379 and database 0 by default; an IPv6 host in brackets). The
// rediss:// scheme (TLS) parses, but this client cannot speak TLS, so opening
// a connection to such an address fails instead of talking in the clear.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "redis/error.hpp"

namespace ostrel_redis {

struct RedisUrl {
    bool tls = false;
    std::string host;
    std::uint16_t port = 6379;
    std::int64_t db = 0;
    std::optional<std::string> username;
    std::optional<std::string> password;

    // "host:port/db", for messages (never shows credentials).
    std::string address() const;

    static std::expected<RedisUrl, RedisError> parse(std::string_view text);
};

}  // namespace ostrel_redis
