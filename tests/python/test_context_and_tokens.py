"""ActionContext, GeoLocation, DeviceFingerprint, Verdict and PermitToken."""

import math
import struct
import time
import uuid

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL, ctx

# ---------------------------------------------------------------------------
# ActionContext construction


@pytest.mark.parametrize("kind", ["user", "agent", "service", "scheduler", "external"])
def test_principal_kinds(kind):
    gate = engine.Gate(f'[[policy]]\nname="k"\neffect="permit"\nconditions=[{{identity_kind="{kind}"}}]\n')
    assert gate.evaluate(ctx(kind=kind)).is_permit


@pytest.mark.parametrize("kind", ["Agent", "AGENT", "robot", "", " agent"])
def test_unknown_principal_kind(kind):
    with pytest.raises(ValueError) as info:
        ctx(kind=kind)
    assert str(info.value) == f"unknown principal kind: {kind}"


def test_session_started_at_out_of_range():
    with pytest.raises(ValueError) as info:
        ctx(session_started_at=253402300800)
    assert str(info.value) == "session_started_at: 253402300800 is not a valid unix timestamp"
    with pytest.raises(ValueError, match=r"^session_started_at: -62135596801 is not a valid unix timestamp$"):
        ctx(session_started_at=-62135596801)


def test_unparsable_session_id_and_addresses_are_tolerated():
    gate = engine.Gate(PERMIT_ALL)
    # A bad current address counts as absent: the location detector sees no change.
    assert gate.evaluate(ctx(session_id="not-a-uuid", origin_ip="10.0.0.1", ip="10.0.0.256")).is_permit
    assert gate.evaluate(ctx(origin_ip="10.0.0.999", ip="10.0.0.2")).is_permit
    assert gate.evaluate(ctx(session_id=str(uuid.uuid4()), origin_ip="::1", ip="::1")).is_permit


def test_roles_and_resource_reach_the_policies():
    gate = engine.Gate(
        '[[policy]]\nname="r"\neffect="permit"\n'
        'conditions=[{identity_role="admin"}, {resource="db/*"}]\n'
    )
    assert gate.evaluate(ctx(roles=["reader", "admin"], resource="db/users")).is_permit
    assert gate.evaluate(ctx(roles=["reader"], resource="db/users")).is_refuse
    assert gate.evaluate(ctx(roles=["admin"])).is_refuse


def test_session_started_at_reaches_the_policies():
    gate = engine.Gate('[[policy]]\nname="young"\neffect="permit"\nconditions=[{session_age_max="1h"}]\n',
                       enable_drift=False)
    now = int(time.time())
    assert gate.evaluate(ctx(session_started_at=now - 59 * 60)).is_permit
    assert gate.evaluate(ctx(session_started_at=now - 61 * 60)).is_refuse


def test_nan_param_is_stored_as_null():
    gate = engine.Gate('[[policy]]\nname="x"\neffect="permit"\nconditions=[{param_max={field="x", max=1e300}}]\n')
    assert gate.evaluate(ctx(params={"x": 1.0})).is_permit
    assert gate.evaluate(ctx(params={"x": math.nan})).is_refuse
    assert gate.evaluate(ctx(params={"x": math.inf})).is_refuse


# ---------------------------------------------------------------------------
# with_param

PARAM_GATE = """
[[policy]]
name = "number-five"
effect = "permit"
conditions = [{ param_min = { field = "v", min = 5 } }, { param_max = { field = "v", max = 5 } }]

[[policy]]
name = "number-one"
effect = "permit"
conditions = [{ param_min = { field = "v", min = 1 } }, { param_max = { field = "v", max = 1 } }]

[[policy]]
name = "texts"
effect = "permit"
conditions = [{ param_in = { field = "v", values = ["hello", "[1]", "Thing"] } }]
"""


class Thing:
    def __str__(self):
        return "Thing"


