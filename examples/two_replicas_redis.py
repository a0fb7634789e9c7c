"""Two replicas of one service sharing state through Redis.

Each replica builds its own gate, but both use the same Redis server for
rate-limit counts (so a limit holds across the fleet, not per process), for
session revocations (a session revoked on one replica is refused on the
other) and for invalidation fan-out (an invalidation decided on replica A
reaches the listeners on replica B). In production the two halves run in
different processes or machines; here they share one process for brevity.

    redis-server --port 6390 --save '' &
    PYTHONPATH=build/python python3 examples/two_replicas_redis.py redis://127.0.0.1:6390/0
"""

import sys
import threading
import uuid

import ostrel
from ostrel import Guard, GuardDenied

POLICY = """
[[policy]]
name = "exports"
effect = "permit"
conditions = [{ action = "reports.export" }, { rate_limit = { max = 3, window = "1m" } }]

[[policy]]
name = "reads"
effect = "permit"
conditions = [{ action = "reports.read" }]
"""


class Replica:
    def __init__(self, name: str, url: str, channel: str) -> None:
        self.name = name
        self.rate_store = ostrel.RedisRateLimitStore.from_url(url)
        self.broadcaster = ostrel.RedisInvalidationBroadcaster.from_url(url, channel)
        self.sessions = ostrel.RedisSessionStore.from_url_with_ttl(url, 3600)
        self.gate = ostrel.Gate(POLICY, rate_store=self.rate_store, broadcaster=self.broadcaster)
        self.heard = []
        self.arrived = threading.Event()
        self.listener = ostrel.spawn_invalidation_listener(self.broadcaster, self._on_invalidation)

    def _on_invalidation(self, scope) -> None:
        # Runs on a runtime thread for every invalidation any replica publishes.
        # Blocking engine calls (a store's invalidate, say) fail inside it, so
        # it only records; the guard that saw the verdict has already marked
        # the session in the shared Redis session store.
        self.heard.append(scope)
        self.arrived.set()

    def guard(self, principal: str, session_id: str, ip: str, origin_ip: str = "192.0.2.1") -> Guard:
        # The session started from origin_ip; ip is where this request comes from.
        return Guard(self.gate, principal_id=principal, principal_kind="service", session_id=session_id,
                     ip=ip, origin_ip=origin_ip, session_store=self.sessions)


def attempt(replica: Replica, guard: Guard, action: str) -> None:
    try:
        guard.check(action)
        print(f"  {replica.name}: {action:<15} permit")
    except GuardDenied as denied:
        print(f"  {replica.name}: {action:<15} {denied.kind} [{denied.code or '-'}] {denied.reason}")


def main(url: str) -> int:
    channel = f"ostrel:invalidations:{uuid.uuid4()}"
    try:
        a, b = Replica("replica-a", url, channel), Replica("replica-b", url, channel)
    except ValueError as exc:
        print(f"cannot reach Redis at {url}: {exc}", file=sys.stderr)
        return 1

    principal = f"exporter-{uuid.uuid4().hex[:8]}"  # a fresh rate-limit key for this run
    session = str(uuid.uuid4())
    print("one rate limit (3 exports a minute) for the whole fleet:")
    on_a, on_b = a.guard(principal, session, "192.0.2.1"), b.guard(principal, session, "192.0.2.1")
    for guard, replica in ((on_a, a), (on_b, b), (on_a, a), (on_b, b)):
        attempt(replica, guard, "reports.export")

    print("drift on replica A revokes the session everywhere:")
    moved = a.guard(principal, session, "198.51.100.9")  # same session, new address
    attempt(a, moved, "reports.read")
    if b.arrived.wait(5.0):
        print(f"  replica-b listener heard {b.heard[0]!r}")
    fresh_b = b.guard(principal, session, "192.0.2.1")
    attempt(b, fresh_b, "reports.read")

    for replica in (a, b):
        replica.listener.abort()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "redis://127.0.0.1:6379/0"))
