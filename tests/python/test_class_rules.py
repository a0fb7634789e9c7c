"""Class declaration rules shared by every class of the engine."""

import inspect
import weakref

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL, ctx

GATE_OPTIONS = (
    "invariants=Ellipsis, observe_only=False, max_session_actions=None, enable_drift=True, "
    "token_signer=None, geo_drift_max_km=None, rate_store=None, broadcaster=None"
)

CONSTRUCTOR_SIGNATURES = {
    "Gate": f"(policy_toml, {GATE_OPTIONS})",
    "ActionContext": (
        "(principal_id, principal_kind, action_name, roles=Ellipsis, resource=None, params=None, "
        "ip=None, session_id=None, current_geo=None, origin_geo=None, origin_ip=None, device=None, "
        "origin_device=None, session_started_at=None, action_count=None)"
    ),
    "GeoLocation": "(country_code, region=None, city=None, latitude=None, longitude=None)",
    "DeviceFingerprint": "(hash, description=None)",
    "PermitToken": "(token_id, evaluation_id, issued_at, expires_at, action_name, signature=None)",
}

METHOD_SIGNATURES = [
    ("Gate", "evaluate", "(self, /, ctx)"),
    ("Gate", "reload", "(self, /, policy_toml)"),
    ("Gate", "from_dict", f"(policies, {GATE_OPTIONS})"),
    ("Gate", "from_json_string", f"(json_string, {GATE_OPTIONS})"),
    ("Gate", "from_json_file", f"(path, {GATE_OPTIONS})"),
    ("ActionContext", "with_param", "(self, /, key, value)"),
    ("GeoLocation", "distance_km", "(self, /, other)"),
    ("PermitToken", "canonical_bytes", "(self, /)"),
]


def sample_instances():
    gate = engine.Gate(PERMIT_ALL)
    verdict = gate.evaluate(ctx())
    return {
        "Gate": gate,
        "ActionContext": ctx(),
        "GeoLocation": engine.GeoLocation("DE"),
        "DeviceFingerprint": engine.DeviceFingerprint("h"),
        "Verdict": verdict,
        "PermitToken": verdict.permit_token,
    }


CLASS_NAMES = list(sample_instances())


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity(name):
    cls = getattr(engine, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "_ostrel_engine"
    assert cls.__bases__ == (object,)
    assert cls.__doc__


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_cannot_be_subclassed(name):
    cls = getattr(engine, name)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_instances_have_no_dict_no_weakrefs_and_no_settable_attributes(name):
    obj = sample_instances()[name]
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.some_new_attribute = 1
    for attr, value in vars(type(obj)).items():
        if isinstance(value, type(engine.GeoLocation.country_code)):  # getset descriptor
            with pytest.raises(AttributeError):
                setattr(obj, attr, None)


@pytest.mark.parametrize("name,signature", CONSTRUCTOR_SIGNATURES.items())
def test_constructor_text_signature(name, signature):
    assert str(inspect.signature(getattr(engine, name))) == signature


@pytest.mark.parametrize("cls,method,signature", METHOD_SIGNATURES)
def test_method_text_signature(cls, method, signature):
    fn = getattr(getattr(engine, cls), method)
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__


def test_ellipsis_defaults_are_empty_lists():
    # Omitting `roles` and `invariants` behaves as passing an empty list.
    gate = engine.Gate(PERMIT_ALL)
    assert gate.evaluator_count == engine.Gate(PERMIT_ALL, invariants=[]).evaluator_count
    assert gate.evaluate(ctx(roles=[])).is_permit


def test_verdict_has_no_constructor():
    with pytest.raises(TypeError, match="cannot create 'Verdict' instances"):
        engine.Verdict()


def test_verdict_docstring():
    assert engine.Verdict.__doc__.startswith("The gate verdict returned to Python.")
    assert engine.Verdict.signature.__doc__ == "Convenience: raw signature bytes (or None if unsigned / not Permit)."
    assert engine.Gate.evaluator_count.__doc__ == "Number of evaluators in the chain."


def test_with_param_docstring():
    assert "Add a string parameter for policy/invariant checks." in engine.ActionContext.with_param.__doc__


def test_dropping_instances_releases_them():
    # Instances own their native values; creating and dropping many must not
    # keep them alive (no reference held by the type or the module).
    import gc
    import sys

    gate = engine.Gate(PERMIT_ALL)
    gate.evaluate(ctx()).permit_token  # warm up any one-time caches
    gc.collect()
    before = (sys.getrefcount(engine.Verdict), sys.getrefcount(engine.PermitToken))
    for _ in range(1000):
        gate.evaluate(ctx()).permit_token
    gc.collect()
    assert (sys.getrefcount(engine.Verdict), sys.getrefcount(engine.PermitToken)) == before
