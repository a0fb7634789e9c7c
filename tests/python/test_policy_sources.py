"""Policy documents from TOML, JSON text, JSON files and Python dicts, and
the conversion of Python values into JSON values for dicts."""

import collections.abc
import json
import math

import pytest

import _ostrel_engine as engine
from conftest import ctx

POLICY = {
    "policies": [
        {"name": "no-deletes", "effect": "refuse", "priority": 10, "conditions": [{"action": "files.delete"}]},
        {
            "name": "agents-read",
            "effect": "permit",
            "description": "agents may read",
            "conditions": [{"identity_kind": "agent"}, {"action": "files.read"}, {"param_max": {"field": "size", "max": 100}}],
        },
    ]
}

POLICY_TOML = """
[[policy]]
name = "no-deletes"
effect = "refuse"
priority = 10
conditions = [{ action = "files.delete" }]

[[policy]]
name = "agents-read"
effect = "permit"
description = "agents may read"
conditions = [{ identity_kind = "agent" }, { action = "files.read" }, { param_max = { field = "size", max = 100 } }]
"""

PROBES = [
    dict(action="files.read", params={"size": 10}),
    dict(action="files.read", params={"size": 1000}),
    dict(action="files.read"),
    dict(action="files.delete", params={"size": 1}),
    dict(action="files.read", kind="user", params={"size": 1}),
]


def outcomes(gate):
    return [(v.kind, v.code, v.reason) for v in (gate.evaluate(ctx(**p)) for p in PROBES)]


@pytest.fixture
def json_file(tmp_path):
    path = tmp_path / "policy.json"
    path.write_text(json.dumps(POLICY))
    return path


def test_all_four_sources_behave_identically(json_file):
    expected = outcomes(engine.Gate(POLICY_TOML))
    assert [k for k, _, _ in expected] == ["permit", "refuse", "refuse", "refuse", "refuse"]
    assert outcomes(engine.Gate.from_json_string(json.dumps(POLICY))) == expected
    assert outcomes(engine.Gate.from_json_file(str(json_file))) == expected
    assert outcomes(engine.Gate.from_json_file(json_file)) == expected  # os.PathLike
    assert outcomes(engine.Gate.from_dict(POLICY)) == expected


def test_static_constructors_take_the_gate_options(json_file):
    for gate in (
        engine.Gate.from_dict(POLICY, enable_drift=False, max_session_actions=1),
        engine.Gate.from_json_string(json.dumps(POLICY), enable_drift=False, max_session_actions=1),
        engine.Gate.from_json_file(json_file, enable_drift=False, max_session_actions=1),
    ):
        assert isinstance(gate, engine.Gate)
        assert gate.evaluator_count == 2
        assert gate.evaluate(ctx(params={"size": 1}, action_count=2)).code == "INVARIANT_VIOLATION"


def misspelt():
    doc = json.loads(json.dumps(POLICY))
    doc["policies"][0]["priorty"] = doc["policies"][0].pop("priority")
    return doc


def test_misspelt_keys_are_rejected_with_the_source_prefix(tmp_path):
    with pytest.raises(ValueError) as info:
        engine.Gate.from_dict(misspelt())
    assert str(info.value).startswith("policy dict parse error: ")
    assert "priorty" in str(info.value)

    with pytest.raises(ValueError) as info:
        engine.Gate.from_json_string(json.dumps(misspelt()))
    assert str(info.value).startswith("policy JSON parse error: ")
    assert "priorty" in str(info.value)

    path = tmp_path / "bad.json"
    path.write_text(json.dumps(misspelt()))
    with pytest.raises(ValueError) as info:
        engine.Gate.from_json_file(str(path))
    assert str(info.value).startswith("policy JSON parse error: ")

    with pytest.raises(ValueError) as info:
        engine.Gate(POLICY_TOML.replace("priority", "priorty"))
    assert str(info.value).startswith("policy parse error: ")
    assert "priorty" in str(info.value)


def test_unreadable_json_file(tmp_path):
    missing = tmp_path / "missing.json"
    with pytest.raises(ValueError) as info:
        engine.Gate.from_json_file(str(missing))
    message = str(info.value)
    assert message.startswith(f"cannot read JSON policy file '{missing}': ")
    assert len(message) > len(f"cannot read JSON policy file '{missing}': ")


