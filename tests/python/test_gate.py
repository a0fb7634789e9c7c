"""Gate evaluation end to end through Python: permit, refuse, invalidate,
observe-only, invariants, rate limits, reload and the constructor options."""

import time

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL, READ_DELETE, ctx

RATE_LIMITED = """
[[policy]]
name = "two-per-minute"
effect = "permit"
conditions = [{ rate_limit = { max = 2, window = "1m" } }]
"""


def test_permit_carries_an_unsigned_token(permit_all_gate):
    c = ctx()
    v = permit_all_gate.evaluate(c)
    assert (v.kind, v.is_permit, v.is_refuse, v.is_invalidate) == ("permit", True, False, False)
    assert (v.evaluator, v.reason, v.code) == (None, None, None)
    token = v.permit_token
    assert isinstance(token, engine.PermitToken)
    assert v.token_id == token.token_id
    assert token.action_name == "files.read"
    assert token.expires_at - token.issued_at == 30
    assert abs(token.issued_at - time.time()) < 60
    assert token.signature is None and v.signature is None
    assert repr(v) == f"Verdict.Permit(token={v.token_id})"


def test_each_permit_gets_a_new_token_but_the_context_keeps_its_evaluation_id(permit_all_gate):
    c = ctx()
    first, second = permit_all_gate.evaluate(c), permit_all_gate.evaluate(c)
    assert first.token_id != second.token_id
    assert first.permit_token.evaluation_id == second.permit_token.evaluation_id
    assert permit_all_gate.evaluate(ctx()).permit_token.evaluation_id != first.permit_token.evaluation_id


@pytest.mark.parametrize(
    "action,kind,expected",
    [
        ("files.read", "agent", ("permit", None, None)),
        ("files.delete", "agent", ("refuse", "POLICY_DENIED", "denied by policy 'no-deletes'")),
        ("files.read", "user", ("refuse", "NO_POLICY_MATCH", "no policy permits 'files.read' for principal 'agent-1'")),
        ("files.write", "agent", ("refuse", "NO_POLICY_MATCH", "no policy permits 'files.write' for principal 'agent-1'")),
    ],
)
def test_policy_decisions(read_delete_gate, action, kind, expected):
    v = read_delete_gate.evaluate(ctx(action=action, kind=kind))
    assert (v.kind, v.code, v.reason) == expected
    if v.is_refuse:
        assert v.evaluator == "policy"
        assert v.permit_token is None and v.signature is None and v.token_id is None
        assert repr(v) == f"Verdict.Refuse(evaluator=policy, reason={expected[2]})"


def test_empty_policy_refuses_everything():
    v = engine.Gate("").evaluate(ctx())
    assert v.is_refuse and v.code == "NO_POLICY_MATCH"


@pytest.mark.parametrize(
    "options,count",
    [
        ({}, 2),
        ({"enable_drift": False}, 1),
        ({"max_session_actions": 5}, 3),
        ({"enable_drift": False, "invariants": [("a", "b", 1.0)]}, 2),
        ({"invariants": [("a", "b", 1.0)], "max_session_actions": 5}, 3),
    ],
)
def test_evaluator_count(options, count):
    assert engine.Gate("", **options).evaluator_count == count


def test_ip_change_invalidates_the_session():
    gate = engine.Gate(PERMIT_ALL)
    v = gate.evaluate(ctx(origin_ip="10.0.0.1", ip="10.0.0.2"))
    assert (v.kind, v.is_invalidate, v.evaluator, v.code) == ("invalidate", True, "drift", None)
    assert v.reason == "IP changed mid-session: 10.0.0.1 \u2192 10.0.0.2"
    assert repr(v) == f"Verdict.Invalidate(reason={v.reason})"
    assert v.permit_token is None and v.signature is None and v.token_id is None


