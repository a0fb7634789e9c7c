"""Invalidation listeners: spawn_invalidation_listener, InvalidationScope,
InvalidationListenerHandle, and the gate's invalidations reaching them.

Callbacks run on background threads; every test waits for what it expects
with a deadline instead of sleeping."""

import gc
import os
import tempfile
import threading
import time
import uuid

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL, ctx

DEADLINE = 20.0
LINE_PREFIX = "[ostrel] invalidation listener callback raised, continuing: "


def wait_until(predicate, timeout=DEADLINE, what="condition"):
    """Polls `predicate` until it holds; fails the test at the deadline."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.002)


class Fd2Capture:
    """Redirects file descriptor 2 (not sys.stderr) to a temporary file."""

    def __init__(self):
        self._file = tempfile.TemporaryFile(mode="w+b")
        self._saved = None

    def __enter__(self):
        self._saved = os.dup(2)
        os.dup2(self._file.fileno(), 2)
        return self

    def __exit__(self, *exc):
        os.dup2(self._saved, 2)
        os.close(self._saved)
        self._file.close()

    def text(self):
        self._file.seek(0)
        return self._file.read().decode("utf-8", "replace")

    def lines(self):
        return [l for l in self.text().splitlines() if l.startswith(LINE_PREFIX)]


class Recorder:
    """A callback that records every scope it receives."""

    def __init__(self):
        self.scopes = []
        self._lock = threading.Lock()

    def __call__(self, scope):
        with self._lock:
            self.scopes.append(scope)

    def reasons(self):
        with self._lock:
            return [s.reason for s in self.scopes]

    def wait_for(self, reason, timeout=DEADLINE):
        wait_until(lambda: reason in self.reasons(), timeout, f"scope {reason!r}")


@pytest.fixture
def broadcaster():
    return engine.InMemoryInvalidationBroadcaster()


@pytest.fixture
def listen(broadcaster):
    """Spawns listeners on the fixture's broadcaster and aborts them afterwards."""
    handles = []

    def spawn(callback, on=None):
        h = engine.spawn_invalidation_listener(on if on is not None else broadcaster, callback)
        handles.append(h)
        return h

    yield spawn
    for h in handles:
        h.abort()


# ---------------------------------------------------------------------------
# Delivery and the scope object


def test_role_scope_with_default_evaluator_reaches_the_callback(broadcaster, listen):
    received = []
    listen(received.append)
    broadcaster.publish("role", "admin", "rotated credentials")
    wait_until(lambda: len(received) == 1, what="one scope")
    scope = received[0]
    assert type(scope) is engine.InvalidationScope
    assert (scope.target_kind, scope.target_id, scope.reason, scope.evaluator) == (
        "role",
        "admin",
        "rotated credentials",
        "manual",
    )
    assert repr(scope) == "InvalidationScope(target_kind=role, target_id=admin, evaluator=manual)"
    with pytest.raises(AttributeError):
        scope.reason = "changed"
    with pytest.raises(TypeError):
        engine.InvalidationScope()


@pytest.mark.parametrize(
    "kind, target_id, shown_id",
    [
        ("principal", "agent-7", "agent-7"),
        ("principal", "", ""),
        ("role", "ops team", "ops team"),
        # Sessions are shown in lower-case hyphenated form, whatever was published.
        ("session", "6F9619FF-8B86-D011-B42D-00C04FC964FF", "6f9619ff-8b86-d011-b42d-00c04fc964ff"),
        ("session", "6f9619ff8b86d011b42d00c04fc964ff", "6f9619ff-8b86-d011-b42d-00c04fc964ff"),
    ],
)
def test_scope_properties_by_target_kind(broadcaster, listen, kind, target_id, shown_id):
    rec = Recorder()
    listen(rec)
    broadcaster.publish(kind, target_id, "why", evaluator="ops")
    rec.wait_for("why")
    scope = rec.scopes[0]
    assert (scope.target_kind, scope.target_id, scope.evaluator) == (kind, shown_id, "ops")
    assert repr(scope) == f"InvalidationScope(target_kind={kind}, target_id={shown_id}, evaluator=ops)"


