"""The audit classes: AuditEntry, SignedAuditChain and ManagedAuditChain."""

import gc
import json
import threading
import time

import pytest

import _ostrel_engine as engine


@pytest.fixture(scope="module")
def keypair():
    return engine.OstrelKeyPair.generate()


@pytest.fixture(scope="module")
def bundle(keypair):
    return keypair.public_keys()


def entry(n=0, **kw):
    return engine.AuditEntry(f"agent-{n}", "tool.call", "permit", "allowed", **kw)


def wait_for(cond, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if cond():
            return True
        time.sleep(0.005)
    return cond()


# ---- text signatures ---------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, text",
    [
        (engine.AuditEntry, "(principal_id, action_name, verdict, verdict_detail, resource=None, "
                            "decided_by=None, ip=None, evaluation_id=None, session_id=None)"),
        (engine.SignedAuditChain, "(keypair, hybrid=True)"),
        (engine.ManagedAuditChain, "(keypair, sink_path, hybrid=True, max_entries=None, max_bytes=None, "
                                   "flush_interval_secs=None, min_retained=256, on_sink_failure=..., "
                                   "buffer_ceiling=1000000)"),
    ],
)
def test_class_text_signatures(cls, text):
    assert cls.__text_signature__ == text
    assert cls.__module__ == "_ostrel_engine"


@pytest.mark.parametrize(
    "method, text",
    [
        (engine.SignedAuditChain.append, "($self, entry)"),
        (engine.SignedAuditChain.verify, "($self, public_keys)"),
        (engine.SignedAuditChain.export_jsonl, "($self)"),
        (engine.SignedAuditChain.verify_jsonl, "(data, public_keys, hybrid=None)"),
        (engine.SignedAuditChain.prune_before, "($self, before)"),
        (engine.SignedAuditChain.entries_since_jsonl, "($self, from)"),
        (engine.SignedAuditChain.verify_jsonl_segments, "(segments, public_keys, hybrid=None)"),
        (engine.ManagedAuditChain.append, "($self, entry)"),
        (engine.ManagedAuditChain.flush, "($self)"),
        (engine.ManagedAuditChain.drain, "($self)"),
        (engine.ManagedAuditChain.export_tail_jsonl, "($self)"),
        (engine.ManagedAuditChain.stats, "($self)"),
    ],
)
def test_method_text_signatures(method, text):
    assert method.__text_signature__ == text


def test_registered_in_order_after_the_key_classes():
    names = [n for n in vars(engine) if not n.startswith("_")]
    i = names.index("AuditEntry")
    assert names[i:i + 3] == ["AuditEntry", "SignedAuditChain", "ManagedAuditChain"]
    assert names[i - 1] == "PublicKeyBundle"


# ---- AuditEntry ----------------------------------------------------------------------


def test_entry_properties_and_repr():
    e = engine.AuditEntry('ag"ent', "db.read", "refuse", "no match", resource="t/1", decided_by="policy",
                          ip="not-an-ip-is-fine")
    assert e.principal_id == 'ag"ent'
    assert e.action_name == "db.read"
    assert e.verdict == "refuse"
    assert len(e.id) == 36 and e.id == e.id.lower() and e.id.count("-") == 4
    assert repr(e) == 'AuditEntry(principal=ag"ent, action=db.read, verdict=refuse)'
    assert entry().id != entry().id


@pytest.mark.parametrize("verdict", ["PERMIT", "Permit", "allow", ""])
def test_entry_verdict_is_checked_exactly(verdict):
    with pytest.raises(ValueError) as info:
        engine.AuditEntry("p", "a", verdict, "d")
    assert str(info.value) == f"verdict must be 'permit'|'refuse'|'invalidate', got '{verdict}'"


@pytest.mark.parametrize("field", ["evaluation_id", "session_id"])
def test_entry_uuid_fields(field):
    with pytest.raises(ValueError) as info:
        engine.AuditEntry("p", "a", "permit", "d", **{field: "not-a-uuid"})
    assert str(info.value).startswith(f"{field} not a UUID: ")
    assert len(str(info.value)) > len(f"{field} not a UUID: ")
    for form in ["0123456789ABCDEF0123456789abcdef", "{01234567-89ab-cdef-0123-456789abcdef}",
                 "urn:uuid:01234567-89ab-cdef-0123-456789abcdef"]:
        engine.AuditEntry("p", "a", "invalidate", "d", **{field: form})


def test_entry_checks_verdict_before_uuids():
    with pytest.raises(ValueError, match="^verdict must be"):
        engine.AuditEntry("p", "a", "nope", "d", session_id="bad")


