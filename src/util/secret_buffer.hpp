// Byte buffers for secret material (seeds, secret keys, shared secrets,
// derived symmetric keys). The memory is overwritten with zeros through
// OPENSSL_cleanse (which the optimiser cannot drop) before it is released:
// on destruction, on reassignment and on resize. Moving leaves the source empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel_util {

// Overwrites `bytes` with zeros in a way the compiler may not elide.
void secure_wipe(void* data, std::size_t len) noexcept;

class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t n) : bytes_(n, 0) {}
    explicit SecretBytes(std::span<const std::uint8_t> src) : bytes_(src.begin(), src.end()) {}
    ~SecretBytes() { clear(); }

    SecretBytes(const SecretBytes& o) : bytes_(o.bytes_) {}
    SecretBytes& operator=(const SecretBytes& o) {
        if (this != &o) {
            clear();
            bytes_ = o.bytes_;
        }
        return *this;
    }
    SecretBytes(SecretBytes&& o) noexcept : bytes_(std::move(o.bytes_)) { o.bytes_.clear(); }
    SecretBytes& operator=(SecretBytes&& o) noexcept {
        if (this != &o) {
            clear();
            bytes_ = std::move(o.bytes_);
            o.bytes_.clear();
        }
        return *this;
    }

    // Wipes and empties the buffer (capacity is released too).
    void clear() noexcept {
        if (!bytes_.empty()) secure_wipe(bytes_.data(), bytes_.size());
        std::vector<std::uint8_t>().swap(bytes_);
    }
    // Resizes without ever leaving an unwiped copy behind: grows by copying
    // into fresh storage and wiping the old one.
    void resize(std::size_t n) {
        SecretBytes next(n);
        for (std::size_t i = 0; i < n && i < bytes_.size(); ++i) next.bytes_[i] = bytes_[i];
        *this = std::move(next);
    }

    std::uint8_t* data() noexcept { return bytes_.data(); }
    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    bool empty() const noexcept { return bytes_.empty(); }
    std::uint8_t& operator[](std::size_t i) noexcept { return bytes_[i]; }
    const std::uint8_t& operator[](std::size_t i) const noexcept { return bytes_[i]; }
    std::span<std::uint8_t> span() noexcept { return bytes_; }
    std::span<const std::uint8_t> span() const noexcept { return bytes_; }
    auto begin() noexcept { return bytes_.begin(); }
    auto end() noexcept { return bytes_.end(); }
    auto begin() const noexcept { return bytes_.begin(); }
    auto end() const noexcept { return bytes_.end(); }

private:
    std::vector<std::uint8_t> bytes_;
};

// Wipes a fixed-size object (array of bytes, coefficient arrays, ...) when the
// guard leaves scope. For stack temporaries that hold secrets.
template <typename T>
class WipeOnExit {
public:
    explicit WipeOnExit(T& obj) noexcept : obj_(obj) {}
    ~WipeOnExit() { secure_wipe(&obj_, sizeof(T)); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    T& obj_;
};

}  // namespace ostrel_util