def test_scopes_arrive_one_at_a_time_in_publication_order(broadcaster, listen):
    active = []
    overlaps = []
    order = []

    def callback(scope):
        active.append(1)
        if len(active) > 1:
            overlaps.append(scope.reason)
        order.append(scope.reason)
        active.pop()

    listen(callback)
    reasons = [f"r{i}" for i in range(300)]
    for r in reasons:
        broadcaster.publish("principal", "p", r)
    wait_until(lambda: len(order) == len(reasons), what="all scopes")
    assert order == reasons
    assert overlaps == []


def test_scope_published_before_spawn_is_not_delivered(broadcaster, listen):
    broadcaster.publish("role", "r", "before")
    rec = Recorder()
    listen(rec)
    broadcaster.publish("role", "r", "after")
    rec.wait_for("after")
    assert rec.reasons() == ["after"]


def test_every_listener_receives_every_scope(broadcaster, listen):
    recs = [Recorder() for _ in range(5)]
    for r in recs:
        listen(r)
    assert broadcaster.subscriber_count == 5
    broadcaster.publish("role", "x", "one")
    broadcaster.publish("role", "x", "two")
    for r in recs:
        wait_until(lambda r=r: r.reasons() == ["one", "two"], what="both scopes")


def test_spawn_rejects_other_objects_with_value_error():
    for wrong in (object(), None, engine.InMemorySessionStore(), "broadcaster"):
        with pytest.raises(ValueError) as info:
            engine.spawn_invalidation_listener(wrong, print)
        assert str(info.value) == (
            "broadcaster must be InMemoryInvalidationBroadcaster or RedisInvalidationBroadcaster"
        )
    with pytest.raises(TypeError):
        engine.spawn_invalidation_listener(engine.InMemoryInvalidationBroadcaster())


def test_spawn_keeps_the_callback_alive(broadcaster, listen):
    got = []

    class Callback:
        def __call__(self, scope):
            got.append(scope.reason)

    listen(Callback())  # no other reference to the callback
    gc.collect()
    broadcaster.publish("role", "r", "still here")
    wait_until(lambda: got == ["still here"], what="delivery to the only-held callback")


# ---------------------------------------------------------------------------
# Failing callbacks


def test_raising_callback_writes_one_line_to_fd2_and_listener_goes_on(broadcaster, listen):
    rec = Recorder()

    def callback(scope):
        rec(scope)
        if scope.reason == "explode":
            raise ValueError("boom")

    with Fd2Capture() as fd2:
        listen(callback)
        broadcaster.publish("role", "r", "explode")
        broadcaster.publish("role", "r", "next")
        rec.wait_for("next")
        wait_until(lambda: fd2.lines(), what="the stderr line")
        assert fd2.lines() == [LINE_PREFIX + "ValueError: boom"]
        assert rec.reasons() == ["explode", "next"]


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text for you")


class Outer:
    class Nested(Exception):
        pass


@pytest.mark.parametrize(
    "make_callback, expected",
    [
        (lambda: (lambda scope: 1 / 0), "ZeroDivisionError: division by zero"),
        (lambda: _raiser(BadStr()), "BadStr: <exception str() failed>"),
        (lambda: _raiser(Outer.Nested("deep")), "Outer.Nested: deep"),
        (lambda: _raiser(KeyboardInterrupt()), "KeyboardInterrupt: "),
        (lambda: _raiser(SystemExit(3)), "SystemExit: 3"),
        (lambda: 42, "TypeError: 'int' object is not callable"),
        (lambda: (lambda: None), None),  # wrong arity: a TypeError naming the function
    ],
)
def test_callback_failures_are_reported_and_swallowed(broadcaster, listen, make_callback, expected):
    witness = Recorder()
    with Fd2Capture() as fd2:
        listen(make_callback())
        listen(witness)
        broadcaster.publish("role", "r", "first")
        broadcaster.publish("role", "r", "second")
        witness.wait_for("second")
        wait_until(lambda: len(fd2.lines()) == 2, what="two stderr lines")
        lines = fd2.lines()
        if expected is None:
            assert all(l.startswith(LINE_PREFIX + "TypeError: ") for l in lines), lines
        else:
            assert lines == [LINE_PREFIX + expected] * 2


