"""The in-process store and broadcaster classes: InMemorySessionStore,
InMemoryInvalidationBroadcaster, and the declaration rules shared by all
store, broadcaster and listener classes."""

import inspect
import uuid
import weakref

import pytest

import _ostrel_engine as engine

STORE_CLASSES = [
    "RedisRateLimitStore",
    "RedisSessionStore",
    "InMemorySessionStore",
    "RedisInvalidationBroadcaster",
    "InMemoryInvalidationBroadcaster",
    "InvalidationScope",
    "InvalidationListenerHandle",
]

CONSTRUCTIBLE = {"InMemorySessionStore", "InMemoryInvalidationBroadcaster"}

# (class, member, signature as inspect shows it)
SIGNATURES = [
    ("InMemorySessionStore", None, "()"),
    ("InMemoryInvalidationBroadcaster", None, "()"),
    ("InMemorySessionStore", "invalidate", "(self, /, session_id)"),
    ("InMemorySessionStore", "is_invalidated", "(self, /, session_id)"),
    ("RedisSessionStore", "invalidate", "(self, /, session_id)"),
    ("RedisSessionStore", "is_invalidated", "(self, /, session_id)"),
    ("RedisSessionStore", "from_url", "(url)"),
    ("RedisSessionStore", "from_url_with_ttl", "(url, ttl_secs)"),
    ("RedisRateLimitStore", "from_url", "(url)"),
    ("RedisInvalidationBroadcaster", "from_url", "(url, channel)"),
    (
        "InMemoryInvalidationBroadcaster",
        "publish",
        "(self, /, target_kind, target_id, reason, evaluator=Ellipsis)",
    ),
    ("InvalidationListenerHandle", "abort", "(self, /)"),
]

# Members of each class besides the object protocol (the Redis classes have no
# others: Python code cannot publish on a Redis broadcaster).
PUBLIC_MEMBERS = {
    "RedisRateLimitStore": {"from_url"},
    "RedisSessionStore": {"from_url", "from_url_with_ttl", "invalidate", "is_invalidated"},
    "InMemorySessionStore": {"invalidate", "is_invalidated", "len"},
    "RedisInvalidationBroadcaster": {"from_url"},
    "InMemoryInvalidationBroadcaster": {"publish", "subscriber_count"},
    "InvalidationScope": {"target_kind", "target_id", "reason", "evaluator"},
    "InvalidationListenerHandle": {"abort", "is_finished"},
}


def public_members(cls):
    return {n for n in vars(cls) if not n.startswith("_")}


@pytest.mark.parametrize("name", STORE_CLASSES)
def test_class_declaration_rules(name):
    cls = getattr(engine, name)
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__module__ == "_ostrel_engine"
    assert cls.__bases__ == (object,)
    assert cls.__doc__
    assert public_members(cls) == PUBLIC_MEMBERS[name]
    for member in PUBLIC_MEMBERS[name]:
        attr = getattr(cls, member)
        if callable(attr):
            assert attr.__doc__, (name, member)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("name", sorted(set(STORE_CLASSES) - CONSTRUCTIBLE))
def test_classes_without_constructor_refuse_calls(name):
    with pytest.raises(TypeError):
        getattr(engine, name)()


@pytest.mark.parametrize("name", sorted(CONSTRUCTIBLE))
def test_instances_have_no_dict_weakrefs_or_settable_attributes(name):
    obj = getattr(engine, name)()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.extra = 1
    # Read-only properties.
    prop = "len" if name == "InMemorySessionStore" else "subscriber_count"
    with pytest.raises(AttributeError):
        setattr(obj, prop, 5)


@pytest.mark.parametrize("cls_name, member, expected", SIGNATURES)
def test_text_signatures(cls_name, member, expected):
    cls = getattr(engine, cls_name)
    target = cls if member is None else getattr(cls, member)
    assert str(inspect.signature(target)) == expected


def test_spawn_function_signature():
    fn = engine.spawn_invalidation_listener
    assert str(inspect.signature(fn)) == "(broadcaster, callback)"
    # The docstring ends with the short example.
    assert "received.append" in fn.__doc__.splitlines()[-1]


def test_constructors_take_no_arguments():
    for cls in (engine.InMemorySessionStore, engine.InMemoryInvalidationBroadcaster):
        with pytest.raises(TypeError):
            cls(1)
        with pytest.raises(TypeError):
            cls(capacity=3)


# ---------------------------------------------------------------------------
# InMemorySessionStore


def test_fresh_store_is_empty_and_poison_pill_is_found():
    store = engine.InMemorySessionStore()
    assert store.len == 0
    assert store.invalidate("abc") is None
    assert store.len == 1
    assert store.is_invalidated("abc") is True
    assert store.is_invalidated("other") is False
    # Stored under the exact text: no trimming, no case folding.
    assert store.is_invalidated("ABC") is False
    assert store.is_invalidated(" abc") is False


