"""Python-level benchmark of Gate.evaluate with a RedisRateLimitStore.

Run with PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_redis.py [decisions].
Uses the server in OSTREL_TEST_REDIS_URL, or starts a throwaway redis-server
on a free loopback port (persistence off) and stops it at the end.

Reports decisions per second from one thread and from four threads (each
blocking call holds the interpreter lock while it waits, so threads take turns
on the Python side), and the commands and round trips per decision read from
INFO commandstats before and after: one MULTI..EXEC batch for the record and
one ZCOUNT per reached limit, i.e. two round trips with one rate-limited
policy.

This is a program, not a test: it asserts nothing about speed.
"""

import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from urllib.parse import urlparse

import _ostrel_engine as engine

RATE_LIMITED = """
[[policy]]
name = "limited"
effect = "permit"
conditions = [{ rate_limit = { max = 1000000000, window = "1m" } }]
"""

BATCHED = {"multi", "zadd", "zremrangebyscore", "expire", "exec"}


class Raw:
    """A minimal RESP client for INFO."""

    def __init__(self, url):
        u = urlparse(url)
        self.sock = socket.create_connection((u.hostname, u.port or 6379), timeout=10)
        self.reader = self.sock.makefile("rb")

    def cmd(self, *args):
        out = b"*%d\r\n" % len(args) + b"".join(b"$%d\r\n%s\r\n" % (len(a.encode()), a.encode()) for a in args)
        self.sock.sendall(out)
        line = self.reader.readline()
        if line[:1] == b"$":
            return self.reader.read(int(line[1:-2]) + 2)[:-2].decode()
        return line[1:-2].decode()

    def commandstats(self):
        stats = {}
        for line in self.cmd("INFO", "commandstats").splitlines():
            if line.startswith("cmdstat_"):
                name, _, fields = line[len("cmdstat_"):].partition(":")
                calls = dict(f.split("=") for f in fields.split(","))["calls"]
                stats[name] = int(calls)
        return stats


def start_server():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    workdir = tempfile.mkdtemp(prefix="ostrel-bench-redis-")
    proc = subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1", "--save", "",
                             "--appendonly", "no", "--dir", workdir],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    deadline = time.monotonic() + 10
    while True:
        try:
            Raw(url).cmd("PING")
            break
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.01)
    return url, proc, workdir


def run(gate, contexts, threads):
    per_thread = [contexts[i::threads] for i in range(threads)]

    def work(ctxs):
        for c in ctxs:
            if not gate.evaluate(c).is_permit:
                raise RuntimeError("unexpected refusal")

    workers = [threading.Thread(target=work, args=(p,)) for p in per_thread]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return len(contexts) / (time.perf_counter() - start)


def main() -> None:
    decisions = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    url = os.environ.get("OSTREL_TEST_REDIS_URL")
    proc = workdir = None
    if not url:
        url, proc, workdir = start_server()
    try:
        store = engine.RedisRateLimitStore.from_url(url)
        gate = engine.Gate(RATE_LIMITED, rate_store=store, enable_drift=False)
        raw = Raw(url)
        principal = "bench-" + uuid.uuid4().hex[:8]
        contexts = [engine.ActionContext(principal, "agent", "files.read") for _ in range(decisions)]
        run(gate, contexts[:200], 1)  # warm-up

        before = raw.commandstats()
        single = [run(gate, contexts, 1) for _ in range(3)]
        after = raw.commandstats()
        four = [run(gate, contexts, 4) for _ in range(3)]

        evaluated = decisions * 3
        delta = {k: after.get(k, 0) - before.get(k, 0) for k in after}
        delta.pop("info", None)
        commands = sum(delta.values())
        round_trips = delta.get("multi", 0) + sum(v for k, v in delta.items() if k not in BATCHED)
        print(f"server {urlparse(url).netloc}, {decisions} decisions per run, median of 3 runs")
        print(f"decisions/s, 1 thread : {statistics.median(single):10,.0f}  "
              f"({1e6 / statistics.median(single):.1f} us/decision)")
        print(f"decisions/s, 4 threads: {statistics.median(four):10,.0f}  "
              f"({1e6 / statistics.median(four):.1f} us/decision)")
        print(f"commands per decision : {commands / evaluated:.2f}  "
              + ", ".join(f"{k}={v / evaluated:.2f}" for k, v in sorted(delta.items()) if v))
        print(f"round trips/decision  : {round_trips / evaluated:.2f}  "
              f"(MULTI..EXEC written as one batch counts once)")

        # Per decision: INFO before and after each of a sample of decisions.
        per_decision = []
        for c in contexts[:200]:
            b = raw.commandstats()
            gate.evaluate(c)
            a = raw.commandstats()
            d = {k: a.get(k, 0) - b.get(k, 0) for k in a}
            d.pop("info", None)
            per_decision.append(d.get("multi", 0) + sum(v for k, v in d.items() if k not in BATCHED))
        print(f"median round trips per decision over {len(per_decision)} single decisions: "
              f"{statistics.median(per_decision):g} (min {min(per_decision)}, max {max(per_decision)})")
    finally:
        if proc is not None:
            proc.terminate()
            proc.wait(10)
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
