// Decision benchmarks: one native decision through a gate and the policy
// match loop on its own.
//
// The gate holds the usual chain: a policy engine with a 50-policy set whose
// first matching policy is the 45th in priority order, the default drift
// evaluator (four detectors) and an invariant set with two invariants; no
// token signer, in-process stores, no rate limit in the set.
//
// This binary replaces the global operator new to count allocations; the
// counters report allocations per iteration, so "allocs" of the match loop
// must read 0.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/context.hpp"
#include "core/drift.hpp"
#include "core/gate.hpp"
#include "core/invariant.hpp"
#include "core/policy_compiled.hpp"
#include "core/policy_document.hpp"
#include "core/policy_engine.hpp"

// ---------------------------------------------------------------------------
// Allocation counting

// The replacements pair malloc with free by construction; GCC cannot see that
// the replaced operator new is malloc underneath and warns about the pairing.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<std::uint64_t> g_allocations{0};
}

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace ostrel_core;

// ---------------------------------------------------------------------------
// The workload

// 50 policies. Numbers 1..44 fail on their first or second condition for the
// benchmark request (a spread of condition kinds), 45 matches and permits,
// 46..50 would also match but are never reached.
std::string fifty_policy_toml() {
  std::string doc;
  auto add = [&doc](int n, const char* effect, const std::string& conditions) {
    doc += "[[policy]]\nname = \"policy-" + std::to_string(n) + "\"\neffect = \"" + effect +
           "\"\npriority = " + std::to_string(n) + "\nconditions = [" + conditions + "]\n\n";
  };
  for (int n = 1; n <= 44; ++n) {
    const std::string tag = std::to_string(n);
    switch (n % 6) {
      case 0: add(n, "refuse", "{ identity_role = \"role-" + tag + "\" }"); break;
      case 1: add(n, "permit", "{ action = \"billing" + tag + ".*\" }, { identity_kind = \"agent\" }"); break;
      case 2: add(n, "refuse", "{ identity_id = \"principal-" + tag + "\" }"); break;
      case 3: add(n, "permit", "{ identity_kind = \"service\" }, { action = \"orders.*\" }"); break;
      case 4:
        add(n, "refuse",
            "{ action = \"orders.*\" }, { param_in = { field = \"currency\", values = [\"X" + tag + "\"] } }");
        break;
      default: add(n, "permit", "{ resource = \"vault/" + tag + "/*\" }"); break;
    }
  }
  add(45, "permit",
      "{ identity_role = \"ops\" }, { action = \"orders.*\" }, { param_max = { field = \"amount\", max = 1000 } }, "
      "{ param_in = { field = \"currency\", values = [\"EUR\", \"USD\"] } }, { session_age_max = \"8h\" }, "
      "{ resource = \"db/*\" }, { time_window = \"00:00-23:59 Europe/Berlin\" }");
  for (int n = 46; n <= 50; ++n) add(n, "permit", "");
  return doc;
}

ActionContext benchmark_context() {
  SessionState session = SessionState::create();
  session.started_at = *ostrel_util::now().checked_add_seconds(-600);  // ten minutes old
  session.action_count = 5;
  session.origin_ip = ostrel_util::IpAddr::parse("10.0.0.7").value();
  session.origin_device = DeviceFingerprint{"dev-1234", std::nullopt};
  EnvContext env;
  env.ip = session.origin_ip;
  env.device = session.origin_device;
  ActionDescriptor action("orders.create", std::string("db/orders"));
  action.set_param("amount", 250);
  action.set_param("currency", "EUR");
  ActionContext ctx = ActionContext::create(Principal{"agent-42", PrincipalKind::Agent, {"reader", "ops"}},
                                            std::move(action), std::move(session), std::move(env));
  // Judge the time window at a fixed instant inside it (12:00 UTC).
  ctx.timestamp = *ostrel_util::Timestamp::parse_rfc3339("2026-06-01T12:00:00Z");
  return ctx;
}

struct Workload {
  std::shared_ptr<PolicyEngine> engine;
  std::shared_ptr<DriftEvaluator> drift;
  std::shared_ptr<InvariantSet> invariants;
  std::unique_ptr<Gate> gate;
  ActionContext ctx;

  Workload() : ctx(benchmark_context()) {
    auto set = PolicySet::from_toml(fifty_policy_toml());
    if (!set) {
      std::fprintf(stderr, "benchmark policy set: %s\n", set.error().display().c_str());
      std::abort();
    }
    engine = PolicyEngine::create(std::move(*set));
    drift = DriftEvaluator::with_defaults();
    invariants = InvariantSet::create({Invariant::param_max("amount ceiling", "amount", 10000.0),
                                       Invariant::max_actions_per_session(1000)});
    gate = std::make_unique<Gate>(std::vector<std::shared_ptr<const Evaluator>>{engine, drift, invariants}, false);

    // The workload must decide as intended, or the numbers mean nothing.
    const auto compiled = engine->current();
    const CompiledPolicy* match = engine->first_match(*compiled, ctx, ostrel_util::now(), {});
    if (match == nullptr || match->name != "policy-45" || compiled->size() != 50 || compiled->has_rate_limit()) {
      std::fprintf(stderr, "benchmark policy set does not match at policy-45\n");
      std::abort();
    }
    if (!gate->evaluate(ctx).is_permit()) {
      std::fprintf(stderr, "benchmark gate does not permit\n");
      std::abort();
    }
  }
};

Workload& workload() {
  static Workload w;
  return w;
}

void report_allocations(benchmark::State& state, std::uint64_t before) {
  const std::uint64_t allocations = g_allocations.load(std::memory_order_relaxed) - before;
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

// One decision through the gate: policy engine, drift evaluator, invariants,
// and the final permit token.
void BM_GateDecision(benchmark::State& state) {
  Workload& w = workload();
  const std::uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    Verdict v = w.gate->evaluate(w.ctx);
    benchmark::DoNotOptimize(v);
  }
  report_allocations(state, before);
}
BENCHMARK(BM_GateDecision)->Repetitions(9)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

// The policy engine alone (snapshot, walk to policy 45, its permit).
void BM_PolicyEngineEvaluate(benchmark::State& state) {
  Workload& w = workload();
  const std::uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    Verdict v = w.engine->evaluate(w.ctx);
    benchmark::DoNotOptimize(v);
  }
  report_allocations(state, before);
}
BENCHMARK(BM_PolicyEngineEvaluate)->Repetitions(9)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

// The match loop: 44 policies that fail, then the 45th whose seven
// conditions all hold (patterns, parameters, session age, a zoned window).
void BM_PolicyMatchLoop(benchmark::State& state) {
  Workload& w = workload();
  const auto compiled = w.engine->current();
  const ostrel_util::Timestamp now = ostrel_util::now();
  const std::uint64_t before = g_allocations.load(std::memory_order_relaxed);
  for (auto _ : state) {
    const CompiledPolicy* match = w.engine->first_match(*compiled, w.ctx, now, {});
    benchmark::DoNotOptimize(match);
  }
  report_allocations(state, before);
}
BENCHMARK(BM_PolicyMatchLoop)->Repetitions(9)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

// Reading and compiling the 50-policy TOML document (what a reload costs).
void BM_ParseAndCompileFiftyPolicies(benchmark::State& state) {
  const std::string doc = fifty_policy_toml();
  for (auto _ : state) {
    auto set = PolicySet::from_toml(doc);
    CompiledPolicySet compiled(std::move(*set));
    benchmark::DoNotOptimize(compiled);
  }
}
BENCHMARK(BM_ParseAndCompileFiftyPolicies)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
