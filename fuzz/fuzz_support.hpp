// Shared helpers for the libFuzzer harnesses. A harness feeds the raw input to
// one reader; when the reader accepts it, the harness writes the value back
// out and reads it again, and the two values must be equal (read(write(x)) ==
// x). Any difference aborts, so libFuzzer records the input as a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace ostrel_fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::uint8_t> as_bytes(const std::uint8_t* data, std::size_t size) {
    return {data, size};
}

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

}  // namespace ostrel_fuzz

#define FUZZ_CHECK(cond)                                    \
    do {                                                    \
        if (!(cond)) ::ostrel_fuzz::fail(#cond);            \
    } while (0)

// Round trip for a type with from_json(string_view) and to_json().
#define FUZZ_JSON_ROUND_TRIP(Type, text)                                  \
    do {                                                                  \
        auto first = Type::from_json(text);                               \
        if (!first) break;                                                \
        const std::string written = first->to_json();                     \
        auto second = Type::from_json(written);                           \
        FUZZ_CHECK(second.has_value());                                   \
        FUZZ_CHECK(*second == *first);                                    \
        FUZZ_CHECK(second->to_json() == written);                         \
    } while (0)
