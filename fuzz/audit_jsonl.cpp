// Audit JSON Lines export: parse (sequentially and with worker threads, which
// must agree), and when accepted export and parse again to the same entries.
#include "pq/audit.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = ostrel_fuzz::as_text(data, size);
    auto entries = ostrel_pq::parse_jsonl(text);
    if (!entries) return 0;
    auto written = ostrel_pq::export_jsonl(*entries);
    FUZZ_CHECK(written.has_value());
    auto again = ostrel_pq::parse_jsonl(*written);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(*again == *entries);
    return 0;
}
