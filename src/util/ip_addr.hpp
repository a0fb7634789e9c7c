// IPv4 and IPv6 addresses as values.
//
// Text forms: dotted quad for IPv4; for IPv6 the standard compressed form
// (lower-case hex, the longest run of two or more zero groups as "::"),
// as produced by inet_ntop.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel_util {

class IpAddr {
public:
    enum class Family : std::uint8_t { V4, V6 };

    // 0.0.0.0
    IpAddr() noexcept = default;
    static IpAddr v4(const std::array<std::uint8_t, 4>& octets) noexcept;
    static IpAddr v6(const std::array<std::uint8_t, 16>& octets) noexcept;

    // Accepts a dotted quad (four decimal octets 0..255) or IPv6 text
    // (including "::" compression and an embedded dotted quad). Zone ids,
    // brackets, ports and surrounding spaces are rejected.
    static std::optional<IpAddr> parse(std::string_view text);

    Family family() const noexcept { return family_; }
    bool is_v4() const noexcept { return family_ == Family::V4; }
    bool is_v6() const noexcept { return family_ == Family::V6; }
    // 4 significant bytes for V4 (the rest zero), 16 for V6.
    const std::array<std::uint8_t, 16>& octets() const noexcept { return bytes_; }

    std::string to_string() const;

    friend bool operator==(const IpAddr&, const IpAddr&) noexcept = default;
    friend std::strong_ordering operator<=>(const IpAddr&, const IpAddr&) noexcept = default;

private:
    Family family_ = Family::V4;
    std::array<std::uint8_t, 16> bytes_{};
};

}  // namespace ostrel_util