@pytest.mark.parametrize(
    "value,permitted",
    [
        (5, True),        # the number 5.0
        (5.0, True),
        (True, True),     # the number 1.0
        (1, True),
        ("hello", True),  # a string
        ("5", False),     # a string, not a number
        ([1], True),      # its str() text "[1]"
        (Thing(), True),  # its str() text
        (7, False),
        (math.nan, False),  # stored as null
        (None, False),    # str() text "None"
    ],
)
def test_with_param_conversions(value, permitted):
    gate = engine.Gate(PARAM_GATE, enable_drift=False)
    c = ctx()
    assert c.with_param("v", value) is None
    assert gate.evaluate(c).is_permit is permitted


def test_with_param_replaces_an_existing_entry():
    gate = engine.Gate(PARAM_GATE, enable_drift=False)
    c = ctx(params={"v": 7})
    assert gate.evaluate(c).is_refuse
    c.with_param("v", 5)
    assert gate.evaluate(c).is_permit


def test_with_param_key_must_be_str():
    with pytest.raises(TypeError, match="^argument 'key': "):
        ctx().with_param(1, 1)


def test_with_param_propagates_a_failing_str():
    class Bad:
        def __str__(self):
            raise KeyError("nope")

    with pytest.raises(KeyError):
        ctx().with_param("v", Bad())


# ---------------------------------------------------------------------------
# Borrow checking


def test_reentrant_with_param_is_already_borrowed():
    c = ctx()

    class Reenter:
        def __str__(self):
            c.with_param("inner", 1)
            return "outer"

    with pytest.raises(RuntimeError) as info:
        c.with_param("outer", Reenter())
    assert str(info.value) == "Already borrowed"
    # The borrow was released: the context is usable again.
    c.with_param("v", 5)
    assert engine.Gate(PARAM_GATE, enable_drift=False).evaluate(c).is_permit


def test_evaluate_during_with_param_is_already_mutably_borrowed():
    c = ctx()
    gate = engine.Gate(PERMIT_ALL)

    class Evaluate:
        def __str__(self):
            gate.evaluate(c)
            return "x"

    with pytest.raises(RuntimeError) as info:
        c.with_param("k", Evaluate())
    assert str(info.value) == "Already mutably borrowed"
    assert gate.evaluate(c).is_permit


# ---------------------------------------------------------------------------
# GeoLocation and DeviceFingerprint


@pytest.mark.parametrize(
    "kwargs,text",
    [
        (dict(country_code="DE", city="Berlin", latitude=52.52, longitude=13.405), "GeoLocation(DE/Berlin, 52.5200,13.4050)"),
        (dict(country_code="DE", city="Berlin"), "GeoLocation(DE/Berlin)"),
        (dict(country_code="DE", region="Bavaria"), "GeoLocation(DE)"),
        (dict(country_code="DE", latitude=1.0), "GeoLocation(DE)"),
        (dict(country_code="US", latitude=-33.86786, longitude=151.20732), "GeoLocation(US, -33.8679,151.2073)"),
    ],
)
def test_geolocation_text(kwargs, text):
    assert repr(engine.GeoLocation(**kwargs)) == text


def test_geolocation_attributes():
    g = engine.GeoLocation("DE", "BE", "Berlin", 52.52, 13.405)
    assert (g.country_code, g.region, g.city, g.latitude, g.longitude) == ("DE", "BE", "Berlin", 52.52, 13.405)
    bare = engine.GeoLocation("FR")
    assert (bare.region, bare.city, bare.latitude, bare.longitude) == (None, None, None, None)


def test_distance_km():
    a = engine.GeoLocation("X", latitude=0.0, longitude=0.0)
    b = engine.GeoLocation("X", latitude=0.0, longitude=1.0)
    assert a.distance_km(b) == pytest.approx(111.19, abs=0.01)
    assert b.distance_km(a) == pytest.approx(a.distance_km(b))
    assert a.distance_km(a) == 0.0
    assert a.distance_km(engine.GeoLocation("X", latitude=1.0)) is None
    assert engine.GeoLocation("X").distance_km(b) is None


