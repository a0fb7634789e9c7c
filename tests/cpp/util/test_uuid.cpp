#include "util/uuid.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

using ostrel_util::Uuid;

namespace {

constexpr std::array<std::uint8_t, 16> kBytes = {0x67, 0xe5, 0x50, 0x44, 0x10, 0xb1, 0x42, 0x6f,
                                                 0x92, 0x47, 0xbb, 0x68, 0x0e, 0x5f, 0xe0, 0xc8};
constexpr const char* kText = "67e55044-10b1-426f-9247-bb680e5fe0c8";

TEST(Uuid, NewV4HasVersionAndVariantBitsAndLowerCaseText) {
    for (int i = 0; i < 200; ++i) {
        const Uuid u = Uuid::new_v4();
        EXPECT_EQ(u.version(), 4u);
        EXPECT_EQ(u.bytes()[8] & 0xc0, 0x80) << "RFC 4122 variant";
        const std::string s = u.to_string();
        ASSERT_EQ(s.size(), 36u);
        for (std::size_t k = 0; k < s.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) {
                EXPECT_EQ(s[k], '-');
            } else {
                EXPECT_TRUE((s[k] >= '0' && s[k] <= '9') || (s[k] >= 'a' && s[k] <= 'f')) << s;
            }
        }
        EXPECT_EQ(s[14], '4');
    }
}

TEST(Uuid, NewV4DoesNotRepeat) {
    std::set<Uuid> seen;
    for (int i = 0; i < 20000; ++i) EXPECT_TRUE(seen.insert(Uuid::new_v4()).second);
}

TEST(Uuid, DistinctAcrossThreads) {
    std::vector<Uuid> a, b;
    std::thread t1([&] { for (int i = 0; i < 2000; ++i) a.push_back(Uuid::new_v4()); });
    std::thread t2([&] { for (int i = 0; i < 2000; ++i) b.push_back(Uuid::new_v4()); });
    t1.join();
    t2.join();
    std::set<Uuid> all(a.begin(), a.end());
    all.insert(b.begin(), b.end());
    EXPECT_EQ(all.size(), 4000u);
}

// A fork child must not hand out the bytes its parent had already buffered.
TEST(Uuid, ForkChildDoesNotRepeatParentIds) {
    (void)Uuid::new_v4();  // make sure this thread has buffered random bytes
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const Uuid c = Uuid::new_v4();
        const auto n = write(fds[1], c.bytes().data(), 16);
        _exit(n == 16 ? 0 : 1);
    }
    const Uuid parent = Uuid::new_v4();
    std::array<std::uint8_t, 16> child{};
    ASSERT_EQ(read(fds[0], child.data(), 16), 16);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_NE(Uuid(child), parent);
}

TEST(Uuid, ParsesEveryAcceptedForm) {
    const Uuid expected(kBytes);
    const char* forms[] = {
        "67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67E55044-10B1-426F-9247-BB680E5FE0C8",
        "67e5504410b1426f9247bb680e5fe0c8",
        "67E5504410B1426F9247BB680E5FE0C8",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
        "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
        "URN:UUID:67E55044-10B1-426F-9247-BB680E5FE0C8",
    };
    for (const char* f : forms) {
        auto u = Uuid::parse(f);
        ASSERT_TRUE(u.has_value()) << f << ": " << u.error().message;
        EXPECT_EQ(*u, expected) << f;
        EXPECT_EQ(u->to_string(), kText) << f;
    }
}

TEST(Uuid, RejectsMalformedText) {
    struct Case {
        const char* text;
        const char* message_part;
    };
    const Case cases[] = {
        {"", "found 0"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c", "found 35"},
        {"67e55044-10b1-426f-9247-bb680e5fe0c8a", "found 37"},
        {"67e55044-10b1-426f-9247-bb680e5fe0cg", "`g`"},
        {"67e5504410b1426f9247bb680e5fe0cx", "`x`"},
        {"67e55044010b1-426f-9247-bb680e5fe0c8", "`-`"},
        {"{67e55044-10b1-426f-9247-bb680e5fe0c8", "brace"},
        {"{67e5504410b1426f9247bb680e5fe0c8}", "inside braces"},
        {"67e55044 10b1-426f-9247-bb680e5fe0c8", "expected `-`"},
    };
    for (const auto& c : cases) {
        auto u = Uuid::parse(c.text);
        ASSERT_FALSE(u.has_value()) << c.text;
        EXPECT_NE(u.error().message.find(c.message_part), std::string::npos) << c.text << " -> " << u.error().message;
    }
}

TEST(Uuid, BytesRoundTripAndOrdering) {
    const Uuid u = Uuid::from_bytes(std::span<const std::uint8_t, 16>(kBytes));
    EXPECT_EQ(u.bytes(), kBytes);
    EXPECT_EQ(u.to_string(), kText);
    std::string appended = "x:";
    u.append_to(appended);
    EXPECT_EQ(appended, std::string("x:") + kText);
    EXPECT_TRUE(Uuid().is_nil());
    EXPECT_FALSE(u.is_nil());
    EXPECT_EQ(Uuid().to_string(), "00000000-0000-0000-0000-000000000000");
    EXPECT_LT(Uuid(), u);
    EXPECT_EQ(std::hash<Uuid>{}(u), std::hash<Uuid>{}(*Uuid::parse(kText)));
}

}  // namespace
