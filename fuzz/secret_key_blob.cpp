// Secret key blob ("OSSK"): parse; when accepted, writing, reading and
// writing again gives the same bytes (key pairs have no equality).
#include <algorithm>

#include "pq/keys.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto first = ostrel_pq::OstrelKeyPair::from_secret_bytes(ostrel_fuzz::as_bytes(data, size));
    if (!first) return 0;
    auto blob = first->to_secret_bytes();
    FUZZ_CHECK(blob.has_value());
    auto second = ostrel_pq::OstrelKeyPair::from_secret_bytes(std::span<const std::uint8_t>(blob->data(), blob->size()));
    FUZZ_CHECK(second.has_value());
    auto blob2 = second->to_secret_bytes();
    FUZZ_CHECK(blob2.has_value());
    FUZZ_CHECK(blob2->size() == blob->size() && std::equal(blob->data(), blob->data() + blob->size(), blob2->data()));
    FUZZ_CHECK(second->public_keys() == first->public_keys());
    return 0;
}
