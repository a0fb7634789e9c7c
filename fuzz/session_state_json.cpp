// SessionState JSON (what session stores keep): parse, and round trip when accepted.
#include "core/context.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FUZZ_JSON_ROUND_TRIP(ostrel_core::SessionState, ostrel_fuzz::as_text(data, size));
    return 0;
}
