// The Redis client's error: one text, which the stores and the broadcaster
// embed in their own error types.
#pragma once

#include <string>

namespace ostrel_redis {

struct RedisError {
    std::string message;
    const std::string& display() const noexcept { return message; }
    bool operator==(const RedisError&) const = default;
};

// The text of a failed initial connection that did not finish in time.
inline constexpr const char* kConnectTimeoutText = "redis connect timed out after 5s";

}  // namespace ostrel_redis
