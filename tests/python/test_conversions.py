"""Argument conversion: every kind of the conversion table, its rejections and
the argument prefix, exercised through the real entry points."""

import math
import uuid

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL

UID = str(uuid.uuid4())


def token(**overrides):
    args = dict(token_id=UID, evaluation_id=UID, issued_at=1, expires_at=31, action_name="a")
    args.update(overrides)
    return engine.PermitToken(**args)


def context(**overrides):
    args = dict(principal_id="p", principal_kind="agent", action_name="a")
    args.update(overrides)
    return engine.ActionContext(**args)


def gate(**options):
    return engine.Gate(PERMIT_ALL, **options)


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


# (id, call, expected exception or None, message prefix or None)
# A TypeError from a conversion carries "argument '<name>': "; OverflowError and
# ValueError pass through without it.
CASES = [
    # text: str only
    ("text-ok", lambda: context(principal_id="x"), None, None),
    ("text-int", lambda: context(principal_id=1), TypeError, "argument 'principal_id': "),
    ("text-bytes", lambda: context(action_name=b"a"), TypeError, "argument 'action_name': "),
    # optional: None means absent
    ("optional-none", lambda: context(resource=None, ip=None), None, None),
    ("optional-wrong", lambda: context(resource=5), TypeError, "argument 'resource': "),
    # lenient bytes
    ("lenient-bytes", lambda: token(signature=b"\x00\xff"), None, None),
    ("lenient-bytearray", lambda: token(signature=bytearray(b"ab")), None, None),
    ("lenient-list", lambda: token(signature=[0, 1, 255]), None, None),
    ("lenient-str", lambda: token(signature="abc"), TypeError, "argument 'signature': "),
    ("lenient-float-item", lambda: token(signature=[1.0]), TypeError, "argument 'signature': "),
    ("lenient-256", lambda: token(signature=[256]), OverflowError, "byte value 256"),
    ("lenient-negative", lambda: token(signature=[-1]), OverflowError, "byte value -1"),
    # unsigned integer
    ("unsigned-int", lambda: context(action_count=3), None, None),
    ("unsigned-true", lambda: context(action_count=True), None, None),
    ("unsigned-index", lambda: context(action_count=Indexy()), None, None),
    ("unsigned-max", lambda: context(action_count=2**64 - 1), None, None),
    ("unsigned-negative", lambda: context(action_count=-1), OverflowError, None),
    ("unsigned-too-large", lambda: context(action_count=2**64), OverflowError, None),
    ("unsigned-float", lambda: context(action_count=1.0), TypeError, "argument 'action_count': "),
    ("unsigned-str", lambda: gate(max_session_actions="3"), TypeError, "argument 'max_session_actions': "),
    ("unsigned-gate-negative", lambda: gate(max_session_actions=-1), OverflowError, None),
    # signed integer
    ("signed-negative", lambda: token(issued_at=-5, expires_at=25), None, None),
    ("signed-too-large", lambda: token(issued_at=2**63), OverflowError, None),
    ("signed-too-small", lambda: token(issued_at=-(2**63) - 1), OverflowError, None),
    ("signed-str", lambda: token(issued_at="1"), TypeError, "argument 'issued_at': "),
    # floating point
    ("float-float", lambda: engine.GeoLocation("DE", latitude=1.5), None, None),
    ("float-int", lambda: engine.GeoLocation("DE", latitude=1), None, None),
    ("float-dunder", lambda: engine.GeoLocation("DE", latitude=Floaty()), None, None),
    ("float-str", lambda: engine.GeoLocation("DE", latitude="1.5"), TypeError, "argument 'latitude': "),
    ("float-gate", lambda: gate(geo_drift_max_km="far"), TypeError, "argument 'geo_drift_max_km': "),
    # boolean: bool only
    ("bool-ok", lambda: gate(observe_only=True, enable_drift=False), None, None),
    ("bool-int", lambda: gate(observe_only=1), TypeError, "argument 'observe_only': "),
    ("bool-zero", lambda: gate(enable_drift=0), TypeError, "argument 'enable_drift': "),
    ("bool-none", lambda: gate(enable_drift=None), TypeError, "argument 'enable_drift': "),
    # list of text
    ("texts-list", lambda: context(roles=["a", "b"]), None, None),
    ("texts-tuple", lambda: context(roles=("a",)), None, None),
    ("texts-str", lambda: context(roles="admin"), TypeError, "argument 'roles': "),
    ("texts-item", lambda: context(roles=["a", 1]), TypeError, "argument 'roles': "),
    ("texts-set", lambda: context(roles={"a"}), TypeError, "argument 'roles': "),
    # list of tuples
    ("tuples-ok", lambda: gate(invariants=[("n", "p", 1.0), ("m", "q", 2)]), None, None),
    ("tuples-short", lambda: gate(invariants=[("n", "p")]), ValueError,
     "expected tuple of length 3, but got tuple of length 2"),
    ("tuples-long", lambda: gate(invariants=[("n", "p", 1.0, 2.0)]), ValueError,
     "expected tuple of length 3, but got tuple of length 4"),
    ("tuples-list-item", lambda: gate(invariants=[["n", "p", 1.0]]), TypeError, "argument 'invariants': "),
    ("tuples-item-type", lambda: gate(invariants=[("n", "p", "big")]), TypeError, "argument 'invariants': "),
    ("tuples-str", lambda: gate(invariants="npq"), TypeError, "argument 'invariants': "),
    ("tuples-none", lambda: gate(invariants=None), TypeError, "argument 'invariants': "),
    # instance of a module class: exactly that class
    ("instance-ok", lambda: context(current_geo=engine.GeoLocation("DE")), None, None),
    ("instance-other-class", lambda: context(current_geo=engine.DeviceFingerprint("h")), TypeError,
     "argument 'current_geo': "),
    ("instance-duck", lambda: context(device="h"), TypeError, "argument 'device': "),
    ("instance-evaluate", lambda: gate().evaluate("ctx"), TypeError, "argument 'ctx': "),
    ("instance-distance", lambda: engine.GeoLocation("DE").distance_km(None), TypeError, "argument 'other': "),
    # parameters refer to other module classes
    ("signer-wrong-type", lambda: gate(token_signer="signer"), TypeError, "argument 'token_signer': "),
    ("rate-store-wrong-type", lambda: gate(rate_store=object()), TypeError, "argument 'rate_store': "),
    # dict of str to float
    ("params-ok", lambda: context(params={"a": 1, "b": True, "c": 2.5}), None, None),
    ("params-list", lambda: context(params=[("a", 1.0)]), TypeError, "argument 'params': "),
    ("params-key", lambda: context(params={1: 1.0}), TypeError, "argument 'params': "),
    ("params-value", lambda: context(params={"a": "x"}), TypeError, "argument 'params': "),
]


