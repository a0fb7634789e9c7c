#include "redis/url.hpp"

#include <charconv>

namespace ostrel_redis {

namespace {

RedisError bad(std::string_view url, std::string_view why) {
    (void)url;
    return RedisError{"invalid redis URL: " + std::string(why)};
}

// %XX escapes in user names and passwords.
std::optional<std::string> percent_decode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out.push_back(s[i]);
            continue;
        }
        if (i + 2 >= s.size()) return std::nullopt;
        unsigned v = 0;
        auto r = std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16);
        if (r.ec != std::errc() || r.ptr != s.data() + i + 3) return std::nullopt;
        out.push_back(static_cast<char>(v));
        i += 2;
    }
    return out;
}

}  // namespace

std::string RedisUrl::address() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" + std::to_string(db);
}

std::expected<RedisUrl, RedisError> RedisUrl::parse(std::string_view text) {
    RedisUrl url;
    std::string_view rest;
    if (text.starts_with("redis://")) {
        rest = text.substr(8);
    } else if (text.starts_with("rediss://")) {
        url.tls = true;
        rest = text.substr(9);
    } else {
        return std::unexpected(bad(text, "the scheme must be redis:// or rediss://"));
    }
    // Drop a query or fragment: no options are understood.
    if (auto q = rest.find_first_of("?#"); q != std::string_view::npos) rest = rest.substr(0, q);

    std::string_view authority = rest;
    std::string_view path;
    if (auto slash = rest.find('/'); slash != std::string_view::npos) {
        authority = rest.substr(0, slash);
        path = rest.substr(slash + 1);
    }
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        std::string_view user = userinfo;
        std::optional<std::string_view> pass;
        if (auto colon = userinfo.find(':'); colon != std::string_view::npos) {
            user = userinfo.substr(0, colon);
            pass = userinfo.substr(colon + 1);
        }
        if (!user.empty()) {
            auto u = percent_decode(user);
            if (!u) return std::unexpected(bad(text, "malformed user name"));
            url.username = *u;
        }
        if (pass) {
            auto p = percent_decode(*pass);
            if (!p) return std::unexpected(bad(text, "malformed password"));
            url.password = *p;
        }
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with("[")) {
        auto close = authority.find(']');
        if (close == std::string_view::npos) return std::unexpected(bad(text, "unterminated IPv6 address"));
        host = authority.substr(1, close - 1);
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (!after.starts_with(":")) return std::unexpected(bad(text, "unexpected text after the host"));
            port = after.substr(1);
            if (port.empty()) return std::unexpected(bad(text, "empty port"));
        }
    } else if (auto colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty()) return std::unexpected(bad(text, "empty port"));
    }
    if (host.empty()) return std::unexpected(bad(text, "empty host"));
    for (char c : host) {
        if (c == ' ' || c == '/' || c == '@' || c == '[' || c == ']' || static_cast<unsigned char>(c) < 0x21) {
            return std::unexpected(bad(text, "invalid host"));
        }
    }
    url.host = std::string(host);
    if (!port.empty()) {
        unsigned v = 0;
        auto r = std::from_chars(port.data(), port.data() + port.size(), v);
        if (r.ec != std::errc() || r.ptr != port.data() + port.size() || v == 0 || v > 65535) {
            return std::unexpected(bad(text, "invalid port number"));
        }
        url.port = static_cast<std::uint16_t>(v);
    }
    if (!path.empty()) {
        std::int64_t db = 0;
        auto r = std::from_chars(path.data(), path.data() + path.size(), db);
        if (r.ec != std::errc() || r.ptr != path.data() + path.size() || db < 0) {
            return std::unexpected(bad(text, "invalid database number"));
        }
        url.db = db;
    }
    return url;
}

}  // namespace ostrel_redis
