// Hard limits that hold for every action whatever the policies say.
//
// An `Invariant` is a name, a description and one `InvariantCheck` (a
// parameter ceiling or floor, a cap on the session's action count, a maximum
// session age, an allow-list or block-list of action names, or an arbitrary
// predicate). An `InvariantSet` is the gate's evaluator "invariants"
// (priority 150, after the policy engine and drift detection): it checks its
// invariants in order and refuses with INVARIANT_VIOLATION at the first one
// that does not hold, so it can turn a permit into a refusal, never the
// reverse.
//
// Everything here is immutable once built and shared between threads without
// locks; a `Custom` predicate must itself be safe to call concurrently.
//
//   auto set = InvariantSet::create({
//       Invariant::param_max("max_amount", "amount", 500.0),
//       Invariant::max_actions_per_session(100),
//       Invariant::custom("no_test_tenant", "the test tenant never acts",
//                         [](const ActionContext& ctx) { return ctx.principal.id != "test"; }),
//   });
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/context.hpp"
#include "core/evaluator.hpp"
#include "core/verdict.hpp"
#include "util/time.hpp"

namespace ostrel_core {

// Whole seconds from `start` to `now`, truncated toward zero: negative when
// `start` lies in the future (-0.5 s counts as 0). Exact over the whole
// representable range.
[[nodiscard]] std::int64_t whole_seconds_between(const Timestamp& start, const Timestamp& now) noexcept;

// A caller-supplied test over the whole context. Called concurrently from
// several threads; it must not modify shared state without its own
// synchronisation. An exception thrown by it counts as "does not hold".
using InvariantPredicate = std::function<bool(const ActionContext&)>;

// The kind-specific test of an invariant and its limit.
class InvariantCheck {
public:
    // Holds when the parameter is not a JSON number, or value <= limit. A NaN
    // on either side fails a present parameter.
    struct ParamMax {
        std::string param;
        double limit = 0.0;
    };
    // Holds when the parameter is not a JSON number, or value >= limit. A NaN
    // on either side fails a present parameter.
    struct ParamMin {
        std::string param;
        double limit = 0.0;
    };
    // Holds when session.action_count <= limit.
    struct MaxActionsPerSession {
        std::uint64_t limit = 0;
    };
    // Holds when the session's age in whole seconds (truncated toward zero,
    // negative for a start in the future) is <= limit.
    struct MaxSessionAge {
        std::int64_t limit_secs = 0;
    };
    // Holds when the action name equals one entry byte for byte. An empty
    // list never holds.
    struct AllowedActions {
        std::vector<std::string> actions;
    };
    // Holds when the action name equals no entry. An empty list always holds.
    struct BlockedActions {
        std::vector<std::string> actions;
    };
    // Holds when the predicate returns true. A null predicate, or one that
    // throws, does not hold (fail closed).
    struct Custom {
        std::shared_ptr<const InvariantPredicate> predicate;
    };

    enum class Kind : std::uint8_t {
        ParamMax,
        ParamMin,
        MaxActionsPerSession,
        MaxSessionAge,
        AllowedActions,
        BlockedActions,
        Custom,
    };

    using Value = std::variant<ParamMax, ParamMin, MaxActionsPerSession, MaxSessionAge, AllowedActions,
                               BlockedActions, Custom>;

    InvariantCheck(ParamMax c) : value_(std::move(c)) {}
    InvariantCheck(ParamMin c) : value_(std::move(c)) {}
    InvariantCheck(MaxActionsPerSession c) : value_(c) {}
    InvariantCheck(MaxSessionAge c) : value_(c) {}
    InvariantCheck(AllowedActions c) : value_(std::move(c)) {}
    InvariantCheck(BlockedActions c) : value_(std::move(c)) {}
    InvariantCheck(Custom c) : value_(std::move(c)) {}

    Kind kind() const noexcept { return static_cast<Kind>(value_.index()); }
    const Value& value() const noexcept { return value_; }

