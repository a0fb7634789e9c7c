"""The Redis classes against a real server: RedisSessionStore,
RedisRateLimitStore and RedisInvalidationBroadcaster, alone and as the gate's
rate_store and broadcaster.

The shared server comes from OSTREL_TEST_REDIS_URL (scripts/run-tests starts
a throwaway one); the tests skip only when it is unset. Tests that stop and
restart a server start their own redis-server on a free loopback port. The
server is inspected over a raw socket, independent of the code under test."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import threading
import uuid
from urllib.parse import urlparse

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL, ctx
from test_listeners import LINE_PREFIX, Fd2Capture, Recorder, wait_until

REDIS_URL = os.environ.get("OSTREL_TEST_REDIS_URL")
pytestmark = pytest.mark.skipif(not REDIS_URL, reason="OSTREL_TEST_REDIS_URL is not set")

RATE_LIMITED = """
[[policy]]
name = "two-per-minute"
effect = "permit"
conditions = [{ rate_limit = { max = 2, window = "1m" } }]
"""

SESSION_KEYS = [
    "session_id",
    "started_at",
    "action_count",
    "action_history",
    "invalidated",
    "origin_ip",
    "origin_device",
    "origin_geo",
]


class ReplyError(Exception):
    pass


class RawRedis:
    """A minimal RESP client over a plain socket, for inspecting the server."""

    def __init__(self, url):
        u = urlparse(url)
        self.sock = socket.create_connection((u.hostname, u.port or 6379), timeout=10)
        self.reader = self.sock.makefile("rb")
        db = (u.path or "/0").lstrip("/") or "0"
        if db != "0":
            self.cmd("SELECT", db)

    def close(self):
        self.reader.close()
        self.sock.close()

    def cmd(self, *args):
        out = [b"*%d\r\n" % len(args)]
        for a in args:
            data = a if isinstance(a, bytes) else str(a).encode()
            out.append(b"$%d\r\n%s\r\n" % (len(data), data))
        self.sock.sendall(b"".join(out))
        return self._read()

    def _read(self):
        line = self.reader.readline()
        if not line:
            raise ConnectionError("server closed the connection")
        kind, rest = line[:1], line[1:-2]
        if kind == b"+":
            return rest.decode()
        if kind == b"-":
            raise ReplyError(rest.decode())
        if kind == b":":
            return int(rest)
        if kind == b"$":
            n = int(rest)
            return None if n < 0 else self.reader.read(n + 2)[:-2]
        if kind == b"*":
            n = int(rest)
            return None if n < 0 else [self._read() for _ in range(n)]
        raise ValueError(f"unexpected reply {line!r}")

    def numsub(self, channel):
        return self.cmd("PUBSUB", "NUMSUB", channel)[1]


@pytest.fixture
def raw():
    r = RawRedis(REDIS_URL)
    yield r
    r.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LocalRedis:
    """A redis-server of this test's own, which it can stop and start again."""

    def __init__(self):
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="ostrel-redis-")
        self.proc = None
        self.url = f"redis://127.0.0.1:{self.port}/0"

    def start(self):
        self.proc = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.dir],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )

        def answers():
            try:
                r = RawRedis(self.url)
                try:
                    return r.cmd("PING") == "PONG"
                finally:
                    r.close()
            except OSError:
                return False

        wait_until(answers, what="redis-server to answer")

    def stop(self):
        if self.proc is not None:
            self.proc.terminate()
            self.proc.wait(timeout=20)
            self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


@pytest.fixture
def local_redis():
    server = LocalRedis()
    server.start()
    yield server
    server.cleanup()


def unique(prefix):
    return f"{prefix}-{uuid.uuid4().hex[:12]}"


def session_record(raw, session_id):
    data = raw.cmd("GET", "ostrel:session:" + session_id)
    return None if data is None else json.loads(data)


def wait_subscribed(raw, channel, count):
    wait_until(lambda: raw.numsub(channel) == count, what=f"{count} bridge(s) subscribed to {channel}")


# ---------------------------------------------------------------------------
# Construction


def test_from_url_with_ttl_zero_is_refused_before_connecting():
    # An address nobody listens on: the TTL is checked first, so no connect.
    url = f"redis://127.0.0.1:{free_port()}/0"
    with pytest.raises(ValueError) as info:
        engine.RedisSessionStore.from_url_with_ttl(url, 0)
    assert str(info.value) == (
        "RedisSessionStore::from_url_with_ttl: session store: "
        "ttl_secs must be > 0 (Redis treats 0 as expire-now)"
    )
    with pytest.raises(OverflowError):
        engine.RedisSessionStore.from_url_with_ttl(REDIS_URL, -1)
    with pytest.raises(OverflowError):
        engine.RedisSessionStore.from_url_with_ttl(REDIS_URL, 2**64)
    with pytest.raises(TypeError, match="^argument 'ttl_secs': "):
        engine.RedisSessionStore.from_url_with_ttl(REDIS_URL, 1.5)


