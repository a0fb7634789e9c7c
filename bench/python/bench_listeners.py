"""Python-level benchmark of invalidation fan-out to listeners.

Run with PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_listeners.py.

1. Latency: the time from Gate.evaluate returning an Invalidate (a drift
   violation, published to an InMemoryInvalidationBroadcaster) to the Python
   callback of one listener starting; median and 90th percentile over many
   decisions.
2. Publish throughput with 1, 10 and 1,000 listeners: how fast
   InMemoryInvalidationBroadcaster.publish returns, and how many callbacks per
   second all listeners together run until every listener has seen every
   scope (fewer scopes than the channel's capacity, so nothing is dropped).

This is a program, not a test: it asserts nothing about speed.
"""

import statistics
import sys
import threading
import time
import uuid

import _ostrel_engine as engine

PERMIT_ALL = """
[[policy]]
name = "allow-all"
effect = "permit"
conditions = []
"""


def latency(samples: int) -> None:
    broadcaster = engine.InMemoryInvalidationBroadcaster()
    gate = engine.Gate(PERMIT_ALL, broadcaster=broadcaster)
    arrived = threading.Event()
    stamp = [0]

    def callback(scope):
        stamp[0] = time.perf_counter_ns()
        arrived.set()

    handle = engine.spawn_invalidation_listener(broadcaster, callback)
    ctx = engine.ActionContext("agent-1", "agent", "files.read", session_id=str(uuid.uuid4()),
                               origin_ip="10.0.0.1", ip="10.0.0.2")
    results = []
    for i in range(samples + 50):
        arrived.clear()
        verdict = gate.evaluate(ctx)
        returned = time.perf_counter_ns()
        assert verdict.is_invalidate
        if not arrived.wait(10):
            raise RuntimeError("callback did not run")
        if i >= 50:  # warm-up: threads of the blocking pool made on demand
            results.append((stamp[0] - returned) / 1000)
    handle.abort()
    results.sort()
    print(f"evaluate -> callback latency over {samples} decisions: "
          f"median {statistics.median(results):.1f} us, p90 {results[int(len(results) * 0.9)]:.1f} us, "
          f"min {results[0]:.1f} us")


def throughput(listeners: int, scopes: int, rounds: int = 3) -> None:
    publish_rates = []
    delivery_rates = []
    for _ in range(rounds):
        broadcaster = engine.InMemoryInvalidationBroadcaster()
        sinks = [[] for _ in range(listeners)]
        handles = [engine.spawn_invalidation_listener(broadcaster, sink.append) for sink in sinks]
        expected = listeners * scopes
        start = time.perf_counter()
        for i in range(scopes):
            broadcaster.publish("principal", "agent-1", "bench")
        published = time.perf_counter()
        deadline = published + 300
        while sum(len(s) for s in sinks) < expected:
            if time.perf_counter() > deadline:
                raise RuntimeError("listeners did not receive every scope")
            time.sleep(0.0005)
        done = time.perf_counter()
        publish_rates.append(scopes / (published - start))
        delivery_rates.append(expected / (done - start))
        for h in handles:
            h.abort()
    print(f"{listeners:5d} listeners x {scopes:4d} scopes: publish {statistics.median(publish_rates):12,.0f}/s, "
          f"delivered callbacks {statistics.median(delivery_rates):10,.0f}/s "
          f"(all delivered after {expected / statistics.median(delivery_rates) * 1000:.1f} ms)")


def main() -> None:
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    latency(samples)
    throughput(1, 1000)
    throughput(10, 1000)
    throughput(1000, 200)


if __name__ == "__main__":
    main()
