"""Python-level benchmark of the gate: what one decision costs a Python caller.

Run with PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_gate.py.
Each case is timed with timeit over several repetitions; the median per call
is printed in microseconds. This is a program, not a test: it asserts nothing
about speed.
"""

import statistics
import sys
import timeit

import _ostrel_engine as engine

POLICY = """
[[policy]]
name = "no-deletes"
effect = "refuse"
priority = 10
conditions = [{ action = "files.delete" }]

[[policy]]
name = "agents-read"
effect = "permit"
conditions = [{ identity_kind = "agent" }, { action = "files.*" }, { param_max = { field = "size", max = 1000 } }]
"""


def fifty_policies() -> str:
    """50 policies; a files.read request by an agent first matches number 45."""
    parts = []
    for i in range(50):
        action = "files.read" if i == 44 else f"tool.other{i}.*"
        parts.append(
            "[[policy]]\n"
            f'name = "rule-{i}"\n'
            'effect = "permit"\n'
            f"priority = {100 + i}\n"
            f'conditions = [{{ identity_kind = "agent" }}, {{ action = "{action}" }}, '
            '{ param_max = { field = "size", max = 1000 } }]\n')
    return "\n".join(parts)


RATE_LIMITED = """
[[policy]]
name = "limited"
effect = "permit"
conditions = [{ rate_limit = { max = 1000000000, window = "1m" } }]
"""


def main() -> None:
    gate = engine.Gate(POLICY)
    gate_no_drift = engine.Gate(POLICY, enable_drift=False)
    gate_invariants = engine.Gate(POLICY, invariants=[("max_size", "size", 500.0)], max_session_actions=100)
    gate_rate = engine.Gate(RATE_LIMITED)
    gate_fifty = engine.Gate(fifty_policies(), invariants=[("max_size", "size", 500.0)], max_session_actions=100)
    home = engine.GeoLocation("DE", region="BE", city="Berlin", latitude=52.52, longitude=13.405)
    here = engine.GeoLocation("DE", region="HH", city="Hamburg", latitude=53.55, longitude=9.99)
    ctx = engine.ActionContext("agent-1", "agent", "files.read", roles=["reader"], params={"size": 10},
                               ip="10.0.0.1", origin_ip="10.0.0.1")
    deny = engine.ActionContext("agent-1", "agent", "files.delete")

    cases = {
        "ActionContext(...) construction": lambda: engine.ActionContext(
            "agent-1", "agent", "files.read", roles=["reader"], params={"size": 10}),
        "ActionContext(...) typical, 8 keywords, 2 GeoLocations": lambda: engine.ActionContext(
            "agent-1", "agent", "files.read", roles=["reader", "agent"], resource="s3://bucket/report.csv",
            params={"size": 10}, ip="10.0.0.2", session_id="sess-1", current_geo=here, origin_geo=home,
            origin_ip="10.0.0.1", action_count=3),
        "Gate.evaluate 50 policies (match at 45), drift, 2 invariants": lambda: gate_fifty.evaluate(ctx),
        "Gate.evaluate permit (policy+drift)": lambda: gate.evaluate(ctx),
        "Gate.evaluate refuse (policy+drift)": lambda: gate.evaluate(deny),
        "Gate.evaluate permit (policy only)": lambda: gate_no_drift.evaluate(ctx),
        "Gate.evaluate permit (policy+drift+invariants)": lambda: gate_invariants.evaluate(ctx),
        "Gate.evaluate permit (rate limit, in-memory)": lambda: gate_rate.evaluate(ctx),
        "Verdict.permit_token + canonical_bytes": lambda: gate.evaluate(ctx).permit_token.canonical_bytes(),
    }
    number = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    print(f"{'case':60s} {'median us/call':>15s}")
    for name, fn in cases.items():
        runs = timeit.repeat(fn, number=number, repeat=5)
        print(f"{name:60s} {statistics.median(runs) / number * 1e6:15.2f}")


if __name__ == "__main__":
    main()