@pytest.mark.parametrize(
    "make, prefix",
    [
        (lambda url: engine.RedisSessionStore.from_url(url), "RedisSessionStore::from_url: session backend unavailable: "),
        (lambda url: engine.RedisSessionStore.from_url_with_ttl(url, 60),
         "RedisSessionStore::from_url_with_ttl: session backend unavailable: "),
        (lambda url: engine.RedisRateLimitStore.from_url(url), "RedisRateLimitStore::from_url: rate-limit backend unavailable: "),
        (lambda url: engine.RedisInvalidationBroadcaster.from_url(url, "c"),
         "RedisInvalidationBroadcaster::from_url: redis client error: "),
    ],
)
@pytest.mark.parametrize("url", ["", "http://localhost:6379", "redis://", "redis://host:notaport/0", "redis://h:1/x"])
def test_malformed_urls_raise_value_error(make, prefix, url):
    with pytest.raises(ValueError) as info:
        make(url)
    assert str(info.value).startswith(prefix)
    assert len(str(info.value)) > len(prefix)


CONSTRUCTORS = [
    ("RedisSessionStore::from_url", "session backend unavailable", lambda u: engine.RedisSessionStore.from_url(u)),
    ("RedisRateLimitStore::from_url", "rate-limit backend unavailable", lambda u: engine.RedisRateLimitStore.from_url(u)),
    ("RedisInvalidationBroadcaster::from_url", "redis connection manager",
     lambda u: engine.RedisInvalidationBroadcaster.from_url(u, "c")),
]


@pytest.mark.parametrize("context, kind, make", CONSTRUCTORS)
def test_refused_connection_fails_construction(context, kind, make):
    url = f"redis://127.0.0.1:{free_port()}/0"
    with pytest.raises(ValueError) as info:
        make(url)
    assert str(info.value).startswith(f"{context}: {kind}: ")


@pytest.mark.parametrize("context, kind, make", CONSTRUCTORS)
def test_unresponsive_server_fails_construction_after_the_connect_limit(context, kind, make):
    # A socket that accepts connections in the kernel but never answers.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(16)
        url = f"redis://127.0.0.1:{silent.getsockname()[1]}/0"
        with pytest.raises(ValueError) as info:
            make(url)
    assert str(info.value) == f"{context}: {kind}: redis connect timed out after 5s"


def test_rediss_urls_fail_the_initial_connection():
    u = urlparse(REDIS_URL)
    with pytest.raises(ValueError):
        engine.RedisSessionStore.from_url(f"rediss://{u.hostname}:{u.port}/0")


# ---------------------------------------------------------------------------
# Session store


def test_two_session_stores_see_each_others_invalidations(raw):
    a = engine.RedisSessionStore.from_url(REDIS_URL)
    b = engine.RedisSessionStore.from_url(REDIS_URL)
    sid = str(uuid.uuid4())
    assert b.is_invalidated(sid) is False
    assert a.invalidate(sid) is None
    assert b.is_invalidated(sid) is True
    assert a.is_invalidated(sid) is True
    assert b.is_invalidated(str(uuid.uuid4())) is False

    record = session_record(raw, sid)
    assert list(record) == SESSION_KEYS
    assert record["session_id"] == sid
    assert record["invalidated"] is True
    assert record["action_count"] == 0 and record["action_history"] == []


@pytest.mark.parametrize("session_id", ["abc", "", "not a uuid at all", "ünï"])
def test_poison_pill_under_a_non_uuid_id(raw, session_id):
    session_id = session_id + unique("x") if session_id else unique("")
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    store.invalidate(session_id)
    assert store.is_invalidated(session_id)
    record = session_record(raw, session_id)
    assert record["invalidated"] is True
    assert str(uuid.UUID(record["session_id"])) == record["session_id"]  # a fresh random id
    assert record["session_id"] != session_id


def test_upper_case_uuid_keeps_its_key_text_and_normalised_record_id(raw):
    u = uuid.uuid4()
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    store.invalidate(str(u).upper())
    assert session_record(raw, str(u).upper())["session_id"] == str(u)
    assert session_record(raw, str(u)) is None
    assert not store.is_invalidated(str(u))


