#pragma once
// The policy engine: first evaluator of the gate's chain ("policy", 50).
//
// It holds a compiled policy set behind an atomically swapped pointer and a
// shared rate-limit store. Each evaluation takes a snapshot of the set (no
// lock; a reload meanwhile does not affect it), records the request in the
// store when the set has rate limits, and returns the verdict of the first
// policy, in priority order, whose conditions all hold; with no such policy
// it refuses (default deny). It never invalidates and never fails: store
// failures and internal faults become refusals or conditions that do not
// hold.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/context.hpp"
#include "core/evaluator.hpp"
#include "core/policy_compiled.hpp"
#include "core/policy_document.hpp"
#include "core/rate_limit.hpp"
#include "core/verdict.hpp"

namespace ostrel_core {

class PolicyEngine final : public Evaluator {
 public:
  // Source of the current wall-clock time (rate-limit "now", session ages).
  using Clock = Timestamp (*)() noexcept;

  static constexpr std::string_view kName = "policy";
  static constexpr std::uint32_t kPriority = 50;
  static constexpr std::string_view kLogTarget = "ostrel_core::policy";

  // Compiles the set and uses a new in-process rate store owned by this engine.
  explicit PolicyEngine(PolicySet set);
  // Compiles the set and uses the given shared rate store (a null store is
  // replaced by a new in-process one). `clock` exists for tests that need to
  // move time; it defaults to the system clock.
  PolicyEngine(PolicySet set, std::shared_ptr<RateLimitStore> store, Clock clock = &ostrel_util::now);

  static std::shared_ptr<PolicyEngine> create(PolicySet set);
  static std::shared_ptr<PolicyEngine> with_rate_store(PolicySet set, std::shared_ptr<RateLimitStore> store);

  // Compiles `set` and installs it atomically; evaluations already running
  // finish on the set they started with. Logs INFO "policies reloaded: N rules".
  void reload(PolicySet set);

  // The current compiled set.
  std::shared_ptr<const CompiledPolicySet> current() const noexcept {
    return current_.load(std::memory_order_acquire);
  }
  const std::shared_ptr<RateLimitStore>& rate_store() const noexcept { return store_; }

  std::string_view name() const override { return kName; }
  Verdict evaluate(const ActionContext& ctx) const override;
  std::uint32_t priority() const override { return kPriority; }

  // Checks one compiled condition that needs no store (every kind except
  // RateLimit, which yields false here). `now` is the evaluation's clock
  // reading. Logs the time-window warnings.
  static bool condition_holds(const CompiledCondition& condition, const ActionContext& ctx,
                              const Timestamp& now) noexcept;

  // The first policy of `set`, in compiled order, whose conditions all hold,
  // or nullptr. Conditions are checked in list order and the first that does
  // not hold ends its policy, so rate-limit conditions query the store (with
  // `key` and `now`) only when reached. Allocates nothing itself.
  const CompiledPolicy* first_match(const CompiledPolicySet& set, const ActionContext& ctx, const Timestamp& now,
                                    std::string_view key) const;

 private:
  Verdict evaluate_on(const CompiledPolicySet& set, const ActionContext& ctx) const;

  std::shared_ptr<RateLimitStore> store_;
  Clock clock_;
  std::atomic<std::shared_ptr<const CompiledPolicySet>> current_;
};

}  // namespace ostrel_core
