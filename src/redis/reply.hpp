// One RESP reply, as the server sent it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel_redis {

struct RedisReply {
    enum class Type { String, Array, Integer, Nil, Status, Error };
    Type type = Type::Nil;
    std::string str;           // String, Status and Error
    std::int64_t integer = 0;  // Integer
    std::vector<RedisReply> elements;  // Array

    bool is_error() const noexcept { return type == Type::Error; }
    bool is_nil() const noexcept { return type == Type::Nil; }
};

}  // namespace ostrel_redis
