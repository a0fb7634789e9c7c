// Public key bundle blob ("OSPB"): parse, and round trip when accepted.
#include "pq/keys.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto first = ostrel_pq::PublicKeyBundle::from_bytes(ostrel_fuzz::as_bytes(data, size));
    if (!first) return 0;
    auto blob = first->to_bytes();
    FUZZ_CHECK(blob.has_value());
    auto second = ostrel_pq::PublicKeyBundle::from_bytes(*blob);
    FUZZ_CHECK(second.has_value());
    FUZZ_CHECK(*second == *first);
    return 0;
}