def test_invalid_json_text():
    with pytest.raises(ValueError, match="^policy JSON parse error: "):
        engine.Gate.from_json_string("{not json")


def test_empty_documents_are_valid_and_refuse_everything():
    for gate in (engine.Gate(""), engine.Gate.from_json_string("{}"), engine.Gate.from_dict({})):
        assert gate.evaluate(ctx()).code == "NO_POLICY_MATCH"


# ---------------------------------------------------------------------------
# Python value -> JSON value


def permit_policy(**extra):
    policy = {"name": "p", "effect": "permit", "conditions": []}
    policy.update(extra)
    return {"policies": [policy]}


class Policies(collections.abc.Mapping):
    """A mapping that is not a dict."""

    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class Conditions(collections.abc.Sequence):
    """A sequence that is neither list nor tuple."""

    def __init__(self, items):
        self._items = items

    def __getitem__(self, i):
        return self._items[i]

    def __len__(self):
        return len(self._items)


ACCEPTED = [
    ("nan-becomes-null", permit_policy(description=math.nan)),
    ("inf-becomes-null", permit_policy(description=-math.inf)),
    ("none-is-null", permit_policy(description=None)),
    ("tuple-is-array", {"policies": ({"name": "p", "effect": "permit", "conditions": ()},)}),
    ("set-is-array", permit_policy(conditions=[{"param_in": {"field": "f", "values": {"x"}}}])),
    ("frozenset-is-array", permit_policy(conditions=[{"param_in": {"field": "f", "values": frozenset(["x"])}}])),
    ("mapping-is-object", Policies({"policies": [Policies({"name": "p", "effect": "permit", "conditions": []})]})),
    ("sequence-is-array", {"policies": Conditions([{"name": "p", "effect": "permit", "conditions": []}])}),
    ("int-priority", permit_policy(priority=7)),
]


@pytest.mark.parametrize("doc", [c[1] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_dict_values_that_convert(doc):
    gate = engine.Gate.from_dict(doc, enable_drift=False)
    c = ctx()
    c.with_param("f", "x")
    assert gate.evaluate(c).is_permit


REJECTED = [
    ("u64-overflow", permit_policy(priority=2**64), "JSON number out of range"),
    ("i64-underflow", permit_policy(priority=-(2**63) - 1), "JSON number out of range"),
    ("negative-priority", permit_policy(priority=-1), None),
    ("bool-priority", permit_policy(priority=True), None),
    ("bytes", permit_policy(name=b"p"), None),
    ("bytearray", permit_policy(name=bytearray(b"p")), None),
    ("unsupported", permit_policy(description=object()), "unsupported type: object"),
    ("unsupported-complex", permit_policy(description=1j), "unsupported type: complex"),
    ("non-str-key", {"policies": [{1: "p", "effect": "permit", "conditions": []}]}, "dict keys must be str"),
    ("nan-max", permit_policy(conditions=[{"param_max": {"field": "f", "max": math.nan}}]), None),
    ("top-level-list", [permit_policy()], None),
]


@pytest.mark.parametrize("doc,fragment", [c[1:] for c in REJECTED], ids=[c[0] for c in REJECTED])
def test_dict_values_that_are_rejected(doc, fragment):
    with pytest.raises(ValueError) as info:
        engine.Gate.from_dict(doc)
    message = str(info.value)
    assert message.startswith("policy dict parse error: ")
    if fragment is not None:
        assert fragment in message


def test_self_referencing_dict_is_rejected_not_crashing():
    doc = {"policies": []}
    doc["policies"].append(doc)
    with pytest.raises(ValueError, match="^policy dict parse error: nesting too deep"):
        engine.Gate.from_dict(doc)


def test_exceptions_raised_by_user_containers_pass_through():
    class Boom(Exception):
        pass

    class Broken(collections.abc.Mapping):
        def __getitem__(self, key):
            raise Boom("no item")

        def __iter__(self):
            return iter(["policies"])

        def __len__(self):
            return 1

    with pytest.raises(Boom):
        engine.Gate.from_dict(Broken())
