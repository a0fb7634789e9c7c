#include "util/json.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "util/time.hpp"
#include "util/uuid.hpp"

using nlohmann::json;
using ostrel_util::JsonError;
using ostrel_util::JsonWriter;
using ostrel_util::ObjectReader;
using ostrel_util::parse_json;

namespace {

json parsed(std::string_view text) {
    auto v = parse_json(text);
    EXPECT_TRUE(v.has_value()) << text << ": " << (v ? "" : v.error().message);
    return v.value_or(json());
}

TEST(ParseJson, RejectsRepeatedKeysAtAnyDepth) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"a":1,"a":2})", "duplicate field `a`"},
        {R"({"x":{"b":true,"c":1,"b":false}})", "duplicate field `b`"},
        {R"([{"ok":1},{"k":1,"k":1}])", "duplicate field `k`"},
        {R"({"a":{"a":{"q":[1,{"z":0,"z":0}]}}})", "duplicate field `z`"},
    };
    for (const auto& c : cases) {
        auto v = parse_json(c.text);
        ASSERT_FALSE(v.has_value()) << c.text;
        EXPECT_EQ(v.error().message, c.message);
    }
}

TEST(ParseJson, SameKeyInDifferentObjectsIsFine) {
    const json v = parsed(R"({"a":{"a":1},"b":[{"a":1},{"a":2}],"c":{"a":{"a":3}}})");
    EXPECT_EQ(v["b"][1]["a"], 2);
    EXPECT_EQ(v["c"]["a"]["a"], 3);
}

TEST(ParseJson, SyntaxErrorsCarryAPositionWithoutLibraryTag) {
    for (const char* text : {"{", "{\"a\":}", "[1,2", "nul", "{\"a\":1}x", ""}) {
        auto v = parse_json(text);
        ASSERT_FALSE(v.has_value()) << text;
        EXPECT_EQ(v.error().message.find("[json.exception"), std::string::npos) << v.error().message;
        EXPECT_NE(v.error().message.find("line 1, column"), std::string::npos) << v.error().message;
    }
}

TEST(ObjectReader, ReportsMissingUnknownAndWronglyTypedFields) {
    const json v = parsed(R"({"name":"n","count":-3,"flag":"yes","extra":1})");
    auto r = ObjectReader::open(v, "an object Thing");
    ASSERT_TRUE(r.has_value());

    EXPECT_EQ(r->string("absent").error().message, "missing field `absent`");
    EXPECT_EQ(r->deny_unknown({"name", "count", "flag"}).error().message,
              "unknown field `extra`, expected one of `name`, `count`, `flag`");
    EXPECT_TRUE(r->deny_unknown({"name", "count", "flag", "extra"}).has_value());
    EXPECT_EQ(r->boolean("flag").error().message,
              "invalid type for field `flag`: expected a boolean, found string \"yes\"");
    EXPECT_EQ(r->string("count").error().message,
              "invalid type for field `count`: expected a string, found integer `-3`");
    EXPECT_NE(r->u64("count").error().message.find("`count`"), std::string::npos);
    EXPECT_EQ(*r->i64("count"), -3);
    EXPECT_DOUBLE_EQ(*r->f64("count"), -3.0);
    EXPECT_EQ(*r->string("name"), "n");

    const json not_object = parsed("[1]");
    EXPECT_EQ(ObjectReader::open(not_object, "an object Thing").error().message,
              "invalid type: expected an object Thing, found array");
}

TEST(ObjectReader, OptionalFieldsTreatNullAsAbsent) {
    const json v = parsed(R"({"a":null,"b":"x","n":7})");
    auto r = ObjectReader::open(v);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(*r->opt_string("a"), std::nullopt);
    EXPECT_EQ(*r->opt_string("missing"), std::nullopt);
    EXPECT_EQ(*r->opt_string("b"), std::optional<std::string>("x"));
    EXPECT_FALSE(r->opt_string("n").has_value()) << "present with the wrong type is still an error";
    EXPECT_EQ(r->string("a").error().message, "invalid type for field `a`: expected a string, found null");
    EXPECT_NE(r->find("a"), nullptr);
    EXPECT_EQ(r->find_non_null("a"), nullptr);
}

