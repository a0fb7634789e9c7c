// Shared pieces of the Redis tests: the server under test (from
// OSTREL_TEST_REDIS_URL), private throwaway servers for tests that stop and
// restart one, and a socket that accepts connections but never answers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "redis/connection.hpp"
#include "util/uuid.hpp"

namespace redis_test {

using namespace std::chrono_literals;

inline std::optional<std::string> test_url() {
    const char* url = std::getenv("OSTREL_TEST_REDIS_URL");
    if (url == nullptr || *url == '\0') return std::nullopt;
    return std::string(url);
}

#define REQUIRE_REDIS_URL(var)                                                                      \
    auto var##_opt = ::redis_test::test_url();                                                      \
    if (!var##_opt) GTEST_SKIP() << "OSTREL_TEST_REDIS_URL is not set; no Redis server to test against"; \
    const std::string var = *var##_opt

// A name no other test run uses.
inline std::string unique(std::string_view prefix) {
    return std::string(prefix) + ostrel_util::Uuid::new_v4().to_string();
}

// Polls `f` until it returns true or `limit` passes.
template <class F>
bool eventually(F f, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (f()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return f();
}

// A plain connection for the test itself to inspect and poke the server.
inline std::shared_ptr<ostrel_redis::RedisConnection> admin(const std::string& url) {
    auto client = ostrel_redis::RedisClient::open(url);
    if (!client) return nullptr;
    auto conn = ostrel_redis::RedisConnection::connect(*client);
    return conn ? *conn : nullptr;
}

// A free loopback TCP port (bound, read, released).
inline int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    const int port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// A throwaway redis-server of our own on a loopback port, which a test may
// stop and start again on the same port.
class LocalRedis {
public:
    LocalRedis() : port_(free_port()), dir_(std::filesystem::temp_directory_path() / unique("ostrel-redis-")) {
        std::filesystem::create_directories(dir_);
    }
    ~LocalRedis() {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    static bool available() { return std::system("command -v redis-server >/dev/null 2>&1") == 0; }

    bool start() {
        const std::string cmd = "redis-server --port " + std::to_string(port_) +
                                " --bind 127.0.0.1 --save '' --appendonly no --daemonize yes --dir " + dir_.string() +
                                " --pidfile " + pidfile() + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) return false;
        return eventually([&] { return admin(url()) != nullptr; }, 10s);
    }

    void stop() {
        std::ifstream in(pidfile());
        long pid = 0;
        if (in >> pid && pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            eventually([&] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }, 10s);
        }
        std::error_code ec;
        std::filesystem::remove(pidfile(), ec);
    }

    std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_) + "/0"; }

private:
    std::string pidfile() const { return (dir_ / "redis.pid").string(); }
    int port_;
    std::filesystem::path dir_;
};

// Accepts TCP connections (through the kernel's backlog) and never answers.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~SilentListener() { ::close(fd_); }
    std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_) + "/0"; }

private:
    int fd_;
    int port_;
};

}  // namespace redis_test