def _raiser(exc):
    def callback(scope):
        raise exc

    return callback


def test_callback_exception_does_not_reach_python_code(broadcaster, listen):
    with Fd2Capture() as fd2:
        listen(_raiser(ValueError("hidden")))
        witness = Recorder()
        listen(witness)
        broadcaster.publish("role", "r", "x")
        witness.wait_for("x")
        wait_until(lambda: fd2.lines(), what="the stderr line")
        # The main thread has no pending error and keeps working.
        assert engine.InMemorySessionStore().len == 0


@pytest.mark.filterwarnings("ignore:coroutine .* was never awaited:RuntimeWarning")
def test_returned_coroutine_is_not_awaited(broadcaster, listen):
    ran = []
    returned = []

    async def body(scope):
        ran.append(scope.reason)

    def callback(scope):
        coro = body(scope)
        returned.append(type(coro).__name__)
        return coro

    with Fd2Capture() as fd2:
        listen(callback)
        broadcaster.publish("role", "r", "co")
        broadcaster.publish("role", "r", "co2")
        wait_until(lambda: len(returned) == 2, what="both callbacks")
        assert returned == ["coroutine", "coroutine"]
        assert ran == []
        assert fd2.lines() == []


# ---------------------------------------------------------------------------
# Blocking calls from a callback


def blocking_calls():
    gate = engine.Gate(PERMIT_ALL)
    store = engine.InMemorySessionStore()
    other = engine.InMemoryInvalidationBroadcaster()
    return {
        "Gate.evaluate": lambda: gate.evaluate(ctx()),
        "InMemorySessionStore.invalidate": lambda: store.invalidate("s"),
        "InMemorySessionStore.is_invalidated": lambda: store.is_invalidated("s"),
        "InMemoryInvalidationBroadcaster.publish": lambda: other.publish("role", "r", "x"),
    }


@pytest.mark.parametrize("name", sorted(blocking_calls()))
def test_blocking_call_inside_callback_fails_with_internal_fault(broadcaster, listen, name):
    call = blocking_calls()[name]
    caught = []

    def callback(scope):
        if scope.reason == "call":
            try:
                call()
            except BaseException as e:  # the fault is not an Exception
                caught.append(e)
                raise

    with Fd2Capture() as fd2:
        rec = Recorder()
        listen(callback)
        listen(rec)
        broadcaster.publish("role", "r", "call")
        broadcaster.publish("role", "r", "after")
        wait_until(lambda: caught, what="the fault")
        rec.wait_for("after")
        fault = caught[0]
        assert not isinstance(fault, Exception)
        assert isinstance(fault, BaseException)
        assert type(fault).__bases__ == (BaseException,)
        assert str(fault)
        wait_until(lambda: fd2.lines(), what="the stderr line")
        assert fd2.lines() == [LINE_PREFIX + type(fault).__qualname__ + ": " + str(fault)]

        # The same call from a Python thread works.
        call()


def test_reads_that_do_not_block_work_inside_callbacks(broadcaster, listen):
    seen = []

    def callback(scope):
        seen.append((broadcaster.subscriber_count, repr(scope), scope.target_id))

    listen(callback)
    broadcaster.publish("principal", "p-9", "x")
    wait_until(lambda: seen, what="the callback")
    assert seen == [(1, "InvalidationScope(target_kind=principal, target_id=p-9, evaluator=manual)", "p-9")]


