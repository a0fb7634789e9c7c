// Public key bundle JSON, single and as an array (the unsigned directory
// format): parse, and round trip when accepted.
#include "pq/keys.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = ostrel_fuzz::as_text(data, size);
    FUZZ_JSON_ROUND_TRIP(ostrel_pq::PublicKeyBundle, text);
    if (auto list = ostrel_pq::bundles_from_json(text)) {
        const std::string written = ostrel_pq::bundles_to_json(*list);
        auto again = ostrel_pq::bundles_from_json(written);
        FUZZ_CHECK(again.has_value());
        FUZZ_CHECK(*again == *list);
    }
    return 0;
}