@pytest.mark.parametrize(
    "session_id",
    [
        str(uuid.uuid4()),
        str(uuid.uuid4()).upper(),
        uuid.uuid4().hex,
        "{" + str(uuid.uuid4()) + "}",
        "not-a-uuid",
        "",
        "ünïcode ☃",
    ],
)
def test_invalidate_stores_under_the_given_text(session_id):
    store = engine.InMemorySessionStore()
    store.invalidate(session_id)
    assert store.is_invalidated(session_id)
    assert store.len == 1


def test_invalidate_twice_keeps_one_record():
    store = engine.InMemorySessionStore()
    sid = str(uuid.uuid4())
    store.invalidate(sid)
    store.invalidate(sid)
    assert store.len == 1
    assert store.is_invalidated(sid)


def test_stores_are_independent():
    a, b = engine.InMemorySessionStore(), engine.InMemorySessionStore()
    a.invalidate("s")
    assert a.is_invalidated("s")
    assert not b.is_invalidated("s")
    assert b.len == 0


@pytest.mark.parametrize("method", ["invalidate", "is_invalidated"])
@pytest.mark.parametrize("bad", [None, 1, b"abc", ["abc"]])
def test_session_id_must_be_text(method, bad):
    store = engine.InMemorySessionStore()
    with pytest.raises(TypeError, match="^argument 'session_id': "):
        getattr(store, method)(bad)
    assert store.len == 0


def test_session_methods_accept_keywords():
    store = engine.InMemorySessionStore()
    store.invalidate(session_id="k")
    assert store.is_invalidated(session_id="k")
    with pytest.raises(TypeError):
        store.invalidate(sid="k")


# ---------------------------------------------------------------------------
# InMemoryInvalidationBroadcaster.publish


def test_fresh_broadcaster_has_no_subscribers_and_publish_without_any_is_fine():
    b = engine.InMemoryInvalidationBroadcaster()
    assert b.subscriber_count == 0
    assert b.publish("role", "admin", "no one listens") is None
    assert b.publish("principal", "p-1", "r", "custom-evaluator") is None
    assert b.publish("session", str(uuid.uuid4()), "r", evaluator="drift") is None


@pytest.mark.parametrize("kind", ["Session", "ROLE", " role", "role ", "user", ""])
def test_publish_rejects_unknown_target_kinds(kind):
    b = engine.InMemoryInvalidationBroadcaster()
    with pytest.raises(ValueError) as info:
        b.publish(kind, "x", "r")
    assert str(info.value) == f"target_kind must be 'session'|'principal'|'role', got '{kind}'"


@pytest.mark.parametrize("target_id", ["admin", "", "1234", str(uuid.uuid4())[:-1]])
def test_publish_session_needs_a_uuid(target_id):
    b = engine.InMemoryInvalidationBroadcaster()
    with pytest.raises(ValueError) as info:
        b.publish("session", target_id, "r")
    message = str(info.value)
    assert message.startswith("target_id not a UUID: ")
    assert len(message) > len("target_id not a UUID: ")


@pytest.mark.parametrize("position", range(4))
def test_publish_arguments_must_be_text(position):
    args = ["role", "admin", "reason", "evaluator"]
    args[position] = 7
    b = engine.InMemoryInvalidationBroadcaster()
    name = ["target_kind", "target_id", "reason", "evaluator"][position]
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        b.publish(*args)


# ---------------------------------------------------------------------------
# Gate options


def test_gate_accepts_the_in_memory_broadcaster_but_not_other_objects():
    from conftest import PERMIT_ALL

    b = engine.InMemoryInvalidationBroadcaster()
    assert engine.Gate(PERMIT_ALL, broadcaster=b).evaluator_count == 2
    assert engine.Gate.from_dict({"policies": []}, broadcaster=b).evaluator_count == 2
    for wrong in (object(), engine.InMemorySessionStore(), "redis://localhost"):
        with pytest.raises(ValueError) as info:
            engine.Gate(PERMIT_ALL, broadcaster=wrong)
        assert str(info.value) == (
            "broadcaster must be RedisInvalidationBroadcaster or InMemoryInvalidationBroadcaster"
        )


def test_gate_rate_store_refuses_in_memory_objects():
    from conftest import PERMIT_ALL

    for wrong in (engine.InMemorySessionStore(), engine.InMemoryInvalidationBroadcaster()):
        with pytest.raises(TypeError, match="^argument 'rate_store': "):
            engine.Gate(PERMIT_ALL, rate_store=wrong)
