"""The guard helper: decorated plain and async functions, context managers,
the exceptions, the permit token handed on, and the audit trail."""

import asyncio
import pathlib

import pytest

import _ostrel_engine as engine
import ostrel
from ostrel.guard import ActionRefused, Guard, GuardDenied, SessionInvalidated

POLICY = """
[[policy]]
name = "no-drops"
effect = "refuse"
priority = 10
conditions = [{ action = "db.drop*" }]

[[policy]]
name = "refunds"
effect = "permit"
conditions = [{ action = "payments.refund" }, { param_max = { field = "amount", max = 1000 } },
              { param_in = { field = "currency", values = ["EUR"] } }]

[[policy]]
name = "docs"
effect = "permit"
conditions = [{ action = "docs.*" }]

[[policy]]
name = "prod-only"
effect = "permit"
conditions = [{ action = "deploy" }, { resource = "prod/*" }]
"""


@pytest.fixture(scope="module")
def key():
    return engine.OstrelKeyPair.generate()


@pytest.fixture()
def gate(key):
    return engine.Gate(POLICY, token_signer=engine.PqTokenSigner.from_keypair_hybrid(key), max_session_actions=20)


@pytest.fixture()
def chain(key):
    return engine.SignedAuditChain(key)


@pytest.fixture()
def guard(gate, chain):
    return Guard(gate, principal_id="agent-1", principal_kind="agent", ip="10.1.2.3", audit=chain)


def entries(chain):
    import json

    return [json.loads(bytes(json.loads(line)["signed_payload"]["data"]))
            for line in chain.export_jsonl().splitlines()]


def test_package_exports_the_guard():
    assert ostrel.Guard is Guard and ostrel.ActionRefused is ActionRefused
    assert issubclass(ActionRefused, GuardDenied) and issubclass(SessionInvalidated, GuardDenied)


def test_decorated_function_gets_a_signed_permit_verifiable_downstream(guard, key):
    calls = []

    @guard.protect("payments.refund", params=("amount", "currency"))
    def refund(order, amount, currency="EUR", *, permit):
        calls.append((order, amount, currency, permit))
        return "done"

    assert refund("o-1", 250) == "done"
    order, amount, currency, permit = calls[0]
    assert (order, amount, currency) == ("o-1", 250, "EUR")
    assert isinstance(permit, engine.PermitToken) and permit.action_name == "payments.refund"
    directory = engine.PublicKeyDirectory.in_memory([key.public_keys()])
    engine.DirectoryTokenVerifier(directory).verify(permit, permit.signature)


@pytest.mark.parametrize(
    "amount, currency, code",
    [(5000, "EUR", "NO_POLICY_MATCH"), (10, "USD", "NO_POLICY_MATCH")],
)
def test_refusal_raises_and_the_function_does_not_run(guard, amount, currency, code):
    ran = []

    @guard.protect("payments.refund", params=("amount", "currency"))
    def refund(amount, currency):
        ran.append(1)

    with pytest.raises(ActionRefused) as info:
        refund(amount, currency)
    assert ran == []
    assert info.value.code == code
    assert info.value.verdict.is_refuse
    assert info.value.evaluator == "policy"
    assert "payments.refund by agent-1 refused" in str(info.value)


def test_action_name_defaults_to_the_function_name_and_permit_is_optional(guard):
    @guard.protect()
    def drop_table():
        return "dropped"

    with pytest.raises(ActionRefused):
        drop_table()  # no policy permits "drop_table"

    @guard.protect("docs.read")
    def read(page):
        return page

    assert read(3) == 3


def test_params_and_resource_from_callables(guard):
    @guard.protect("deploy", resource=lambda env: f"{env}/api", params=lambda env: {"env": env})
    def deploy(env):
        return env

    assert deploy("prod") == "prod"
    with pytest.raises(ActionRefused):
        deploy("staging")


