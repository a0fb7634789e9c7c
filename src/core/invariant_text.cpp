#include "core/invariant_text.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace ostrel_core {
namespace {

// Enough for the longest fixed form of any double: 309 integral digits for
// DBL_MAX, or "0." followed by 323 fractional digits and a sign for the
// smallest subnormal.
constexpr std::size_t kFixedBuffer = 400;

// Returns true and appends the spelling when value is not finite.
bool append_non_finite(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

void append_plain_decimal(std::string& out, double value) {
    if (append_non_finite(out, value)) {
        return;
    }
    std::array<char, kFixedBuffer> buf{};
    // Fixed format without a precision is the shortest round-trip text in
    // plain notation.
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed);
    if (ec != std::errc{}) {
        // Cannot happen with the buffer above; keep a readable fallback.
        out += "NaN";
        return;
    }
    out.append(buf.data(), end);
}

std::string plain_decimal(double value) {
    std::string out;
    append_plain_decimal(out, value);
    return out;
}

std::string one_decimal(double value) {
    std::string out;
    if (append_non_finite(out, value)) {
        return out;
    }
    std::array<char, kFixedBuffer> buf{};
    auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 1);
    if (ec != std::errc{}) {
        return "NaN";
    }
    out.append(buf.data(), end);
    return out;
}

}  // namespace ostrel_core