def test_entry_argument_types():
    with pytest.raises(TypeError, match="^argument 'principal_id': "):
        engine.AuditEntry(1, "a", "permit", "d")
    with pytest.raises(TypeError, match="^argument 'resource': "):
        engine.AuditEntry("p", "a", "permit", "d", resource=b"x")
    with pytest.raises(TypeError):
        engine.AuditEntry("p", "a", "permit")


def test_entry_payload_carries_the_given_fields(keypair):
    chain = engine.SignedAuditChain(keypair)
    chain.append(engine.AuditEntry("p", "a", "permit", "d", session_id="01234567-89AB-cdef-0123-456789abcdef"))
    line = json.loads(chain.export_jsonl())
    payload = json.loads(bytes(line["signed_payload"]["data"]))
    assert list(payload) == ["id", "evaluation_id", "timestamp", "principal_id", "action_name", "resource",
                             "verdict", "verdict_detail", "decided_by", "session_id", "ip", "context_snapshot"]
    assert payload["session_id"] == "01234567-89ab-cdef-0123-456789abcdef"
    assert payload["resource"] is None and payload["context_snapshot"] is None
    assert payload["timestamp"].endswith("Z")


# ---- SignedAuditChain ----------------------------------------------------------------


def test_chain_appends_and_properties(keypair, bundle):
    chain = engine.SignedAuditChain(keypair)
    assert chain.is_hybrid is True
    assert chain.is_empty and len(chain) == 0 and chain.length == 0
    assert chain.head_hash == "genesis" == chain.anchor_hash
    assert chain.export_jsonl() == b""
    assert chain.append(entry(1)) == 1
    assert chain.append(entry(2)) == 2
    assert len(chain) == chain.length == 2
    assert chain.resident_entries == 2 and chain.base_index == 0
    assert len(chain.head_hash) == 64
    chain.verify(bundle)
    data = chain.export_jsonl()
    assert isinstance(data, bytes) and data.endswith(b"\n") and data.count(b"\n") == 2
    assert engine.SignedAuditChain.verify_jsonl(data, bundle) == 2
    assert engine.SignedAuditChain.verify_jsonl(data, bundle, hybrid=True) == 2


def test_chain_modes(keypair, bundle):
    pq = engine.SignedAuditChain(keypair, hybrid=False)
    assert pq.is_hybrid is False
    pq.append(entry())
    pq.verify(bundle)
    assert engine.SignedAuditChain.verify_jsonl(pq.export_jsonl(), bundle) == 1
    hybrid = engine.SignedAuditChain(keypair)
    hybrid.append(entry())
    with pytest.raises(ValueError) as info:
        engine.SignedAuditChain.verify_jsonl(hybrid.export_jsonl(), bundle, hybrid=False)
    assert str(info.value) == "audit chain mode mismatch: caller expected hybrid=false but chain is hybrid"
    with pytest.raises(ValueError) as info:
        engine.SignedAuditChain.verify_jsonl(pq.export_jsonl(), bundle, True)
    assert str(info.value) == "audit chain mode mismatch: caller expected hybrid=true but chain is pq-only"
    # A hybrid line spliced after a PQ-only one.
    with pytest.raises(ValueError) as info:
        engine.SignedAuditChain.verify_jsonl(pq.export_jsonl() + hybrid.export_jsonl(), bundle)
    assert str(info.value) == ("audit chain parse failed: audit chain broken at entry 0: chain mode inconsistent: "
                               "started as pq-only, entry is hybrid (possible splice)")
    with pytest.raises(TypeError, match="^argument 'hybrid': "):
        engine.SignedAuditChain(keypair, 1)


def test_verify_jsonl_empty_and_bad_input(keypair, bundle):
    assert engine.SignedAuditChain.verify_jsonl(b"", bundle) == 0
    assert engine.SignedAuditChain.verify_jsonl(b"\n\n", bundle, hybrid=False) == 0
    chain = engine.SignedAuditChain(keypair)
    chain.append(entry())
    good = chain.export_jsonl()
    with pytest.raises(ValueError) as info:
        engine.SignedAuditChain.verify_jsonl(good + b"{broken\n", bundle)
    assert str(info.value).startswith("audit chain parse failed: serialization error: parse failed at entry #1: ")
    with pytest.raises(TypeError, match="^argument 'data': "):
        engine.SignedAuditChain.verify_jsonl(bytearray(good), bundle)
    tampered = good.replace(b'"index":0', b'"index":1')
    with pytest.raises(ValueError) as info:
        engine.SignedAuditChain.verify_jsonl(tampered, bundle)
    assert str(info.value) == ("audit chain verification failed: audit chain broken at entry 0: full-chain "
                               "verification expects the chain to start at index 0, got 1")
    other = engine.OstrelKeyPair.generate().public_keys()
    with pytest.raises(ValueError, match="^audit chain verification failed: audit chain broken at entry 0: "
                                         "signature verification failed: "):
        engine.SignedAuditChain.verify_jsonl(good, other)