def test_async_functions_are_guarded(guard):
    @guard.protect("docs.search")
    async def search(query, *, permit):
        await asyncio.sleep(0)
        return permit.action_name

    @guard.protect("db.drop_all")
    async def drop():
        raise AssertionError("must not run")

    assert asyncio.run(search("x")) == "docs.search"
    with pytest.raises(ActionRefused) as info:
        asyncio.run(drop())
    assert info.value.reason == "denied by policy 'no-drops'"


def test_context_managers(guard):
    with guard.action("docs.read") as permit:
        assert permit.action_name == "docs.read"
    with pytest.raises(ActionRefused):
        with guard.action("db.drop"):
            raise AssertionError("must not run")

    async def body():
        async with guard.async_action("docs.list") as permit:
            return permit.token_id

    assert len(asyncio.run(body())) == 36


def test_every_decision_is_audited_and_the_chain_verifies(guard, chain, key):
    guard.check("docs.read", resource="kb/1")
    with pytest.raises(ActionRefused):
        guard.check("db.drop")
    recorded = entries(chain)
    assert [e["verdict"] for e in recorded] == ["permit", "refuse"]
    assert recorded[0]["resource"] == "kb/1"
    assert recorded[1]["verdict_detail"] == "[POLICY_DENIED] policy: denied by policy 'no-drops'"
    assert all(e["principal_id"] == "agent-1" and e["session_id"] == guard.session_id for e in recorded)
    chain.verify(key.public_keys())


def test_session_is_tracked_across_calls():
    capped = engine.Gate(POLICY, max_session_actions=2, enable_drift=False)
    guard = Guard(capped, principal_id="busy", principal_kind="agent")
    guard.check("docs.a")
    guard.check("docs.b")
    guard.check("docs.c")  # action_count 2 <= 2
    with pytest.raises(ActionRefused) as info:
        guard.check("docs.d")
    assert info.value.code == "INVARIANT_VIOLATION"
    assert guard.action_count == 4


def test_drift_invalidation_raises_and_revokes_the_session(gate, chain):
    store = engine.InMemorySessionStore() if hasattr(engine, "InMemorySessionStore") else None
    guard = Guard(gate, principal_id="agent-2", principal_kind="agent", ip="10.0.0.1", audit=chain,
                  session_store=store)
    guard.check("docs.read")
    guard.ip = "10.9.9.9"
    with pytest.raises(SessionInvalidated) as info:
        guard.check("docs.read")
    assert info.value.kind == "invalidate" and info.value.evaluator == "drift"
    assert "IP changed mid-session: 10.0.0.1" in info.value.reason
    if store is not None:
        assert store.is_invalidated(guard.session_id)
    # Later calls are refused without reaching the policies, and audited.
    guard.ip = "10.0.0.1"
    with pytest.raises(ActionRefused) as later:
        guard.check("docs.read")
    assert later.value.code == "SESSION_INVALID" and later.value.verdict is None
    assert [e["verdict"] for e in entries(chain)] == ["permit", "invalidate", "refuse"]


@pytest.mark.skipif(not hasattr(engine, "InMemorySessionStore"), reason="session store classes not in this build")
def test_revocation_from_another_replica_is_honoured(gate):
    store = engine.InMemorySessionStore()
    first = Guard(gate, principal_id="a", principal_kind="agent", session_store=store)
    first.check("docs.read")
    store.invalidate(first.session_id)  # e.g. a peer saw drift on this session
    with pytest.raises(ActionRefused) as info:
        first.check("docs.read")
    assert info.value.code == "SESSION_INVALID"


def test_managed_chain_works_as_the_audit_sink(gate, key, tmp_path):
    chain = engine.ManagedAuditChain(key, str(tmp_path / "audit.jsonl"))
    guard = Guard(gate, principal_id="m", principal_kind="agent", audit=chain)
    for n in range(3):
        guard.check(f"docs.{n}")
    chain.drain()
    data = pathlib.Path(tmp_path / "audit.jsonl").read_bytes()
    assert engine.SignedAuditChain.verify_jsonl_segments([data, chain.export_tail_jsonl()], key.public_keys()) == 3
