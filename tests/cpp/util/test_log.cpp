#include "util/log.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace lg = ostrel_util::log;
using lg::Level;

namespace {

std::string expensive(int& calls) {
    ++calls;
    return "computed";
}

TEST(Log, WithoutSinkFieldExpressionsAreNotEvaluated) {
    lg::ScopedSink none(nullptr);
    int calls = 0;
    EXPECT_FALSE(lg::enabled());
    OSTREL_LOG(Level::Error, "t", "m", {"f", expensive(calls)});
    EXPECT_EQ(calls, 0);
}

TEST(Log, CapturingSinkRecordsLevelTargetMessageAndFields) {
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink guard(sink);
    int calls = 0;
    OSTREL_LOG(Level::Warn, "ostrel_core::gate", "action refused", {"evaluator", std::string("policy")},
               {"reason", expensive(calls)}, {"priority", 50u}, {"delta", -3}, {"ratio", 0.25}, {"ok", true});
    OSTREL_LOG(Level::Debug, "ostrel_core::other", "plain");
    EXPECT_EQ(calls, 1);
    const auto events = sink->events();
    ASSERT_EQ(events.size(), 2u);
    const auto& e = events[0];
    EXPECT_EQ(e.level, Level::Warn);
    EXPECT_EQ(e.target, "ostrel_core::gate");
    EXPECT_EQ(e.message, "action refused");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"evaluator", "policy"}, {"reason", "computed"}, {"priority", "50"},
        {"delta", "-3"},         {"ratio", "0.25"},      {"ok", "true"}};
    EXPECT_EQ(e.fields, expected);
    EXPECT_EQ(e.field("priority"), "50");
    EXPECT_FALSE(e.has_field("missing"));
    EXPECT_TRUE(events[1].fields.empty());
    EXPECT_EQ(sink->find("plain", "ostrel_core::other").size(), 1u);
    EXPECT_EQ(sink->find("plain", "ostrel_core::gate").size(), 0u);
    EXPECT_EQ(sink->count("action refused"), 1u);
    sink->clear();
    EXPECT_TRUE(sink->events().empty());
}

TEST(Log, ScopedSinkRestoresThePreviousSink) {
    auto outer = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink a(outer);
    {
        auto inner = std::make_shared<lg::CapturingSink>();
        lg::ScopedSink b(inner);
        lg::emit(Level::Info, "t", "inner");
        EXPECT_EQ(inner->count("inner"), 1u);
    }
    lg::emit(Level::Info, "t", "outer");
    EXPECT_EQ(outer->count("inner"), 0u);
    EXPECT_EQ(outer->count("outer"), 1u);
    {
        lg::ScopedSink off(nullptr);
        EXPECT_FALSE(lg::enabled());
        lg::emit(Level::Info, "t", "outer");
    }
    EXPECT_TRUE(lg::enabled());
    EXPECT_EQ(outer->count("outer"), 1u);
}

TEST(Log, ConcurrentEventsAreAllDelivered) {
    auto sink = std::make_shared<lg::CapturingSink>();
    lg::ScopedSink guard(sink);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) OSTREL_LOG(Level::Info, "t", "tick", {"thread", t}, {"i", i});
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(sink->count("tick"), 2000u);
}

TEST(Log, LevelNames) {
    EXPECT_EQ(lg::level_name(Level::Trace), "TRACE");
    EXPECT_EQ(lg::level_name(Level::Debug), "DEBUG");
    EXPECT_EQ(lg::level_name(Level::Info), "INFO");
    EXPECT_EQ(lg::level_name(Level::Warn), "WARN");
    EXPECT_EQ(lg::level_name(Level::Error), "ERROR");
}

}  // namespace