def test_verify_reports_tampering(keypair, bundle):
    chain = engine.SignedAuditChain(keypair)
    for i in range(3):
        chain.append(entry(i))
    lines = chain.export_jsonl().splitlines(keepends=True)
    record = json.loads(lines[1])
    record["entry_hash"] = "0" * 64
    lines[1] = json.dumps(record, separators=(",", ":")).encode() + b"\n"
    with pytest.raises(ValueError) as info:
        engine.SignedAuditChain.verify_jsonl(b"".join(lines), bundle)
    assert str(info.value) == "audit chain verification failed: audit chain broken at entry 1: entry hash mismatch"


def test_prune_and_segments(keypair, bundle):
    chain = engine.SignedAuditChain(keypair)
    for i in range(3):
        chain.append(entry(i))
    first_two = chain.entries_since_jsonl(0).splitlines(keepends=True)[:2]
    assert chain.prune_before(2) == 2
    assert chain.length == 3 and chain.base_index == 2 and chain.resident_entries == 1
    with pytest.raises(ValueError) as info:
        chain.verify(bundle)
    assert str(info.value).startswith("audit chain verification failed: ")
    with pytest.raises(ValueError) as info:
        chain.entries_since_jsonl(1)
    assert str(info.value) == ("entries_since failed: audit chain broken at entry 1: entries_since(1) requested "
                               "an evicted index; base_index is 2")
    assert chain.entries_since_jsonl(3) == b""
    segments = [b"".join(first_two), b"", chain.export_jsonl()]
    assert engine.SignedAuditChain.verify_jsonl_segments(segments, bundle) == 3
    assert engine.SignedAuditChain.verify_jsonl_segments([bytearray(s) for s in segments], bundle, True) == 3
    assert engine.SignedAuditChain.verify_jsonl_segments([], bundle) == 0
    with pytest.raises(ValueError, match="^audit chain verification failed: .*segment boundary mismatch"):
        engine.SignedAuditChain.verify_jsonl_segments([first_two[0], chain.export_jsonl()], bundle)
    with pytest.raises(ValueError, match="^audit chain mode mismatch: caller expected hybrid=false"):
        engine.SignedAuditChain.verify_jsonl_segments(segments, bundle, hybrid=False)
    with pytest.raises(TypeError, match="^argument 'segments': "):
        engine.SignedAuditChain.verify_jsonl_segments(b"abc", bundle)
    with pytest.raises(OverflowError):
        chain.prune_before(-1)
    assert chain.prune_before(True) == 0


# ---- ManagedAuditChain -------------------------------------------------------------------


def test_managed_fresh_stats(keypair, tmp_path):
    chain = engine.ManagedAuditChain(keypair, str(tmp_path / "a.jsonl"))
    stats = chain.stats()
    assert list(stats.items()) == [("entries_appended", 0), ("entries_evicted", 0), ("resident_entries", 0),
                                   ("resident_bytes", 0), ("sink_failures", 0), ("sink_healthy", True),
                                   ("last_flush_index", 0)]
    assert chain.is_hybrid and chain.is_empty and len(chain) == 0
    assert chain.head_hash == "genesis" == chain.anchor_hash
    assert not (tmp_path / "a.jsonl").exists()


def test_managed_constructor_errors(keypair, tmp_path):
    path = str(tmp_path / "a.jsonl")
    with pytest.raises(ValueError) as info:
        engine.ManagedAuditChain(keypair, path, on_sink_failure="drop")
    assert str(info.value) == "on_sink_failure must be 'buffer' or 'reject', got 'drop'"
    for bad in [-1.0, float("nan"), float("inf"), 1e300]:
        # The internal-fault exception derives from BaseException only.
        with pytest.raises(BaseException) as info:
            engine.ManagedAuditChain(keypair, path, flush_interval_secs=bad)
        assert not isinstance(info.value, Exception)
        assert "flush_interval_secs" in str(info.value)
    with pytest.raises(OverflowError):
        engine.ManagedAuditChain(keypair, path, min_retained=-1)
    with pytest.raises(TypeError, match="^argument 'sink_path': "):
        engine.ManagedAuditChain(keypair, 5)
    with pytest.raises(TypeError, match="^argument 'keypair': "):
        engine.ManagedAuditChain(keypair.public_keys(), path)