@pytest.mark.parametrize("call,exc,prefix", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_conversion_table(call, exc, prefix):
    if exc is None:
        call()
        return
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    message = str(info.value)
    assert message
    if prefix is not None:
        assert message.startswith(prefix), message
    if exc is TypeError and prefix and prefix.startswith("argument '"):
        # The conversion's own TypeError is kept as the cause.
        assert isinstance(info.value.__cause__, TypeError)
        assert message == prefix + str(info.value.__cause__)
    if exc is not TypeError:
        assert not message.startswith("argument '")


def test_converted_values_arrive_intact():
    geo = engine.GeoLocation("DE", latitude=Floaty(), longitude=1)
    assert geo.latitude == 2.5 and geo.longitude == 1.0 and type(geo.longitude) is float
    t = token(signature=[0, 1, 255], issued_at=-5, expires_at=253402300799)
    assert t.signature == b"\x00\x01\xff"
    assert (t.issued_at, t.expires_at) == (-5, 253402300799)
    assert token(signature=bytearray(b"xy")).signature == b"xy"


def test_bool_accepted_as_unsigned_count():
    # True counts as 1: a cap of 0 actions refuses it, a cap of 1 permits it.
    ctx = context(action_count=True)
    assert engine.Gate(PERMIT_ALL, max_session_actions=0, enable_drift=False).evaluate(ctx).is_refuse
    assert engine.Gate(PERMIT_ALL, max_session_actions=True, enable_drift=False).evaluate(ctx).is_permit


ARITY_CASES = [
    ("missing-one", lambda: engine.DeviceFingerprint(),
     "DeviceFingerprint.__new__() missing 1 required positional argument: 'hash'"),
    ("missing-three", lambda: engine.ActionContext(),
     "ActionContext.__new__() missing 3 required positional arguments: "
     "'principal_id', 'principal_kind', and 'action_name'"),
    ("missing-two", lambda: engine.ActionContext("p"),
     "ActionContext.__new__() missing 2 required positional arguments: 'principal_kind' and 'action_name'"),
    ("unexpected-keyword", lambda: engine.DeviceFingerprint("h", colour="red"),
     "DeviceFingerprint.__new__() got an unexpected keyword argument 'colour'"),
    ("duplicate", lambda: engine.DeviceFingerprint("h", hash="g"),
     "DeviceFingerprint.__new__() got multiple values for argument 'hash'"),
    ("too-many", lambda: engine.DeviceFingerprint("h", "d", "x"),
     "DeviceFingerprint.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    ("method-too-many", lambda: engine.Gate(PERMIT_ALL).evaluate(1, 2),
     "Gate.evaluate() takes 1 positional argument but 2 were given"),
    ("no-args-method", lambda: token().canonical_bytes(1), None),
]


@pytest.mark.parametrize("call,message", [c[1:] for c in ARITY_CASES], ids=[c[0] for c in ARITY_CASES])
def test_arity_errors_use_cpython_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_every_parameter_is_accepted_by_keyword_and_position():
    by_position = engine.GeoLocation("DE", "BE", "Berlin", 52.52, 13.405)
    by_keyword = engine.GeoLocation(longitude=13.405, latitude=52.52, city="Berlin", region="BE", country_code="DE")
    assert repr(by_position) == repr(by_keyword)
    assert by_keyword.region == "BE"


def test_nan_param_is_accepted():
    # NaN converts as a float (it is stored as JSON null natively).
    context(params={"x": math.nan, "y": math.inf})
