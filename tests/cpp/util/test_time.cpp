#include "util/time.hpp"

#include <gtest/gtest.h>

#include <string>

using ostrel_util::CivilTime;
using ostrel_util::Timestamp;

namespace {

Timestamp ts(std::int64_t s, std::uint32_t n = 0) {
    auto t = Timestamp::from_unix(s, n);
    EXPECT_TRUE(t.has_value()) << s << "." << n;
    return t.value_or(Timestamp());
}

TEST(Timestamp, RangeIsThatOfRfc3339Text) {
    EXPECT_TRUE(Timestamp::from_unix(Timestamp::kMinSeconds).has_value());
    EXPECT_TRUE(Timestamp::from_unix(Timestamp::kMaxSeconds, 999'999'999).has_value());
    EXPECT_FALSE(Timestamp::from_unix(Timestamp::kMinSeconds - 1).has_value());
    EXPECT_FALSE(Timestamp::from_unix(Timestamp::kMaxSeconds + 1).has_value());
    EXPECT_FALSE(Timestamp::from_unix(0, 1'000'000'000).has_value());
    EXPECT_EQ(ts(Timestamp::kMinSeconds).to_rfc3339(), "0001-01-01T00:00:00Z");
    EXPECT_EQ(ts(Timestamp::kMaxSeconds, 999'999'999).to_rfc3339(), "9999-12-31T23:59:59.999999999Z");
}

TEST(Timestamp, WritesFractionWithThreeSixOrNineDigits) {
    struct Case {
        std::int64_t s;
        std::uint32_t n;
        const char* z;
    };
    const Case cases[] = {
        {0, 0, "1970-01-01T00:00:00Z"},
        {1735787045, 0, "2025-01-02T03:04:05Z"},
        {1735787045, 123'000'000, "2025-01-02T03:04:05.123Z"},
        {1735787045, 500'000'000, "2025-01-02T03:04:05.500Z"},
        {1735787045, 1'000, "2025-01-02T03:04:05.000001Z"},
        {1735787045, 120'000, "2025-01-02T03:04:05.000120Z"},
        {1735787045, 123'456'000, "2025-01-02T03:04:05.123456Z"},
        {1735787045, 1, "2025-01-02T03:04:05.000000001Z"},
        {1735787045, 123'456'780, "2025-01-02T03:04:05.123456780Z"},
        {-1, 500'000'000, "1969-12-31T23:59:59.500Z"},
        {951782400, 0, "2000-02-29T00:00:00Z"},
    };
    for (const auto& c : cases) {
        const Timestamp t = ts(c.s, c.n);
        EXPECT_EQ(t.to_rfc3339(), c.z);
        std::string offset = c.z;
        offset.replace(offset.size() - 1, 1, "+00:00");
        EXPECT_EQ(t.to_rfc3339_offset(), offset);
    }
    EXPECT_EQ(ts(1735787045, 500'000'000).to_display(), "2025-01-02 03:04:05.500 UTC");
    EXPECT_EQ(ts(1735787045).to_display(), "2025-01-02 03:04:05 UTC");
}

TEST(Timestamp, ParsesAnyOffsetIntoUtc) {
    struct Case {
        const char* text;
        std::int64_t s;
        std::uint32_t n;
    };
    const Case cases[] = {
        {"2025-01-02T03:04:05Z", 1735787045, 0},
        {"2025-01-02t03:04:05z", 1735787045, 0},
        {"2025-01-02 03:04:05Z", 1735787045, 0},
        {"2025-01-02T03:04:05+00:00", 1735787045, 0},
        {"2025-01-02T05:04:05+02:00", 1735787045, 0},
        {"2025-01-01T21:34:05-05:30", 1735787045, 0},
        {"2025-01-02T03:04:05.5Z", 1735787045, 500'000'000},
        {"2025-01-02T03:04:05.000120Z", 1735787045, 120'000},
        {"2025-01-02T03:04:05.123456789Z", 1735787045, 123'456'789},
        {"2025-01-02T03:04:05.1234567891234Z", 1735787045, 123'456'789},
        {"1969-12-31T23:59:59.500Z", -1, 500'000'000},
        {"0001-01-01T00:00:00Z", Timestamp::kMinSeconds, 0},
        {"0001-01-01T01:00:00+01:00", Timestamp::kMinSeconds, 0},
        {"9999-12-31T23:59:59.999999999Z", Timestamp::kMaxSeconds, 999'999'999},
        {"2024-02-29T00:00:00Z", 1709164800, 0},
    };
    for (const auto& c : cases) {
        auto t = Timestamp::parse_rfc3339(c.text);
        ASSERT_TRUE(t.has_value()) << c.text << ": " << t.error().message;
        EXPECT_EQ(t->unix_seconds(), c.s) << c.text;
        EXPECT_EQ(t->subsec_nanos(), c.n) << c.text;
    }
}

TEST(Timestamp, RejectsMalformedAndOutOfRangeText) {
    struct Case {
        const char* text;
        const char* why;
    };
    const Case cases[] = {
        {"", "year"},
        {"2025-01-02", "`T`"},
        {"2025-01-02T03:04:05", "missing offset"},
        {"2025-01-02T03:04Z", "hh:mm:ss"},
        {"2025-13-02T03:04:05Z", "no such date"},
        {"2023-02-29T03:04:05Z", "no such date"},
        {"2025-04-31T03:04:05Z", "no such date"},
        {"2025-01-00T03:04:05Z", "no such date"},
        {"2025-01-02T24:00:00Z", "out of range"},
        {"2025-01-02T03:60:00Z", "out of range"},
        {"2025-01-02T03:04:60Z", "out of range"},
        {"2025-01-02T03:04:05.Z", "digits after"},
        {"2025-01-02T03:04:05+0200", "+hh:mm"},
        {"2025-01-02T03:04:05+24:00", "offset out of range"},
        {"2025-01-02T03:04:05Zjunk", "trailing"},
        {"25-01-02T03:04:05Z", "year"},
        {"0000-12-31T23:59:59Z", "out of range"},
        {"0001-01-01T00:00:00+00:01", "out of range"},
        {"9999-12-31T23:59:59-00:01", "out of range"},
    };
    for (const auto& c : cases) {
        auto t = Timestamp::parse_rfc3339(c.text);
        ASSERT_FALSE(t.has_value()) << c.text;
        EXPECT_NE(t.error().message.find(c.why), std::string::npos) << c.text << " -> " << t.error().message;
        EXPECT_NE(t.error().message.find(c.text), std::string::npos) << "message quotes the input";
    }
}

TEST(Timestamp, WrittenTextReadsBackExactly) {
    const std::int64_t seconds[] = {Timestamp::kMinSeconds, -86401, -1, 0, 1, 1735787045, Timestamp::kMaxSeconds};
    const std::uint32_t nanos[] = {0, 1, 1'000, 1'000'000, 500'000'000, 999'999'999, 100'000'100};
    for (auto s : seconds) {
        for (auto n : nanos) {
            const Timestamp t = ts(s, n);
            for (const auto& text : {t.to_rfc3339(), t.to_rfc3339_offset()}) {
                auto back = Timestamp::parse_rfc3339(text);
                ASSERT_TRUE(back.has_value()) << text;
                EXPECT_EQ(*back, t) << text;
            }
        }
    }
}

TEST(Timestamp, ArithmeticAndComparisons) {
    const Timestamp t = ts(100, 250'000'000);
    EXPECT_EQ(t.checked_add_seconds(30), ts(130, 250'000'000));
    EXPECT_EQ(t.checked_add_seconds(-200), ts(-100, 250'000'000));
    EXPECT_EQ(t.checked_add_nanos(800'000'000), ts(101, 50'000'000));
    EXPECT_EQ(t.checked_add_nanos(-300'000'000), ts(99, 950'000'000));
    EXPECT_FALSE(ts(Timestamp::kMaxSeconds).checked_add_seconds(1).has_value());
    EXPECT_FALSE(ts(Timestamp::kMinSeconds).checked_add_nanos(-1).has_value());
    EXPECT_FALSE(t.checked_add_seconds(INT64_MAX).has_value());
    EXPECT_EQ(ts(101, 0).nanos_since(t), 750'000'000);
    EXPECT_EQ(t.nanos_since(ts(101, 0)), -750'000'000);
    EXPECT_EQ(ts(Timestamp::kMaxSeconds).nanos_since(ts(Timestamp::kMinSeconds)), INT64_MAX);
    EXPECT_EQ(ts(101, 0).seconds_since(t), 0);
    EXPECT_EQ(ts(101, 300'000'000).seconds_since(t), 1);
    EXPECT_EQ(t.seconds_since(ts(101, 0)), -1);
    EXPECT_LT(ts(-1, 999'999'999), ts(0, 0));
    EXPECT_LT(ts(5, 1), ts(5, 2));
    EXPECT_EQ(Timestamp::from_unix_nanos(-1), ts(-1, 999'999'999));
    EXPECT_EQ(ts(-1, 700).floor_seconds(), ts(-1));
}

TEST(Timestamp, CivilConversionRoundTrips) {
    const CivilTime c{2025, 1, 2, 3, 4, 5, 123};
    auto t = Timestamp::from_civil(c);
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(*t, ts(1735787045, 123));
    EXPECT_EQ(t->to_civil(), c);
    EXPECT_EQ(ts(-1).to_civil(), (CivilTime{1969, 12, 31, 23, 59, 59, 0}));
    EXPECT_FALSE(Timestamp::from_civil(CivilTime{2025, 2, 29, 0, 0, 0, 0}).has_value());
    EXPECT_FALSE(Timestamp::from_civil(CivilTime{10000, 1, 1, 0, 0, 0, 0}).has_value());
    EXPECT_FALSE(Timestamp::from_civil(CivilTime{2025, 1, 1, 24, 0, 0, 0}).has_value());
}

TEST(Timestamp, NowIsACurrentInstant) {
    const Timestamp a = ostrel_util::now();
    const Timestamp b = ostrel_util::now();
    EXPECT_GT(a, ts(1704067200));  // after 2024-01-01
    EXPECT_LE(a, b);
}

}  // namespace
