// A fast reader for the common shape of the pq records made mostly of byte
// strings (EncryptedPayload, SignedBytes, SignedTokenEnvelope): objects whose
// values are byte arrays, plain ASCII strings or null. It accepts a strict subset of what the generic
// JSON reader accepts and yields the same values for it; on anything outside
// the subset (escapes, non-ASCII text, other number forms, unknown or
// repeated keys, ...) it gives up and the caller falls back to the generic
// reader, which then produces the result or the exact error message.
//
// append_bytes writes a byte string the way JsonWriter::bytes does
// ("[1,2,255]"), without the writer's per-element bookkeeping: these
// records are mostly such arrays. Internal to ostrel_pq.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel_pq::detail {

inline void append_bytes(std::string& out, std::span<const std::uint8_t> bytes) {
    const std::size_t start = out.size();
    out.resize(start + 2 + 4 * bytes.size());  // at most "255," per byte
    char* p = out.data() + start;
    *p++ = '[';
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) *p++ = ',';
        const unsigned v = bytes[i];
        if (v >= 100) {
            *p++ = static_cast<char>('0' + v / 100);
            *p++ = static_cast<char>('0' + v / 10 % 10);
        } else if (v >= 10) {
            *p++ = static_cast<char>('0' + v / 10);
        }
        *p++ = static_cast<char>('0' + v % 10);
    }
    *p++ = ']';
    out.resize(static_cast<std::size_t>(p - out.data()));
}

class JsonScan {
public:
    explicit JsonScan(std::string_view text) noexcept : p_(text.data()), end_(text.data() + text.size()) {}

    void ws() noexcept {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
    }
    bool eat(char c) noexcept {
        ws();
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    bool peek(char c) noexcept {
        ws();
        return p_ != end_ && *p_ == c;
    }
    bool at_end() noexcept {
        ws();
        return p_ == end_;
    }
    bool null() noexcept {
        ws();
        if (end_ - p_ < 4 || std::string_view(p_, 4) != "null") return false;
        p_ += 4;
        return true;
    }
    // A string of printable ASCII without escapes.
    bool string(std::string_view& out) noexcept {
        if (!eat('"')) return false;
        const char* start = p_;
        while (p_ != end_) {
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                out = std::string_view(start, static_cast<std::size_t>(p_ - start));
                ++p_;
                return true;
            }
            if (c == '\\' || c < 0x20 || c > 0x7e) return false;
            ++p_;
        }
        return false;
    }
    bool string(std::string& out) {
        std::string_view v;
        if (!string(v)) return false;
        out.assign(v);
        return true;
    }
    // An array of integers 0..255 written as plain decimals ("0" or no
    // leading zero).
    bool bytes(std::vector<std::uint8_t>& out) {
        if (!eat('[')) return false;
        out.clear();
        if (eat(']')) return true;
        for (;;) {
            ws();
            if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
            unsigned v = static_cast<unsigned>(*p_++ - '0');
            if (v == 0) {
                if (p_ != end_ && *p_ >= '0' && *p_ <= '9') return false;
            } else {
                for (int digits = 1; p_ != end_ && *p_ >= '0' && *p_ <= '9'; ++digits) {
                    if (digits == 3) return false;
                    v = v * 10 + static_cast<unsigned>(*p_++ - '0');
                }
                if (v > 255) return false;
            }
            if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
            out.push_back(static_cast<std::uint8_t>(v));
            if (p_ != end_ && *p_ == ',') {  // the compact form, without whitespace
                ++p_;
                continue;
            }
            if (eat(',')) continue;
            return eat(']');
        }
    }

private:
    const char* p_;
    const char* end_;
};

}  // namespace ostrel_pq::detail
