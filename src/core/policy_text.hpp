#pragma once
// Small text helpers shared by the policy reader and engine: Unicode white
// space over UTF-8, trimming and splitting at the first white space. None of
// them allocates.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace ostrel_core::policy_text {

// Decodes the UTF-8 sequence starting at s[i]; returns the code point and
// stores its length in len. A malformed sequence decodes as U+FFFD with
// length 1 (it is never white space, so callers stop at it).
inline char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    len = 1;
    return b0;
  }
  std::size_t need = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    need = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    need = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    need = 3;
    cp = b0 & 0x07;
  } else {
    len = 1;
    return 0xFFFD;
  }
  if (s.size() - i < need + 1) {
    len = 1;
    return 0xFFFD;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      len = 1;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  constexpr char32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[need] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    len = 1;  // overlong or out of range: not a character
    return 0xFFFD;
  }
  len = need + 1;
  return cp;
}

// The Unicode White_Space property.
constexpr bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Length of the white-space character starting at s[i], or 0 if there is none.
inline std::size_t white_space_at(std::string_view s, std::size_t i) noexcept {
  std::size_t len = 0;
  const char32_t c = decode_at(s, i, len);
  return is_white_space(c) ? len : 0;
}

inline std::string_view trim_start(std::string_view s) noexcept {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t len = white_space_at(s, i);
    if (len == 0) break;
    i += len;
  }
  return s.substr(i);
}

inline std::string_view trim_end(std::string_view s) noexcept {
  std::size_t end = s.size();
  while (end > 0) {
    // Step back to the start of the last code point (at most 4 bytes).
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) {
      --start;
    }
    std::size_t len = 0;
    const char32_t c = decode_at(s, start, len);
    if (start + len != end || !is_white_space(c)) break;
    end = start;
  }
  return s.substr(0, end);
}

inline std::string_view trim(std::string_view s) noexcept { return trim_end(trim_start(s)); }

// Position of the first white-space character and its length; npos if none.
inline std::size_t find_white_space(std::string_view s, std::size_t& len) noexcept {
  for (std::size_t i = 0; i < s.size();) {
    std::size_t l = 0;
    const char32_t c = decode_at(s, i, l);
    if (is_white_space(c)) {
      len = l;
      return i;
    }
    i += l;
  }
  len = 0;
  return std::string_view::npos;
}

// Byte equality of two ranges of length n, inlined: the texts compared while
// matching policies are short identifiers, for which a library call costs
// more than the comparison. Word loads are done through memcpy (no aliasing
// or alignment assumptions).
inline bool bytes_equal(const char* a, const char* b, std::size_t n) noexcept {
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t x;
      std::uint64_t y;
      std::memcpy(&x, a + i, 8);
      std::memcpy(&y, b + i, 8);
      if (x != y) return false;
    }
    if (i == n) return true;
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + n - 8, 8);  // the tail, overlapping the last full word
    std::memcpy(&y, b + n - 8, 8);
    return x == y;
  }
  if (n >= 4) {
    std::uint32_t x1, y1, x2, y2;
    std::memcpy(&x1, a, 4);
    std::memcpy(&y1, b, 4);
    std::memcpy(&x2, a + n - 4, 4);
    std::memcpy(&y2, b + n - 4, 4);
    return x1 == y1 && x2 == y2;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

inline bool text_equal(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && bytes_equal(a.data(), b.data(), a.size());
}

inline bool text_starts_with(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && bytes_equal(text.data(), prefix.data(), prefix.size());
}

}  // namespace ostrel_core::policy_text
