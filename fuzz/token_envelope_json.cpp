// Token signature envelope JSON: parse, and round trip when accepted.
#include "pq/token.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FUZZ_JSON_ROUND_TRIP(ostrel_pq::SignedTokenEnvelope, ostrel_fuzz::as_text(data, size));
    return 0;
}