TEST(ObjectReader, IntegerRangesAreChecked) {
    const json v = parsed(R"({"neg":-1,"big":4294967296,"max32":4294967295,"huge":18446744073709551615,"f":1.5})");
    auto r = ObjectReader::open(v);
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(r->u32("neg").has_value());
    EXPECT_FALSE(r->u32("big").has_value());
    EXPECT_FALSE(r->u32("f").has_value());
    EXPECT_EQ(*r->u32("max32"), 4294967295u);
    EXPECT_FALSE(r->u64("neg").has_value());
    EXPECT_EQ(*r->u64("huge"), UINT64_MAX);
    EXPECT_FALSE(r->i64("huge").has_value());
    EXPECT_FALSE(r->u64("f").has_value());
    EXPECT_NE(r->u32("big").error().message.find("4294967296"), std::string::npos);
}

TEST(ObjectReader, ReadsUuidsTimestampsAndByteArrays) {
    const json v = parsed(R"({"id":"67E55044-10B1-426F-9247-BB680E5FE0C8","t":"2025-01-02T05:04:05.5+02:00",
                              "bytes":[0,1,255],"bad_bytes":[256],"bad_id":"nope","bad_t":"yesterday"})");
    auto r = ObjectReader::open(v);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->uuid("id")->to_string(), "67e55044-10b1-426f-9247-bb680e5fe0c8");
    EXPECT_EQ(r->timestamp("t")->to_rfc3339(), "2025-01-02T03:04:05.500Z");
    EXPECT_EQ(*r->byte_array("bytes"), (std::vector<std::uint8_t>{0, 1, 255}));
    EXPECT_FALSE(r->byte_array("bad_bytes").has_value());
    EXPECT_NE(r->uuid("bad_id").error().message.find("`bad_id`"), std::string::npos);
    EXPECT_NE(r->timestamp("bad_t").error().message.find("`bad_t`"), std::string::npos);
}

TEST(ReadVariant, NeedsExactlyOneKnownKey) {
    const std::array<std::string_view, 3> names = {"session", "principal", "role"};
    const json role = parsed(R"({"role":"admin"})");
    auto ok = ostrel_util::read_variant(role, names, "a target");
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->index, 2u);
    EXPECT_EQ(*ok->payload, "admin");

    EXPECT_EQ(ostrel_util::read_variant(parsed(R"({"group":"x"})"), names, "a target").error().message,
              "unknown variant `group`, expected one of `session`, `principal`, `role`");
    for (const char* text : {"{}", R"({"role":"a","principal":"b"})"}) {
        auto r = ostrel_util::read_variant(parsed(text), names, "a target");
        ASSERT_FALSE(r.has_value()) << text;
        EXPECT_NE(r.error().message.find("exactly one key"), std::string::npos) << r.error().message;
    }
    EXPECT_EQ(ostrel_util::read_variant(parsed(R"("role")"), names, "a target").error().message,
              "invalid type: expected a target, found string \"role\"");
}

TEST(JsonWriter, WritesCompactlyInCallerOrder) {
    JsonWriter w;
    w.begin_object()
        .field("z", 1)
        .field("a", "text")
        .key("list")
        .begin_array()
        .value(true)
        .null()
        .begin_object()
        .end_object()
        .begin_array()
        .end_array()
        .end_array()
        .opt_field("none", std::optional<std::string>())
        .opt_field("some", std::optional<double>(2.5))
        .field("neg", std::int64_t{-7})
        .field("big", UINT64_MAX)
        .key("bytes")
        .bytes(std::vector<std::uint8_t>{0, 7, 255})
        .end_object();
    EXPECT_EQ(w.str(),
              R"({"z":1,"a":"text","list":[true,null,{},[]],"none":null,"some":2.5,"neg":-7,)"
              R"("big":18446744073709551615,"bytes":[0,7,255]})");
}