    // Whether the limit holds for `ctx`, with `now` as the current time (only
    // MaxSessionAge reads it). Never fails.
    bool holds(const ActionContext& ctx, const Timestamp& now) const noexcept;
    // True for the kinds that read the current time.
    bool reads_clock() const noexcept { return kind() == Kind::MaxSessionAge; }

private:
    Value value_;
};

// One named hard limit.
class Invariant {
public:
    Invariant(std::string name, std::string description, InvariantCheck check)
        : name_(std::move(name)), description_(std::move(description)), check_(std::move(check)) {}

    // A parameter ceiling, described as "parameter '{param}' must be at most
    // {limit}" with the limit in plain decimal (see invariant_text.hpp).
    static Invariant param_max(std::string name, std::string param, double limit);
    // A parameter floor: "parameter '{param}' must be at least {limit}".
    static Invariant param_min(std::string name, std::string param, double limit);
    // A session action cap named "max_session_actions", described as
    // "maximum {limit} actions per session".
    static Invariant max_actions_per_session(std::uint64_t limit);
    // A session age cap: "session must be at most {limit}s old".
    static Invariant max_session_age(std::string name, std::int64_t limit_secs);
    // An allow-list: "action must be one of: a, b" ("no action is allowed"
    // when empty).
    static Invariant allowed_actions(std::string name, std::vector<std::string> actions);
    // A block-list: "action must not be one of: a, b".
    static Invariant blocked_actions(std::string name, std::vector<std::string> actions);
    // An arbitrary predicate with the caller's own description.
    static Invariant custom(std::string name, std::string description, InvariantPredicate predicate);

    const std::string& name() const noexcept { return name_; }
    const std::string& description() const noexcept { return description_; }
    const InvariantCheck& check() const noexcept { return check_; }

    // Whether the invariant holds for `ctx` now (reads the system clock only
    // for MaxSessionAge). Never fails.
    bool holds(const ActionContext& ctx) const noexcept;
    // The same with an explicit current time.
    bool holds_at(const ActionContext& ctx, const Timestamp& now) const noexcept {
        return check_.holds(ctx, now);
    }

private:
    std::string name_;
    std::string description_;
    InvariantCheck check_;
};

// The gate options that produce invariants: a list of parameter ceilings and
// an optional cap on the session's action count.
struct InvariantOptions {
    struct ParamCeiling {
        std::string name;
        std::string parameter;
        double limit = 0.0;
    };

    std::vector<ParamCeiling> param_ceilings;
    std::optional<std::uint64_t> max_session_actions;

    // One ParamMax invariant per ceiling, in order (Invariant::param_max),
    // then the "max_session_actions" invariant when a cap is set.
    std::vector<Invariant> to_invariants() const;
};

// The evaluator "invariants": refuses at the first invariant that does not
// hold.
class InvariantSet final : public Evaluator {
public:
    // Source of the current wall-clock time (session ages); replaceable for
    // tests that need a fixed instant.
    using Clock = Timestamp (*)() noexcept;

    static constexpr std::string_view kName = "invariants";
    static constexpr std::uint32_t kPriority = 150;
    static constexpr std::string_view kLogTarget = "ostrel_core::invariant";

    explicit InvariantSet(std::vector<Invariant> invariants, Clock clock = &ostrel_util::now);

    static std::shared_ptr<InvariantSet> create(std::vector<Invariant> invariants);
    // The set the gate options ask for, or nullptr when they ask for no
    // invariant at all (the gate then gets no invariant evaluator).
    static std::shared_ptr<InvariantSet> from_options(const InvariantOptions& options);

    const std::vector<Invariant>& invariants() const noexcept { return invariants_; }
    std::size_t size() const noexcept { return invariants_.size(); }

    // The first invariant, in list order, that does not hold; nullptr when
    // all hold.
    const Invariant* first_violated(const ActionContext& ctx) const noexcept;

    std::string_view name() const override { return kName; }
    // Permit when every invariant holds (also for an empty set); otherwise
    // logs ERROR "invariant violation" (fields `invariant`, `description`)
    // and refuses with reason "invariant '{name}' violated: {description}".
    Verdict evaluate(const ActionContext& ctx) const override;
    std::uint32_t priority() const override { return kPriority; }

private:
    std::vector<Invariant> invariants_;
    Clock clock_;
    bool reads_clock_ = false;
};

}  // namespace ostrel_core