def test_device_fingerprint():
    d = engine.DeviceFingerprint("abc")
    assert (d.hash, d.description) == ("abc", None)
    assert repr(d) == "DeviceFingerprint(hash=abc)"
    d = engine.DeviceFingerprint("abc", "laptop")
    assert repr(d) == "DeviceFingerprint(hash=abc, description=laptop)"


def test_arguments_are_copied_into_the_context():
    origin = engine.GeoLocation("DE")
    c = ctx(origin_device=engine.DeviceFingerprint("a"), device=engine.DeviceFingerprint("a"), origin_geo=origin)
    del origin
    assert engine.Gate(PERMIT_ALL).evaluate(c).is_permit


# ---------------------------------------------------------------------------
# PermitToken


def wire(**overrides):
    fields = dict(token_id=str(uuid.uuid4()), evaluation_id=str(uuid.uuid4()), issued_at=1_700_000_000,
                  expires_at=1_700_000_030, action_name="x")
    fields.update(overrides)
    return fields


def test_canonical_bytes_layout():
    f = wire()
    t = engine.PermitToken(**f)
    data = t.canonical_bytes()
    assert len(data) == 49
    assert data[:16] == uuid.UUID(f["token_id"]).bytes
    assert data[16:32] == uuid.UUID(f["evaluation_id"]).bytes
    assert struct.unpack("<qq", data[32:48]) == (1_700_000_000, 1_700_000_030)
    assert data[48:] == b"x"
    assert len(engine.PermitToken(**wire(action_name="")).canonical_bytes()) == 48
    assert engine.PermitToken(**wire(action_name="\u00e9")).canonical_bytes()[48:] == "\u00e9".encode()


def test_signature_is_not_part_of_canonical_bytes():
    f = wire()
    assert engine.PermitToken(**f).canonical_bytes() == engine.PermitToken(**f, signature=b"sig").canonical_bytes()


def test_token_attributes_and_text():
    f = wire(token_id=str(uuid.uuid4()).upper())
    t = engine.PermitToken(**f, signature=b"\x01\x02")
    assert t.token_id == f["token_id"].lower()
    assert (t.evaluation_id, t.issued_at, t.expires_at, t.action_name) == (
        f["evaluation_id"], f["issued_at"], f["expires_at"], "x")
    assert t.signature == b"\x01\x02"
    assert repr(t) == f"PermitToken(token_id={t.token_id}, action=x, signed=true)"
    unsigned = engine.PermitToken(**f)
    assert unsigned.signature is None
    assert repr(unsigned).endswith("signed=false)")


@pytest.mark.parametrize(
    "overrides,prefix",
    [
        (dict(token_id="nope"), "token_id not a UUID: "),
        (dict(evaluation_id="nope"), "evaluation_id not a UUID: "),
        (dict(issued_at=253402300800), "issued_at out of range"),
        (dict(expires_at=-62135596801), "expires_at out of range"),
        # validated in order: the token id is reported first
        (dict(token_id="nope", evaluation_id="nope", issued_at=2**62), "token_id not a UUID: "),
        (dict(issued_at=2**62, expires_at=2**62), "issued_at out of range"),
    ],
)
def test_token_validation(overrides, prefix):
    with pytest.raises(ValueError) as info:
        engine.PermitToken(**wire(**overrides))
    assert str(info.value).startswith(prefix)
    if prefix.endswith(": "):
        assert len(str(info.value)) > len(prefix)


def test_token_rebuilt_from_a_verdict_has_the_same_canonical_bytes():
    token = engine.Gate(PERMIT_ALL).evaluate(ctx(action="orders.create")).permit_token
    rebuilt = engine.PermitToken(token.token_id, token.evaluation_id, token.issued_at, token.expires_at,
                                 token.action_name, token.signature)
    assert rebuilt.canonical_bytes() == token.canonical_bytes()
    assert len(token.canonical_bytes()) == 48 + len("orders.create")


def test_verdict_permit_token_is_a_fresh_copy():
    v = engine.Gate(PERMIT_ALL).evaluate(ctx())
    assert v.permit_token is not v.permit_token
    assert v.permit_token.canonical_bytes() == v.permit_token.canonical_bytes()
