// Reading JSON Lines of signed audit entries.
//
// Exports are large (an ML-DSA-65 signature alone is some 12 KB of JSON
// integers), so every line is first tried by a reader that understands only
// the exact compact form this system writes. Anything it does not fully
// recognise (other key orders, unknown keys, escapes, non-ASCII text,
// unusual numbers, syntax errors) is handed to the general strict reader,
// which decides and words any error. The quick reader therefore never
// accepts a line the general one would reject, nor reads one differently.
#include <cstring>

#include "pq/audit.hpp"
#include "pq/audit_parallel.hpp"

namespace ostrel_pq {

namespace {

class CompactLine {
public:
    explicit CompactLine(std::string_view s) : p_(s.data()), end_(s.data() + s.size()) {}

    bool lit(std::string_view t) {
        if (static_cast<std::size_t>(end_ - p_) < t.size() || std::memcmp(p_, t.data(), t.size()) != 0) return false;
        p_ += t.size();
        return true;
    }

    // A decimal integer without sign, leading zeros, fraction or exponent.
    bool u64(std::uint64_t& out) {
        if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
        if (*p_ == '0') {
            ++p_;
            out = 0;
            return p_ == end_ || !is_number_char(*p_);
        }
        std::uint64_t v = 0;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
            const unsigned d = static_cast<unsigned>(*p_ - '0');
            if (v > (UINT64_MAX - d) / 10) return false;
            v = v * 10 + d;
            ++p_;
        }
        out = v;
        return p_ == end_ || !is_number_char(*p_);
    }

    // An array of integers 0..255.
    bool bytes(Bytes& out) {
        if (!lit("[")) return false;
        out.clear();
        if (lit("]")) return true;
        for (;;) {
            if (p_ == end_) return false;
            unsigned v = 0;
            int digits = 0;
            if (*p_ == '0') {
                ++p_;
                digits = 1;
            } else {
                while (p_ != end_ && *p_ >= '0' && *p_ <= '9' && digits < 4) {
                    v = v * 10 + static_cast<unsigned>(*p_ - '0');
                    ++p_;
                    ++digits;
                }
            }
            if (digits == 0 || v > 255) return false;
            out.push_back(static_cast<std::uint8_t>(v));
            if (p_ == end_) return false;
            if (*p_ == ',') {
                ++p_;
                continue;
            }
            if (*p_ == ']') {
                ++p_;
                return true;
            }
            return false;
        }
    }

    // A string of printable ASCII without escapes.
    bool str(std::string& out) {
        if (!lit("\"")) return false;
        const char* start = p_;
        while (p_ != end_ && *p_ != '"') {
            const auto c = static_cast<unsigned char>(*p_);
            if (c < 0x20 || c > 0x7e || c == '\\') return false;
            ++p_;
        }
        if (p_ == end_) return false;
        out.assign(start, p_);
        ++p_;
        return true;
    }

    bool at_end() const { return p_ == end_; }

private:
    static bool is_number_char(char c) { return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E'; }
    const char* p_;
    const char* end_;
};

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

bool read_compact(std::string_view line, SignedAuditEntry& e) {
    while (!line.empty() && is_json_space(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_json_space(line.back())) line.remove_suffix(1);
    CompactLine r(line);
    SignedPayload& p = e.signed_payload;
    std::string signed_at;
    if (!(r.lit(R"({"index":)") && r.u64(e.index) && r.lit(R"(,"previous_hash":)") && r.str(e.previous_hash) &&
          r.lit(R"(,"signed_payload":{"data":)") && r.bytes(p.data) && r.lit(R"(,"ml_dsa_signature":)") &&
          r.bytes(p.ml_dsa_signature) && r.lit(R"(,"ed25519_signature":)")))
        return false;
    if (r.lit("null")) {
        p.ed25519_signature.reset();
    } else {
        Bytes ed;
        if (!r.bytes(ed)) return false;
        p.ed25519_signature = std::move(ed);
    }
    if (!(r.lit(R"(,"key_id":)") && r.str(p.key_id) && r.lit(R"(,"signed_at":)") && r.str(signed_at) &&
          r.lit(R"(,"nonce":)") && r.str(p.nonce) && r.lit(R"(},"entry_hash":)") && r.str(e.entry_hash) &&
          r.lit("}") && r.at_end()))
        return false;
    auto at = Timestamp::parse_rfc3339(signed_at);
    if (!at) return false;
    p.signed_at = *at;
    return true;
}

}  // namespace

std::expected<std::vector<SignedAuditEntry>, PqError> parse_jsonl(std::string_view bytes, Parallelism par) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const void* nl = std::memchr(bytes.data() + pos, '\n', bytes.size() - pos);
        const std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - bytes.data()) : bytes.size();
        std::string_view line = bytes.substr(pos, end - pos);
        bool blank = true;
        for (char c : line) {
            if (!is_ascii_space(c)) {
                blank = false;
                break;
            }
        }
        if (!blank) lines.push_back(line);
        pos = end + 1;
    }

    std::vector<SignedAuditEntry> entries(lines.size());
    auto read_one = [&](std::size_t i) -> std::optional<PqError> {
        if (read_compact(lines[i], entries[i])) return std::nullopt;
        auto e = SignedAuditEntry::from_json(lines[i]);
        if (!e) {
            return PqError::serialization("parse failed at entry #" + std::to_string(i) + ": " + e.error().message);
        }
        entries[i] = std::move(*e);
        return std::nullopt;
    };
    if (auto failure = detail::first_failure<PqError>(lines.size(), par.threads, 32, read_one))
        return std::unexpected(std::move(failure->second));
    return entries;
}

}  // namespace ostrel_pq