def test_ip_change_within_tolerated_radius_permits():
    gate = engine.Gate(PERMIT_ALL, geo_drift_max_km=50.0)
    here = engine.GeoLocation("DE", city="Berlin", latitude=52.52, longitude=13.405)
    near = engine.GeoLocation("DE", city="Berlin", latitude=52.53, longitude=13.41)
    far = engine.GeoLocation("DE", city="Munich", latitude=48.137, longitude=11.575)
    assert gate.evaluate(ctx(origin_ip="10.0.0.1", ip="10.0.0.2", origin_geo=here, current_geo=near)).is_permit
    v = gate.evaluate(ctx(origin_ip="10.0.0.1", ip="10.0.0.2", origin_geo=here, current_geo=far))
    assert v.is_invalidate and "moved" in v.reason and "(> 50.0km threshold)" in v.reason


def test_device_change_invalidates_and_disabled_drift_ignores_it():
    kwargs = dict(origin_device=engine.DeviceFingerprint("a"), device=engine.DeviceFingerprint("b"))
    assert engine.Gate(PERMIT_ALL).evaluate(ctx(**kwargs)).reason == "device fingerprint changed mid-session"
    assert engine.Gate(PERMIT_ALL, enable_drift=False).evaluate(ctx(**kwargs)).is_permit


def test_old_session_invalidates():
    five_hours_ago = int(time.time()) - 5 * 3600
    v = engine.Gate(PERMIT_ALL).evaluate(ctx(session_started_at=five_hours_ago))
    assert v.is_invalidate and v.reason.startswith("session age (") and v.reason.endswith("exceeds maximum (14400s)")


@pytest.mark.parametrize(
    "params,permitted",
    [({"amount": 750}, False), ({"amount": 500}, True), ({}, True), ({"other": 1e9}, True)],
)
def test_param_invariant(params, permitted):
    gate = engine.Gate(PERMIT_ALL, invariants=[("max_amount", "amount", 500.0)])
    v = gate.evaluate(ctx(params=params))
    assert v.is_permit is permitted
    if not permitted:
        assert (v.evaluator, v.code) == ("invariants", "INVARIANT_VIOLATION")
        assert v.reason == "invariant 'max_amount' violated: parameter 'amount' must be at most 500"


def test_param_invariant_ignores_string_parameters():
    gate = engine.Gate(PERMIT_ALL, invariants=[("max_amount", "amount", 500.0)])
    c = ctx()
    c.with_param("amount", "750")
    assert gate.evaluate(c).is_permit


@pytest.mark.parametrize("count,permitted", [(10, True), (11, False)])
def test_max_session_actions(count, permitted):
    gate = engine.Gate(PERMIT_ALL, max_session_actions=10)
    v = gate.evaluate(ctx(action_count=count))
    assert v.is_permit is permitted
    if not permitted:
        assert v.reason.endswith("maximum 10 actions per session")


def test_tuple_invariants_are_checked_before_the_session_cap():
    gate = engine.Gate(PERMIT_ALL, invariants=[("first", "x", 0.0), ("second", "x", -1.0)], max_session_actions=0)
    v = gate.evaluate(ctx(params={"x": 1}, action_count=1))
    assert v.reason.startswith("invariant 'first' violated")


def test_rate_limit_counts_per_principal_and_action():
    gate = engine.Gate(RATE_LIMITED)
    results = [gate.evaluate(ctx(action="a")).is_permit for _ in range(3)]
    assert results == [True, True, False]
    assert gate.evaluate(ctx(action="b")).is_permit
    assert gate.evaluate(ctx(action="a", principal_id="other")).is_permit
    # Each gate without a rate_store has its own counts.
    assert engine.Gate(RATE_LIMITED).evaluate(ctx(action="a")).is_permit


def test_policy_refusal_wins_before_invariants_run():
    gate = engine.Gate(READ_DELETE, invariants=[("cap", "n", 0.0)])
    v = gate.evaluate(ctx(action="files.delete", params={"n": 5}))
    assert v.evaluator == "policy"