# ---------------------------------------------------------------------------
# Handles: abort, is_finished, subscriber counts


def test_abort_twice_and_is_finished(broadcaster):
    rec = Recorder()
    witness = Recorder()
    h = engine.spawn_invalidation_listener(broadcaster, rec)
    w = engine.spawn_invalidation_listener(broadcaster, witness)
    try:
        assert type(h) is engine.InvalidationListenerHandle
        assert h.is_finished is False
        assert h.abort() is None
        assert h.is_finished is True
        assert h.abort() is None
        assert h.is_finished is True
        # After abort the callback is not called again.
        broadcaster.publish("role", "r", "after abort")
        witness.wait_for("after abort")
        wait_until(lambda: broadcaster.subscriber_count == 1, what="the aborted task to stop")
        broadcaster.publish("role", "r", "later")
        witness.wait_for("later")
        assert rec.reasons() == []
    finally:
        w.abort()


def test_subscriber_count_follows_live_listeners(broadcaster):
    assert broadcaster.subscriber_count == 0
    handles = [engine.spawn_invalidation_listener(broadcaster, print) for _ in range(3)]
    assert broadcaster.subscriber_count == 3
    handles[1].abort()
    wait_until(lambda: broadcaster.subscriber_count == 2, what="count 2")
    # Dropping a handle does not stop its task.
    del handles[0]
    gc.collect()
    assert broadcaster.subscriber_count == 2
    for h in handles[1:]:
        h.abort()
    wait_until(lambda: broadcaster.subscriber_count == 1, what="count 1 (the dropped handle's task)")


def test_listeners_end_after_the_last_holder_of_the_broadcaster_goes():
    b = engine.InMemoryInvalidationBroadcaster()
    rec = Recorder()
    h = engine.spawn_invalidation_listener(b, rec)
    gate = engine.Gate(PERMIT_ALL, broadcaster=b)
    for i in range(5):
        b.publish("role", "r", f"q{i}")
    del b
    gc.collect()
    # The gate still holds the broadcaster: the listener keeps running.
    rec.wait_for("q4")
    assert h.is_finished is False
    del gate
    gc.collect()
    wait_until(lambda: h.is_finished, what="the listener to end")
    assert rec.reasons() == [f"q{i}" for i in range(5)]
    assert h.abort() is None  # aborting a finished listener is harmless


def test_queued_scopes_are_delivered_before_the_channel_closes():
    b = engine.InMemoryInvalidationBroadcaster()
    release = threading.Event()
    got = []

    def callback(scope):
        got.append(scope.reason)
        if scope.reason == "hold":
            release.wait(DEADLINE)

    h = engine.spawn_invalidation_listener(b, callback)
    b.publish("role", "r", "hold")
    wait_until(lambda: got == ["hold"], what="the held callback")
    for i in range(10):
        b.publish("role", "r", f"q{i}")
    del b
    gc.collect()
    release.set()
    wait_until(lambda: h.is_finished, what="the listener to drain and end")
    assert got == ["hold"] + [f"q{i}" for i in range(10)]


def test_abort_while_callback_is_blocked_stops_further_callbacks(broadcaster):
    release = threading.Event()
    entered = threading.Event()
    got = []

    def callback(scope):
        got.append(scope.reason)
        entered.set()
        release.wait(DEADLINE)

    h = engine.spawn_invalidation_listener(broadcaster, callback)
    broadcaster.publish("role", "r", "a")
    assert entered.wait(DEADLINE)
    broadcaster.publish("role", "r", "b")
    h.abort()
    release.set()
    wait_until(lambda: broadcaster.subscriber_count == 0, what="the task to stop")
    witness = Recorder()
    w = engine.spawn_invalidation_listener(broadcaster, witness)
    broadcaster.publish("role", "r", "c")
    witness.wait_for("c")
    w.abort()
    assert got == ["a"]


