// Shared helpers of the key, signature, token and directory tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "pq/keys.hpp"

namespace ostrel_pq::testing {

// A generated key pair; generation failing is a test failure.
inline OstrelKeyPair make_keypair(std::optional<KeyTtl> ttl = std::nullopt) {
    auto kp = OstrelKeyPair::generate_with_expiry(ttl);
    if (!kp) ADD_FAILURE() << kp.error().display();
    return std::move(*kp);
}

inline std::string text_of(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }
inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

inline bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// A fresh directory under the system temp dir, removed with its contents.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "ostrel-pq-XXXXXX").string();
        char* made = ::mkdtemp(templ.data());
        if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline void write_text(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline unsigned file_mode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0xffffffffu;
    return static_cast<unsigned>(st.st_mode & 07777);
}

// Sets the process umask for the guard's lifetime.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t m) : old_(::umask(m)) {}
    ~ScopedUmask() { ::umask(old_); }

private:
    mode_t old_;
};

}  // namespace ostrel_pq::testing