# ---------------------------------------------------------------------------
# Observe-only


def test_observe_only_turns_a_refusal_into_an_unsigned_permit():
    c = ctx(action="files.delete")
    evaluation_id = engine.Gate(PERMIT_ALL).evaluate(c).permit_token.evaluation_id
    v = engine.Gate(READ_DELETE, observe_only=True).evaluate(c)
    assert v.is_permit and v.signature is None
    assert v.permit_token.signature is None
    assert v.permit_token.evaluation_id == evaluation_id
    assert v.permit_token.action_name == "files.delete"


def test_observe_only_also_masks_invalidations():
    v = engine.Gate(PERMIT_ALL, observe_only=True).evaluate(ctx(origin_ip="10.0.0.1", ip="10.0.0.2"))
    assert v.is_permit


# ---------------------------------------------------------------------------
# Reload


def test_reload_replaces_policies_and_keeps_them_on_error():
    gate = engine.Gate(PERMIT_ALL)
    assert gate.evaluate(ctx(action="files.delete")).is_permit
    assert gate.reload(READ_DELETE) is None
    assert gate.evaluate(ctx(action="files.delete")).code == "POLICY_DENIED"

    with pytest.raises(ValueError) as info:
        gate.reload("[[policy]]\nname = 1\n")
    assert str(info.value).startswith("policy parse error: ")
    assert gate.evaluate(ctx(action="files.delete")).code == "POLICY_DENIED"
    assert gate.evaluate(ctx(action="files.read")).is_permit


def test_reload_with_empty_text_is_a_kill_switch():
    gate = engine.Gate(PERMIT_ALL, max_session_actions=3)
    gate.reload("")
    v = gate.evaluate(ctx())
    assert v.code == "NO_POLICY_MATCH"
    assert gate.evaluator_count == 3  # the rest of the gate is untouched


def test_reload_accepts_only_toml_and_keeps_rate_counts():
    gate = engine.Gate.from_json_string('{"policies": []}')
    with pytest.raises(ValueError, match="^policy parse error: "):
        gate.reload('{"policies": []}')
    gate.reload(RATE_LIMITED)
    assert [gate.evaluate(ctx()).is_permit for _ in range(2)] == [True, True]
    gate.reload(RATE_LIMITED)
    assert not gate.evaluate(ctx()).is_permit


# ---------------------------------------------------------------------------
# Constructor option errors


@pytest.mark.parametrize("constructor,source", [
    (engine.Gate, PERMIT_ALL),
    (engine.Gate.from_json_string, '{"policies": []}'),
    (engine.Gate.from_dict, {"policies": []}),
])
def test_broadcaster_of_another_type_is_a_value_error(constructor, source):
    with pytest.raises(ValueError) as info:
        constructor(source, broadcaster=object())
    assert str(info.value) == "broadcaster must be RedisInvalidationBroadcaster or InMemoryInvalidationBroadcaster"


def test_policy_errors_are_reported_before_option_errors():
    with pytest.raises(ValueError, match="^policy parse error: "):
        engine.Gate("not toml [", broadcaster=object())


def test_option_type_errors_are_reported_before_policy_errors():
    with pytest.raises(TypeError, match="^argument 'observe_only': "):
        engine.Gate("not toml [", observe_only="yes")


def test_options_are_accepted_by_position():
    gate = engine.Gate(PERMIT_ALL, [("cap", "n", 1.0)], False, 4, False, None, None, None, None)
    assert gate.evaluator_count == 2
    assert gate.evaluate(ctx(params={"n": 2})).code == "INVARIANT_VIOLATION"


def test_gate_is_shared_between_threads():
    import threading

    gate = engine.Gate(READ_DELETE)
    results = []

    def worker():
        for _ in range(200):
            results.append(gate.evaluate(ctx()).is_permit)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 800 and all(results)
