#include "core/invariant.hpp"

#include <algorithm>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "core/invariant_text.hpp"
#include "util/log.hpp"

namespace ostrel_core {

namespace {

using ostrel_util::log::Level;

bool name_listed(const std::vector<std::string>& list, std::string_view name) noexcept {
    return std::any_of(list.begin(), list.end(), [name](const std::string& entry) { return entry == name; });
}

std::string joined(const std::vector<std::string>& list) {
    std::string out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i != 0) out += ", ";
        out += list[i];
    }
    return out;
}

}  // namespace

std::int64_t whole_seconds_between(const Timestamp& start, const Timestamp& now) noexcept {
    // Both instants lie within years 1..9999, so the difference of whole
    // seconds cannot overflow; the nanosecond difference corrects the
    // rounding of seconds toward zero.
    std::int64_t secs = now.unix_seconds() - start.unix_seconds();
    const std::int64_t nanos =
        static_cast<std::int64_t>(now.subsec_nanos()) - static_cast<std::int64_t>(start.subsec_nanos());
    if (secs > 0 && nanos < 0) {
        --secs;
    } else if (secs < 0 && nanos > 0) {
        ++secs;
    }
    return secs;
}

bool InvariantCheck::holds(const ActionContext& ctx, const Timestamp& now) const noexcept {
    return std::visit(
        [&](const auto& c) -> bool {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, ParamMax>) {
                const std::optional<double> v = ctx.action.param_as_f64(c.param);
                // Written so that a NaN on either side makes the comparison,
                // and with it the invariant, fail.
                return !v.has_value() || c.limit >= *v;
            } else if constexpr (std::is_same_v<C, ParamMin>) {
                const std::optional<double> v = ctx.action.param_as_f64(c.param);
                return !v.has_value() || *v >= c.limit;
            } else if constexpr (std::is_same_v<C, MaxActionsPerSession>) {
                return ctx.session.action_count <= c.limit;
            } else if constexpr (std::is_same_v<C, MaxSessionAge>) {
                return whole_seconds_between(ctx.session.started_at, now) <= c.limit_secs;
            } else if constexpr (std::is_same_v<C, AllowedActions>) {
                return name_listed(c.actions, ctx.action.name);
            } else if constexpr (std::is_same_v<C, BlockedActions>) {
                return !name_listed(c.actions, ctx.action.name);
            } else {
                static_assert(std::is_same_v<C, Custom>);
                if (!c.predicate || !*c.predicate) return false;
                try {
                    return (*c.predicate)(ctx);
                } catch (...) {
                    // A predicate that cannot answer does not vouch for the
                    // action.
                    return false;
                }
            }
        },
        value_);
}

Invariant Invariant::param_max(std::string name, std::string param, double limit) {
    std::string description = "parameter '" + param + "' must be at most ";
    append_plain_decimal(description, limit);
    return Invariant(std::move(name), std::move(description), InvariantCheck::ParamMax{std::move(param), limit});
}

Invariant Invariant::param_min(std::string name, std::string param, double limit) {
    std::string description = "parameter '" + param + "' must be at least ";
    append_plain_decimal(description, limit);
    return Invariant(std::move(name), std::move(description), InvariantCheck::ParamMin{std::move(param), limit});
}

Invariant Invariant::max_actions_per_session(std::uint64_t limit) {
    return Invariant("max_session_actions", "maximum " + std::to_string(limit) + " actions per session",
                     InvariantCheck::MaxActionsPerSession{limit});
}

Invariant Invariant::max_session_age(std::string name, std::int64_t limit_secs) {
    return Invariant(std::move(name), "session must be at most " + std::to_string(limit_secs) + "s old",
                     InvariantCheck::MaxSessionAge{limit_secs});
}

Invariant Invariant::allowed_actions(std::string name, std::vector<std::string> actions) {
    std::string description =
        actions.empty() ? std::string("no action is allowed") : "action must be one of: " + joined(actions);
    return Invariant(std::move(name), std::move(description), InvariantCheck::AllowedActions{std::move(actions)});
}

Invariant Invariant::blocked_actions(std::string name, std::vector<std::string> actions) {
    std::string description = "action must not be one of: " + joined(actions);
    return Invariant(std::move(name), std::move(description), InvariantCheck::BlockedActions{std::move(actions)});
}

Invariant Invariant::custom(std::string name, std::string description, InvariantPredicate predicate) {
    return Invariant(std::move(name), std::move(description),
                     InvariantCheck::Custom{std::make_shared<const InvariantPredicate>(std::move(predicate))});
}

bool Invariant::holds(const ActionContext& ctx) const noexcept {
    return check_.holds(ctx, check_.reads_clock() ? ostrel_util::now() : Timestamp{});
}

std::vector<Invariant> InvariantOptions::to_invariants() const {
    std::vector<Invariant> out;
    out.reserve(param_ceilings.size() + (max_session_actions ? 1 : 0));
    for (const ParamCeiling& c : param_ceilings) {
        out.push_back(Invariant::param_max(c.name, c.parameter, c.limit));
    }
    if (max_session_actions) {
        out.push_back(Invariant::max_actions_per_session(*max_session_actions));
    }
    return out;
}

InvariantSet::InvariantSet(std::vector<Invariant> invariants, Clock clock)
    : invariants_(std::move(invariants)), clock_(clock != nullptr ? clock : &ostrel_util::now) {
    reads_clock_ = std::any_of(invariants_.begin(), invariants_.end(),
                               [](const Invariant& i) { return i.check().reads_clock(); });
}

std::shared_ptr<InvariantSet> InvariantSet::create(std::vector<Invariant> invariants) {
    return std::make_shared<InvariantSet>(std::move(invariants));
}

std::shared_ptr<InvariantSet> InvariantSet::from_options(const InvariantOptions& options) {
    std::vector<Invariant> list = options.to_invariants();
    if (list.empty()) return nullptr;
    return create(std::move(list));
}

const Invariant* InvariantSet::first_violated(const ActionContext& ctx) const noexcept {
    // The clock is read once per evaluation, and only when some invariant
    // needs it.
    const Timestamp now = reads_clock_ ? clock_() : Timestamp{};
    for (const Invariant& inv : invariants_) {
        if (!inv.holds_at(ctx, now)) return &inv;
    }
    return nullptr;
}

Verdict InvariantSet::evaluate(const ActionContext& ctx) const {
    const Invariant* violated = first_violated(ctx);
    if (violated == nullptr) {
        return Verdict(PermitToken::create(ctx.evaluation_id, ctx.action.name));
    }
    OSTREL_LOG(Level::Error, kLogTarget, "invariant violation", {"invariant", violated->name()},
               {"description", violated->description()});
    std::string reason = "invariant '" + violated->name() + "' violated: " + violated->description();
    return Verdict::refuse(std::string(kName), std::move(reason), ctx.evaluation_id, RefuseCode::InvariantViolation);
}

}  // namespace ostrel_core
