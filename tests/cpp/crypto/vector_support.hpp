// Shared by the known-answer suites: reading the vector files and their hex.
#pragma once

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel_test {

// Every known answer is checked twice: with the portable code forced, then
// with the run-time selection (the AVX2 code on CPUs that have it). Both
// must give the same bytes.
inline constexpr bool kPortableAndDispatched[] = {true, false};

inline std::vector<std::uint8_t> from_hex(const std::string& hex) {
    auto nibble = [](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
        throw std::invalid_argument("bad hex digit");
    };
    if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
    std::vector<std::uint8_t> out(hex.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    return out;
}

// The whole JSON document of one file in the vectors directory.
inline nlohmann::json load_vector_file(const std::string& name) {
    std::ifstream in(std::string(OSTREL_VECTORS_DIR) + "/" + name);
    if (!in) throw std::runtime_error("cannot open vector file " + name);
    return nlohmann::json::parse(in);
}

}  // namespace ostrel_test
