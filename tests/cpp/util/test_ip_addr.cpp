#include "util/ip_addr.hpp"

#include <gtest/gtest.h>

using ostrel_util::IpAddr;

namespace {

TEST(IpAddr, ParsesAndWritesStandardText) {
    struct Case {
        const char* in;
        const char* out;
        bool v4;
    };
    const Case cases[] = {
        {"192.168.1.10", "192.168.1.10", true},
        {"0.0.0.0", "0.0.0.0", true},
        {"255.255.255.255", "255.255.255.255", true},
        {"::1", "::1", false},
        {"::", "::", false},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1", false},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1", false},
        {"fe80::0:1", "fe80::1", false},
        {"::ffff:10.0.0.1", "::ffff:10.0.0.1", false},
    };
    for (const auto& c : cases) {
        auto a = IpAddr::parse(c.in);
        ASSERT_TRUE(a.has_value()) << c.in;
        EXPECT_EQ(a->to_string(), c.out);
        EXPECT_EQ(a->is_v4(), c.v4);
        EXPECT_EQ(IpAddr::parse(a->to_string()), a) << "text reads back";
    }
}

TEST(IpAddr, RejectsAnythingElse) {
    for (const char* bad : {"", "256.1.1.1", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1.2.3.4 ", " 1.2.3.4", "a.b.c.d",
                            "1:2:3:4:5:6:7:8:9", "fe80::1%eth0", "[::1]", "1.2.3.4:80", "example.com", "::g"}) {
        EXPECT_FALSE(IpAddr::parse(bad).has_value()) << bad;
    }
    EXPECT_FALSE(IpAddr::parse(std::string_view("1.2.3.4\0", 8)).has_value());
}

TEST(IpAddr, FamiliesDoNotCompareEqual) {
    EXPECT_NE(IpAddr::parse("0.0.0.1"), IpAddr::parse("::1"));
    EXPECT_EQ(IpAddr::parse("10.0.0.1"), IpAddr::v4({10, 0, 0, 1}));
}

}  // namespace
