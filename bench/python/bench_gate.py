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
    ctx = engine.ActionContext("agent-1", "agent", "files.read", roles=["reader"], params={"size": 10},
                               ip="10.0.0.1", origin_ip="10.0.0.1")
    deny = engine.ActionContext("agent-1", "agent", "files.delete")

    cases = {
        "ActionContext(...) construction": lambda: engine.ActionContext(
            "agent-1", "agent", "files.read", roles=["reader"], params={"size": 10}),
        "Gate.evaluate permit (policy+drift)": lambda: gate.evaluate(ctx),
        "Gate.evaluate refuse (policy+drift)": lambda: gate.evaluate(deny),
        "Gate.evaluate permit (policy only)": lambda: gate_no_drift.evaluate(ctx),
        "Gate.evaluate permit (policy+drift+invariants)": lambda: gate_invariants.evaluate(ctx),
        "Gate.evaluate permit (rate limit, in-memory)": lambda: gate_rate.evaluate(ctx),
        "Verdict.permit_token + canonical_bytes": lambda: gate.evaluate(ctx).permit_token.canonical_bytes(),
    }
    number = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    print(f"{'case':50s} {'median us/call':>15s}")
    for name, fn in cases.items():
        runs = timeit.repeat(fn, number=number, repeat=5)
        print(f"{name:50s} {statistics.median(runs) / number * 1e6:15.2f}")


if __name__ == "__main__":
    main()