def test_invalidate_keeps_every_other_field_of_a_stored_session(raw):
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    sid = str(uuid.uuid4())
    store.invalidate(sid)
    record = session_record(raw, sid)
    record.update(
        invalidated=False,
        action_count=7,
        action_history=["files.read", "files.write"],
        origin_ip="10.1.2.3",
    )
    raw.cmd("SET", "ostrel:session:" + sid, json.dumps(record, separators=(",", ":")))
    assert store.is_invalidated(sid) is False
    store.invalidate(sid)
    after = session_record(raw, sid)
    assert after == dict(record, invalidated=True)


def test_session_ttls(raw):
    default = engine.RedisSessionStore.from_url(REDIS_URL)
    short = engine.RedisSessionStore.from_url_with_ttl(REDIS_URL, 300)
    s1, s2 = str(uuid.uuid4()), str(uuid.uuid4())
    default.invalidate(s1)
    short.invalidate(s2)
    assert 86400 - 60 <= raw.cmd("TTL", "ostrel:session:" + s1) <= 86400
    assert 300 - 60 <= raw.cmd("TTL", "ostrel:session:" + s2) <= 300
    # Every write starts a fresh TTL.
    raw.cmd("EXPIRE", "ostrel:session:" + s2, 50)
    assert raw.cmd("TTL", "ostrel:session:" + s2) <= 50
    short.invalidate(s2)
    assert raw.cmd("TTL", "ostrel:session:" + s2) > 50
    # A TTL of one second is allowed (True counts as 1).
    engine.RedisSessionStore.from_url_with_ttl(REDIS_URL, True).invalidate(s1)
    assert raw.cmd("TTL", "ostrel:session:" + s1) <= 1


@pytest.mark.parametrize("stored", [b"not json", b'{"session_id":"x"}', b"[]", b"\xff\xfe"])
def test_corrupt_record_raises_runtime_error(raw, stored):
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    sid = unique("corrupt")
    raw.cmd("SET", "ostrel:session:" + sid, stored)
    for method in ("is_invalidated", "invalidate"):
        with pytest.raises(RuntimeError) as info:
            getattr(store, method)(sid)
        assert str(info.value).startswith(
            f"RedisSessionStore::{method}: session store corruption: session decode failed: "
        )
    # The corrupt value was not overwritten.
    assert raw.cmd("GET", "ostrel:session:" + sid) == stored


def test_wrong_type_under_the_key_is_a_backend_error(raw):
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    sid = unique("list")
    raw.cmd("RPUSH", "ostrel:session:" + sid, "x")
    with pytest.raises(RuntimeError, match="^RedisSessionStore::is_invalidated: session backend unavailable: "):
        store.is_invalidated(sid)


# ---------------------------------------------------------------------------
# Rate-limit store


def test_two_gates_sharing_one_store_enforce_one_limit(raw):
    store = engine.RedisRateLimitStore.from_url(REDIS_URL)
    g1 = engine.Gate(RATE_LIMITED, rate_store=store)
    g2 = engine.Gate(RATE_LIMITED, rate_store=store)
    who = unique("agent")
    verdicts = [g1.evaluate(ctx(principal_id=who, action="a")), g2.evaluate(ctx(principal_id=who, action="a")),
                g1.evaluate(ctx(principal_id=who, action="a")), g2.evaluate(ctx(principal_id=who, action="a"))]
    assert [v.is_permit for v in verdicts] == [True, True, False, False]
    assert verdicts[2].code == "NO_POLICY_MATCH"
    # Another action of the same principal has its own count.
    assert g2.evaluate(ctx(principal_id=who, action="b")).is_permit

    key = f"ostrel:rl:{who}:a"
    members = raw.cmd("ZRANGE", key, 0, -1, "WITHSCORES")
    assert len(members) == 8  # four events, member and score each
    for member, score in zip(members[::2], members[1::2]):
        seconds, _, event_id = member.decode().partition(":")
        assert seconds == score.decode()
        assert str(uuid.UUID(event_id)) == event_id
    assert 86400 - 60 <= raw.cmd("TTL", key) <= 86400


def test_separate_store_objects_share_counts_like_replicas():
    who = unique("replica")
    gates = [engine.Gate(RATE_LIMITED, rate_store=engine.RedisRateLimitStore.from_url(REDIS_URL)) for _ in range(2)]
    results = [gates[i % 2].evaluate(ctx(principal_id=who, action="x")).is_permit for i in range(4)]
    assert results == [True, True, False, False]
    # A gate with its private in-memory store knows nothing of them.
    assert engine.Gate(RATE_LIMITED).evaluate(ctx(principal_id=who, action="x")).is_permit