TEST(JsonWriter, EscapesOnlyQuotesBackslashesAndControlCharacters) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain", R"("plain")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"back\\slash", R"("back\\slash")"},
        {"a/b", R"("a/b")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {std::string("\x01\x1f\x00", 3), R"("\u0001\u001f\u0000")"},
        {"\x7f", "\"\x7f\""},
        {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80", "\"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"bad\xff", "\"bad\xef\xbf\xbd\""},
        {"\xc3", "\"\xef\xbf\xbd\""},
        {"\xed\xa0\x80", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},  // an encoded surrogate is not UTF-8
        {"\xc0\xaf", "\"\xef\xbf\xbd\xef\xbf\xbd\""},                  // overlong solidus
    };
    for (const auto& c : cases) {
        std::string out;
        ostrel_util::append_json_string(out, c.in);
        EXPECT_EQ(out, c.out);
    }
}

TEST(JsonWriter, OutputIsAlwaysValidJsonThatReadsBackTheText) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 2000; ++i) {
        std::string s(rng() % 24, '\0');
        for (auto& ch : s) ch = static_cast<char>(rng() % 256);
        std::string out;
        ostrel_util::append_json_string(out, s);
        auto back = parse_json(out);
        ASSERT_TRUE(back.has_value()) << back.error().message;
        ASSERT_TRUE(back->is_string());
        // Valid input comes back unchanged; only invalid bytes are replaced.
        if (back->get<std::string>().find("\xef\xbf\xbd") == std::string::npos) {
            EXPECT_EQ(back->get<std::string>(), s);
        }
    }
}

TEST(JsonWriter, NumbersReadBackAsTheSameDouble) {
    const double values[] = {0.0, 1.0, -1.0, 0.5, 0.1, 52.52, 13.405, 1e21, 1e-7, 123456789.125,
                             5e-324, 1.7976931348623157e308};
    for (double d : values) {
        JsonWriter w;
        w.value(d);
        auto back = parse_json(w.str());
        ASSERT_TRUE(back.has_value()) << w.str();
        EXPECT_TRUE(back->is_number_float()) << w.str() << " must stay a float";
        EXPECT_EQ(back->get<double>(), d) << w.str();
    }
    JsonWriter w;
    w.begin_array().value(1.0).value(100.0).value(std::nan("")).value(INFINITY).end_array();
    EXPECT_EQ(w.str(), "[1.0,100.0,null,null]");
}

TEST(JsonWriter, WritesUuidsTimestampsAndArbitraryValues) {
    const auto id = ostrel_util::Uuid::parse("67e55044-10b1-426f-9247-bb680e5fe0c8").value();
    const auto t = ostrel_util::Timestamp::from_unix(1735787045, 500'000'000).value();
    JsonWriter w;
    w.begin_object().field("id", id).field("t", t).key("v").json(parsed(R"({"b":[1,"x",null],"a":1.5})")).end_object();
    EXPECT_EQ(w.str(), R"({"id":"67e55044-10b1-426f-9247-bb680e5fe0c8","t":"2025-01-02T03:04:05.500Z",)"
                       R"("v":{"a":1.5,"b":[1,"x",null]}})");
    const json nested = parsed(R"({"k":[{"q":"\"\n"},-3,18446744073709551615,true]})");
    EXPECT_EQ(parsed(ostrel_util::to_compact_json(nested)), nested);
}

TEST(JsonError, MessageFormsAreExact) {
    const std::array<std::string_view, 2> two = {"a", "b"};
    EXPECT_EQ(JsonError::missing_field("x").display(), "missing field `x`");
    EXPECT_EQ(JsonError::duplicate_field("x").display(), "duplicate field `x`");
    EXPECT_EQ(JsonError::unknown_field("x", two).display(), "unknown field `x`, expected one of `a`, `b`");
    EXPECT_EQ(JsonError::unknown_variant("x", two).display(), "unknown variant `x`, expected one of `a`, `b`");
    EXPECT_EQ(JsonError::invalid_type("f", "a string", json(1.5)).display(),
              "invalid type for field `f`: expected a string, found floating point `1.5`");
    EXPECT_EQ(ostrel_util::describe_json_value(json(true)), "boolean `true`");
    EXPECT_EQ(ostrel_util::describe_json_value(json::object()), "object");
}

}  // namespace
