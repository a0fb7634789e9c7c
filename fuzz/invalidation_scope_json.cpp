// InvalidationScope JSON (what broadcasters carry): parse, and round trip when accepted.
#include "core/verdict.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FUZZ_JSON_ROUND_TRIP(ostrel_core::InvalidationScope, ostrel_fuzz::as_text(data, size));
    return 0;
}