def test_rate_store_option_accepts_only_the_redis_rate_store():
    store = engine.RedisRateLimitStore.from_url(REDIS_URL)
    for wrong in (engine.RedisSessionStore.from_url(REDIS_URL), object(), "redis://"):
        with pytest.raises(TypeError, match="^argument 'rate_store': "):
            engine.Gate(RATE_LIMITED, rate_store=wrong)
    assert engine.Gate.from_json_string('{"policies": []}', rate_store=store).evaluator_count == 2


# ---------------------------------------------------------------------------
# Broadcaster


def test_scope_from_a_gate_reaches_listeners_on_the_same_channel_only(raw):
    channel, other_channel = unique("chan"), unique("chan")
    b1 = engine.RedisInvalidationBroadcaster.from_url(REDIS_URL, channel)
    b2 = engine.RedisInvalidationBroadcaster.from_url(REDIS_URL, channel)
    b3 = engine.RedisInvalidationBroadcaster.from_url(REDIS_URL, other_channel)
    recs = [Recorder() for _ in range(3)]
    handles = [engine.spawn_invalidation_listener(b, r) for b, r in zip((b1, b2, b3), recs)]
    try:
        wait_subscribed(raw, channel, 2)
        wait_subscribed(raw, other_channel, 1)
        gate = engine.Gate(PERMIT_ALL, broadcaster=b1)
        sid = str(uuid.uuid4())
        verdict = gate.evaluate(ctx(session_id=sid, origin_ip="10.0.0.1", ip="10.0.0.2"))
        assert verdict.is_invalidate
        for r in recs[:2]:
            r.wait_for(verdict.reason)
        # A marker on the other channel shows its listener is live, and alone.
        engine.Gate(PERMIT_ALL, broadcaster=b3).evaluate(ctx(origin_ip="10.0.0.7", ip="10.0.0.8"))
        wait_until(lambda: recs[2].scopes, what="the other channel's scope")
        for r in recs[:2]:
            assert [(s.target_kind, s.target_id, s.evaluator) for s in r.scopes] == [("session", sid, "drift")]
        assert [s.reason for s in recs[2].scopes] == ["IP changed mid-session: 10.0.0.7 \u2192 10.0.0.8"]
    finally:
        for h in handles:
            h.abort()


def test_malformed_messages_are_skipped_and_the_next_valid_one_delivered(raw):
    channel = unique("chan")
    b = engine.RedisInvalidationBroadcaster.from_url(REDIS_URL, channel)
    rec = Recorder()
    h = engine.spawn_invalidation_listener(b, rec)
    try:
        wait_subscribed(raw, channel, 1)
        for bad in [b"not json", b"\xff\xfe\xfd", b"{}", b'{"target":{"team":"x"},"reason":"r","evaluator":"e"}',
                    b'{"target":{"session":"nope"},"reason":"r","evaluator":"e"}', b"[1,2]"]:
            raw.cmd("PUBLISH", channel, bad)
        valid = {"target": {"role": "admin"}, "reason": "valid", "evaluator": "peer"}
        raw.cmd("PUBLISH", channel, json.dumps(valid))
        rec.wait_for("valid")
        assert len(rec.scopes) == 1
        s = rec.scopes[0]
        assert (s.target_kind, s.target_id, s.evaluator) == ("role", "admin", "peer")
        # Unknown keys are ignored.
        raw.cmd("PUBLISH", channel, json.dumps(dict(valid, reason="extra", x=1)))
        rec.wait_for("extra")
    finally:
        h.abort()


def test_broadcaster_option_and_listener_share_the_redis_broadcaster(raw):
    channel = unique("chan")
    b = engine.RedisInvalidationBroadcaster.from_url(REDIS_URL, channel)
    rec = Recorder()
    h = engine.spawn_invalidation_listener(b, rec)
    gate = engine.Gate(PERMIT_ALL, broadcaster=b)
    wait_subscribed(raw, channel, 1)
    del b
    # The gate and the listener keep the bridge alive.
    gate.evaluate(ctx(device=engine.DeviceFingerprint("a"), origin_device=engine.DeviceFingerprint("b")))
    rec.wait_for("device fingerprint changed mid-session")
    assert not h.is_finished
    # Releasing the last copy aborts the bridge; the listener then ends.
    del gate
    wait_until(lambda: h.is_finished, what="the listener to end")
    wait_subscribed(raw, channel, 0)