def test_lagging_listener_loses_exactly_the_oldest_and_gets_the_newest_1024_in_order(broadcaster):
    release = threading.Event()
    blocked = threading.Event()
    got = []

    def callback(scope):
        got.append(scope.reason)
        if scope.reason == "block":
            blocked.set()
            release.wait(DEADLINE * 3)

    h = engine.spawn_invalidation_listener(broadcaster, callback)
    try:
        broadcaster.publish("role", "r", "block")
        assert blocked.wait(DEADLINE)
        for i in range(1025):
            broadcaster.publish("role", "r", f"m{i}")
        release.set()
        wait_until(lambda: len(got) == 1025, what="the queued scopes")
        # m0 was dropped (the lag of one); m1..m1024 arrive in order.
        assert got == ["block"] + [f"m{i}" for i in range(1, 1025)]
        # Nothing else was pending: the next scope is the next delivered.
        broadcaster.publish("role", "r", "end")
        wait_until(lambda: got[-1] == "end", what="the end marker")
        assert len(got) == 1026
    finally:
        release.set()
        h.abort()


# ---------------------------------------------------------------------------
# The gate publishes its invalidations


def test_drift_invalidation_from_the_gate_reaches_listeners(broadcaster, listen):
    rec = Recorder()
    listen(rec)
    gate = engine.Gate(PERMIT_ALL, broadcaster=broadcaster)
    sid = str(uuid.uuid4())
    verdict = gate.evaluate(ctx(session_id=sid, origin_ip="10.0.0.1", ip="10.0.0.2"))
    assert verdict.is_invalidate and verdict.evaluator == "drift"
    reason = "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2"
    assert verdict.reason == reason
    rec.wait_for(reason)
    scope = rec.scopes[0]
    assert (scope.target_kind, scope.target_id, scope.evaluator) == ("session", sid, "drift")
    # Permits and refusals publish nothing.
    assert gate.evaluate(ctx(session_id=sid)).is_permit
    broadcaster.publish("role", "r", "marker")
    rec.wait_for("marker")
    assert rec.reasons() == [reason, "marker"]


def test_gate_without_broadcaster_publishes_nowhere(broadcaster, listen):
    rec = Recorder()
    listen(rec)
    gate = engine.Gate(PERMIT_ALL)
    assert gate.evaluate(ctx(origin_ip="10.0.0.1", ip="10.0.0.2")).is_invalidate
    broadcaster.publish("role", "r", "marker")
    rec.wait_for("marker")
    assert rec.reasons() == ["marker"]


def test_two_gates_share_one_broadcaster(broadcaster, listen):
    rec = Recorder()
    listen(rec)
    gates = [engine.Gate(PERMIT_ALL, broadcaster=broadcaster) for _ in range(2)]
    sids = [str(uuid.uuid4()) for _ in gates]
    for gate, sid in zip(gates, sids):
        assert gate.evaluate(ctx(session_id=sid, origin_ip="10.0.0.1", ip="10.0.0.9")).is_invalidate
    wait_until(lambda: len(rec.scopes) == 2, what="both invalidations")
    assert [s.target_id for s in rec.scopes] == sids


def test_listener_callback_can_mark_sessions_in_a_store_after_the_fact(broadcaster, listen):
    """The usual wiring: a listener queues invalidated sessions and the host
    thread applies them to its session store (store methods block, so they
    are not called from the callback itself)."""
    store = engine.InMemorySessionStore()
    pending = []
    listen(lambda scope: pending.append(scope.target_id))
    gate = engine.Gate(PERMIT_ALL, broadcaster=broadcaster)
    sid = str(uuid.uuid4())
    gate.evaluate(ctx(session_id=sid, device=engine.DeviceFingerprint("new"),
                      origin_device=engine.DeviceFingerprint("old")))
    wait_until(lambda: pending, what="the invalidated session")
    for s in pending:
        store.invalidate(s)
    assert store.is_invalidated(sid)
