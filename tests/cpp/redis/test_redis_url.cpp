#include <gtest/gtest.h>

#include "redis/broadcaster.hpp"
#include "redis/rate_limit.hpp"
#include "redis/session_store.hpp"
#include "redis/url.hpp"

using namespace ostrel_redis;

TEST(RedisUrl, ParsesTheAcceptedForms) {
    struct Case {
        const char* text;
        bool tls;
        const char* host;
        int port;
        int db;
        const char* user;
        const char* pass;
    };
    const Case cases[] = {
        {"redis://127.0.0.1:6380/2", false, "127.0.0.1", 6380, 2, nullptr, nullptr},
        {"redis://localhost", false, "localhost", 6379, 0, nullptr, nullptr},
        {"redis://localhost/", false, "localhost", 6379, 0, nullptr, nullptr},
        {"redis://cache.internal:7000", false, "cache.internal", 7000, 0, nullptr, nullptr},
        {"redis://[::1]:6390/3", false, "::1", 6390, 3, nullptr, nullptr},
        {"redis://:s3cret@h:1/0", false, "h", 1, 0, nullptr, "s3cret"},
        {"redis://alice:p%40ss@h/5", false, "h", 6379, 5, "alice", "p@ss"},
        {"rediss://secure.example:6380/1", true, "secure.example", 6380, 1, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto u = RedisUrl::parse(c.text);
        ASSERT_TRUE(u) << u.error().message;
        EXPECT_EQ(u->tls, c.tls);
        EXPECT_EQ(u->host, c.host);
        EXPECT_EQ(u->port, c.port);
        EXPECT_EQ(u->db, c.db);
        EXPECT_EQ(u->username.has_value(), c.user != nullptr);
        if (c.user) {
            EXPECT_EQ(*u->username, c.user);
        }
        EXPECT_EQ(u->password.has_value(), c.pass != nullptr);
        if (c.pass) {
            EXPECT_EQ(*u->password, c.pass);
        }
    }
}

// Malformed URLs fail at once, before any connection is tried, through each
// constructor's own error type.
TEST(RedisUrl, MalformedUrlsFailAtOnceInEveryConstructor) {
    const char* bad[] = {
        "",
        "localhost:6379",
        "http://localhost:6379",
        "redis://",
        "redis://:6379",
        "redis://host:",
        "redis://host:abc",
        "redis://host:0",
        "redis://host:70000",
        "redis://host/abc",
        "redis://host/-1",
        "redis://[::1:6379",
        "redis://ho st:6379",
    };
    for (const char* url : bad) {
        SCOPED_TRACE(url);
        auto parsed = RedisUrl::parse(url);
        ASSERT_FALSE(parsed);
        EXPECT_TRUE(parsed.error().message.starts_with("invalid redis URL: "));

        auto s = RedisSessionStore::from_url(url);
        ASSERT_FALSE(s);
        EXPECT_EQ(s.error().kind(), ostrel_core::SessionStoreError::Kind::Backend);
        EXPECT_EQ(s.error().display(), "session backend unavailable: " + parsed.error().message);

        auto r = RedisRateLimitStore::from_url(url);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), ostrel_core::RateLimitStoreError::Kind::Backend);
        EXPECT_EQ(r.error().display(), "rate-limit backend unavailable: " + parsed.error().message);

        auto b = RedisInvalidationBroadcaster::from_url(url, "chan");
        ASSERT_FALSE(b);
        EXPECT_EQ(b.error().kind(), RedisBroadcasterError::Kind::Client);
        EXPECT_EQ(b.error().display(), "redis client error: " + parsed.error().message);
    }
}

TEST(RedisSessionStore, ZeroTtlIsRefusedWithoutConnecting) {
    // Port 1 on loopback: nothing listens, so a connection attempt would
    // fail with a different, Backend error.
    auto s = RedisSessionStore::from_url_with_ttl("redis://127.0.0.1:1/0", 0);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ostrel_core::SessionStoreError::Kind::Other);
    EXPECT_EQ(s.error().display(), "session store: ttl_secs must be > 0 (Redis treats 0 as expire-now)");
}

TEST(RedisConnection, RefusedConnectionFailsWithTheClientText) {
    auto s = RedisSessionStore::from_url("redis://127.0.0.1:1/0");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().kind(), ostrel_core::SessionStoreError::Kind::Backend);
    EXPECT_TRUE(s.error().display().starts_with("session backend unavailable: failed to connect to redis at "))
        << s.error().display();
    auto b = RedisInvalidationBroadcaster::from_url("redis://127.0.0.1:1/0", "c");
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error().kind(), RedisBroadcasterError::Kind::Connection);
}

TEST(RedisConnection, TlsUrlFailsTheInitialConnection) {
    auto r = RedisRateLimitStore::from_url("rediss://127.0.0.1:1/0");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ostrel_core::RateLimitStoreError::Kind::Backend);
    EXPECT_NE(r.error().display().find("rediss://"), std::string::npos) << r.error().display();
}