def test_blocking_redis_call_inside_callback_fails_with_the_internal_fault(raw):
    channel = unique("chan")
    b = engine.RedisInvalidationBroadcaster.from_url(REDIS_URL, channel)
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    caught = []

    def callback(scope):
        try:
            store.is_invalidated("x")
        except BaseException as e:
            caught.append(e)
            raise

    with Fd2Capture() as fd2:
        h = engine.spawn_invalidation_listener(b, callback)
        try:
            wait_subscribed(raw, channel, 1)
            raw.cmd("PUBLISH", channel, json.dumps({"target": {"role": "r"}, "reason": "go", "evaluator": "e"}))
            wait_until(lambda: fd2.lines(), what="the stderr line")
        finally:
            h.abort()
        assert not isinstance(caught[0], Exception)
        assert fd2.lines() == [LINE_PREFIX + type(caught[0]).__qualname__ + ": " + str(caught[0])]


# ---------------------------------------------------------------------------
# Server restarts


def test_server_down_fails_closed_and_everything_recovers_after_restart(local_redis):
    url = local_redis.url
    channel = unique("chan")
    sessions = engine.RedisSessionStore.from_url(url)
    rate = engine.RedisRateLimitStore.from_url(url)
    b = engine.RedisInvalidationBroadcaster.from_url(url, channel)
    limited = engine.Gate(RATE_LIMITED, rate_store=rate)
    drift_gate = engine.Gate(PERMIT_ALL, broadcaster=b)
    rec = Recorder()
    h = engine.spawn_invalidation_listener(b, rec)
    try:
        raw = RawRedis(url)
        wait_subscribed(raw, channel, 1)
        raw.close()
        drift_gate.evaluate(ctx(origin_ip="10.0.0.1", ip="10.0.0.2"))
        rec.wait_for("IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2")
        assert limited.evaluate(ctx(principal_id="p", action="a")).is_permit

        local_redis.stop()

        for method in ("invalidate", "is_invalidated"):
            with pytest.raises(RuntimeError) as info:
                getattr(sessions, method)("s")
            assert str(info.value).startswith(f"RedisSessionStore::{method}: session backend unavailable: ")
        refused = limited.evaluate(ctx(principal_id="p", action="a"))
        assert (refused.is_refuse, refused.code, refused.reason, refused.evaluator) == (
            True, "POLICY_DENIED", "rate-limit backend unavailable", "policy")
        # A failed publish never changes the verdict.
        assert drift_gate.evaluate(ctx(origin_ip="10.0.0.3", ip="10.0.0.4")).is_invalidate
        with pytest.raises(ValueError):
            engine.RedisSessionStore.from_url(url)

        local_redis.start()

        def sessions_work():
            try:
                sessions.invalidate("back")
                return sessions.is_invalidated("back")
            except RuntimeError:
                return False

        wait_until(sessions_work, what="the session store to reconnect")
        wait_until(lambda: limited.evaluate(ctx(principal_id="q", action="a")).is_permit,
                   what="the rate store to reconnect")
        raw = RawRedis(url)
        wait_subscribed(raw, channel, 1)
        raw.close()

        def delivered_again():
            drift_gate.evaluate(ctx(origin_ip="10.0.0.5", ip="10.0.0.6"))
            return "IP changed mid-session: 10.0.0.5 \u2192 10.0.0.6" in rec.reasons()

        # The publishing connection may need a moment longer than the bridge.
        wait_until(delivered_again, what="delivery after the restart")
        # The scope published while the server was down never arrives.
        assert "IP changed mid-session: 10.0.0.3 \u2192 10.0.0.4" not in rec.reasons()
    finally:
        h.abort()


def test_operations_wait_for_the_gil_free_runtime_from_many_threads():
    """Blocking calls from several Python threads at once share the managed
    connections without deadlocking (each holds the interpreter lock while it
    waits; the runtime never needs it)."""
    store = engine.RedisSessionStore.from_url(REDIS_URL)
    rate = engine.RedisRateLimitStore.from_url(REDIS_URL)
    gate = engine.Gate(RATE_LIMITED, rate_store=rate)
    errors = []
    prefix = unique("t")

    def work(i):
        try:
            for j in range(30):
                sid = f"{prefix}-{i}-{j}"
                store.invalidate(sid)
                assert store.is_invalidated(sid)
                gate.evaluate(ctx(principal_id=f"{prefix}-{i}", action="a"))
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
