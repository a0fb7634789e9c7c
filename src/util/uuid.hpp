// 128-bit universally unique identifiers (RFC 4122 layout).
//
// `Uuid::new_v4()` draws 122 random bits from the operating system's random
// source (through OpenSSL) and sets the version-4 and variant bits. Text
// output is always the 36-character lower-case hyphenated form. Parsing
// accepts the hyphenated form, 32 plain hex digits, the hyphenated form in
// braces and the hyphenated form after "urn:uuid:", in either case.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace ostrel_util {

// Why a text is not a UUID. `display()` is the message shown to users.
struct UuidError {
    std::string message;
    const std::string& display() const noexcept { return message; }
    bool operator==(const UuidError&) const = default;
};

class Uuid {
public:
    static constexpr std::size_t kTextLength = 36;

    // The nil UUID (all zero bits).
    constexpr Uuid() noexcept = default;
    constexpr explicit Uuid(const std::array<std::uint8_t, 16>& bytes) noexcept : bytes_(bytes) {}

    // A fresh random version-4 UUID. Never fails: a broken OS random source
    // is a fatal fault (the process aborts rather than hand out guessable ids).
    static Uuid new_v4();

    // The 16 bytes in standard (big-endian, RFC 4122) order.
    static Uuid from_bytes(std::span<const std::uint8_t, 16> bytes) noexcept;

    // Parses the accepted text forms (see the file comment).
    static std::expected<Uuid, UuidError> parse(std::string_view text);

    constexpr const std::array<std::uint8_t, 16>& bytes() const noexcept { return bytes_; }
    // Version nibble (4 for random UUIDs).
    constexpr unsigned version() const noexcept { return bytes_[6] >> 4; }
    bool is_nil() const noexcept;

    // Lower-case hyphenated text, 36 characters.
    std::string to_string() const;
    // Writes the 36 characters of to_string() to `out` (no terminator).
    void write_text(char* out) const noexcept;
    // Appends the 36 characters of to_string() to `out`.
    void append_to(std::string& out) const;

    friend constexpr bool operator==(const Uuid&, const Uuid&) noexcept = default;
    friend constexpr std::strong_ordering operator<=>(const Uuid&, const Uuid&) noexcept = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

struct UuidHash {
    std::size_t operator()(const Uuid& u) const noexcept;
};

}  // namespace ostrel_util

template <>
struct std::hash<ostrel_util::Uuid> : ostrel_util::UuidHash {};
