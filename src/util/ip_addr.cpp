#include "util/ip_addr.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace ostrel_util {

IpAddr IpAddr::v4(const std::array<std::uint8_t, 4>& octets) noexcept {
    IpAddr a;
    a.family_ = Family::V4;
    std::memcpy(a.bytes_.data(), octets.data(), 4);
    return a;
}

IpAddr IpAddr::v6(const std::array<std::uint8_t, 16>& octets) noexcept {
    IpAddr a;
    a.family_ = Family::V6;
    a.bytes_ = octets;
    return a;
}

std::optional<IpAddr> IpAddr::parse(std::string_view text) {
    // inet_pton needs a terminated string; the longest valid text is 45 bytes.
    if (text.empty() || text.size() > 45) return std::nullopt;
    char buf[46];
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    if (std::memchr(text.data(), '\0', text.size())) return std::nullopt;
    IpAddr a;
    if (text.find(':') == std::string_view::npos) {
        // inet_pton(AF_INET) accepts exactly four decimal octets 0..255 and
        // no leading zeros' octal reading, unlike inet_aton.
        if (inet_pton(AF_INET, buf, a.bytes_.data()) != 1) return std::nullopt;
        a.family_ = Family::V4;
        return a;
    }
    if (inet_pton(AF_INET6, buf, a.bytes_.data()) != 1) return std::nullopt;
    a.family_ = Family::V6;
    return a;
}

std::string IpAddr::to_string() const {
    char buf[INET6_ADDRSTRLEN];
    const char* r = is_v4() ? inet_ntop(AF_INET, bytes_.data(), buf, sizeof buf)
                            : inet_ntop(AF_INET6, bytes_.data(), buf, sizeof buf);
    return r ? std::string(r) : std::string();
}

}  // namespace ostrel_util