def test_managed_flush_drain_and_verify(keypair, bundle, tmp_path):
    path = tmp_path / "audit.jsonl"
    chain = engine.ManagedAuditChain(keypair, str(path), min_retained=2)
    for i in range(5):
        assert chain.append(entry(i)) == i + 1
    assert chain.flush() == 3
    assert chain.base_index == 3 and chain.resident_entries == 2
    assert chain.resident_bytes > 0
    data = path.read_bytes() + chain.export_tail_jsonl()
    assert engine.SignedAuditChain.verify_jsonl(data, bundle) == 5
    assert engine.SignedAuditChain.verify_jsonl(path.read_bytes(), bundle) == 3
    assert engine.SignedAuditChain.verify_jsonl_segments([path.read_bytes(), chain.export_tail_jsonl()], bundle) == 5
    assert chain.drain() == 2
    assert chain.stats()["last_flush_index"] == 5
    assert chain.drain() == 0


def test_managed_worker_evicts_on_size_trigger(keypair, bundle, tmp_path):
    path = tmp_path / "audit.jsonl"
    chain = engine.ManagedAuditChain(keypair, str(path), max_entries=10, min_retained=5, flush_interval_secs=3600.0)
    for i in range(11):
        chain.append(entry(i))
    assert wait_for(lambda: chain.stats()["entries_evicted"] == 6)
    stats = chain.stats()
    assert stats["resident_entries"] == 5 and stats["last_flush_index"] == 6
    assert engine.SignedAuditChain.verify_jsonl(path.read_bytes() + chain.export_tail_jsonl(), bundle) == 11


@pytest.mark.parametrize("with_trigger", [True, False])
def test_dropping_a_managed_chain_writes_everything(keypair, bundle, tmp_path, with_trigger):
    path = tmp_path / "audit.jsonl"
    kwargs = {"flush_interval_secs": 3600} if with_trigger else {}
    chain = engine.ManagedAuditChain(keypair, str(path), **kwargs)
    for i in range(4):
        chain.append(entry(i))
    del chain
    gc.collect()
    assert engine.SignedAuditChain.verify_jsonl(path.read_bytes(), bundle) == 4


def test_managed_sink_failure_and_backpressure(keypair, bundle, tmp_path):
    missing = tmp_path / "later"
    path = missing / "audit.jsonl"
    chain = engine.ManagedAuditChain(keypair, str(path), min_retained=0, buffer_ceiling=3)
    for i in range(3):
        chain.append(entry(i))
    with pytest.raises(RuntimeError) as info:
        chain.flush()
    assert str(info.value) == "flush failed: serialization error: audit sink open: No such file or directory"
    with pytest.raises(RuntimeError) as info:
        chain.drain()
    assert str(info.value).startswith("drain failed: serialization error: audit sink open: ")
    stats = chain.stats()
    assert stats["sink_healthy"] is False and stats["sink_failures"] == 2 and stats["resident_entries"] == 3
    with pytest.raises(RuntimeError) as info:
        chain.append(entry(3))
    assert str(info.value) == ("append failed: serialization error: audit buffer ceiling 3 reached "
                               "(sink not draining); append rejected")
    missing.mkdir()
    assert chain.drain() == 3
    assert chain.stats()["sink_healthy"] is True
    assert chain.append(entry(4)) == 4
    chain.drain()
    assert engine.SignedAuditChain.verify_jsonl(path.read_bytes(), bundle) == 4


def test_reject_mode_refuses_while_unhealthy(keypair, tmp_path):
    path = tmp_path / "missing" / "audit.jsonl"
    chain = engine.ManagedAuditChain(keypair, str(path), max_entries=3, min_retained=0,
                                     flush_interval_secs=3600, on_sink_failure="reject")
    for i in range(4):
        chain.append(entry(i))
    assert wait_for(lambda: chain.stats()["sink_failures"] >= 1)
    with pytest.raises(RuntimeError) as info:
        chain.append(entry(9))
    assert str(info.value) == ("append failed: serialization error: audit sink unavailable and buffer over "
                               "threshold; append rejected (backpressure)")
    assert chain.length == 4


def test_managed_chain_shared_between_threads(keypair, bundle, tmp_path):
    path = tmp_path / "audit.jsonl"
    chain = engine.ManagedAuditChain(keypair, str(path), max_entries=4, min_retained=1, flush_interval_secs=0.001)
    threads = [threading.Thread(target=lambda t=t: [chain.append(entry(t * 10 + i)) for i in range(5)])
               for t in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    del chain
    gc.collect()
    assert engine.SignedAuditChain.verify_jsonl(path.read_bytes(), bundle) == 15


def test_instances_follow_the_class_rules(keypair, tmp_path):
    for obj in [entry(), engine.SignedAuditChain(keypair), engine.ManagedAuditChain(keypair, str(tmp_path / "x"))]:
        with pytest.raises(AttributeError):
            obj.extra = 1
    for cls in [engine.AuditEntry, engine.SignedAuditChain, engine.ManagedAuditChain]:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
