// Policy TOML text. No writer exists, so the check is: never crash, and an
// accepted document compiles into an engine-ready set without crashing.
#include "core/policy_compiled.hpp"
#include "core/policy_document.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto set = ostrel_core::PolicySet::from_toml(ostrel_fuzz::as_text(data, size));
    if (!set) {
        FUZZ_CHECK(!set.error().display().empty());
        return 0;
    }
    // Compiling parses durations and time windows and resolves zones.
    const std::size_t n = set->policies.size();
    ostrel_core::CompiledPolicySet compiled(std::move(*set));
    FUZZ_CHECK(compiled.size() == n);
    return 0;
}
