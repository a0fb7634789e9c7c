// Signs and verifies permit tokens over their canonical bytes. Implementations
// are shared (std::shared_ptr) and callable from several threads at once.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/verdict.hpp"

namespace ostrel_core {

class TokenSigner {
public:
    virtual ~TokenSigner() = default;
    // A signature over token.canonical_bytes(); stored by the gate as the
    // token's signature.
    virtual std::expected<std::vector<std::uint8_t>, OstrelError> sign(const PermitToken& token) const = 0;
    // Checks `signature` against token.canonical_bytes().
    virtual std::expected<void, OstrelError> verify(const PermitToken& token,
                                                    std::span<const std::uint8_t> signature) const = 0;
};

}  // namespace ostrel_core
