"""``ostrel demo``: one realistic agent session against the in-memory defaults.

Everything printed comes from the calls made here: keys are generated and
saved, the directory manifest is signed and loaded back from disk, every
decision is a real ``Gate.evaluate`` and is appended to a managed audit log
on disk, and the log is verified from the file at the end.
"""

from __future__ import annotations

import os
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, List, Optional

import _ostrel_engine as engine

from ._util import format_unix
from .cli import verdict_line
from .guard import Guard, GuardDenied, SessionInvalidated

# A hard ceiling on refunds that no policy can lift.
REFUND_CEILING = ("refund-ceiling", "amount", 2500.0)


def find_policy(explicit: Optional[str]) -> Path:
    if explicit:
        return Path(explicit)
    candidates = [
        Path.cwd() / "examples" / "policies.toml",
        Path(__file__).resolve().parents[2] / "examples" / "policies.toml",
    ]
    for candidate in candidates:
        if candidate.is_file():
            return candidate
    raise FileNotFoundError("examples/policies.toml not found; pass --policy PATH")


class _Out:
    def __init__(self) -> None:
        self.step = 0

    def head(self, text: str) -> None:
        print(f"\n== {text}")

    def line(self, text: str) -> None:
        print(f"   {text}")

    def call(self, who: str, action: str, outcome: str) -> None:
        self.step += 1
        print(f"{self.step:3d}. {who:<14} {action:<34} {outcome}")


def run(policy_path: Optional[str] = None, workdir: Optional[str] = None) -> int:
    try:
        policy_file = find_policy(policy_path)
        policy_text = policy_file.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        print(f"ostrel demo: error: {exc}", file=sys.stderr)
        return 1
    if workdir:
        os.makedirs(workdir, exist_ok=True)
        status = _session(policy_file, policy_text, Path(workdir))
        audit_file = Path(workdir) / "audit.jsonl"
        print(f"\ncheck it yourself: ostrel audit verify {audit_file} --bundle {Path(workdir) / 'audit.bundle.json'}")
        return status
    with tempfile.TemporaryDirectory(prefix="ostrel-demo-") as tmp:
        return _session(policy_file, policy_text, Path(tmp))


def _session(policy_file: Path, policy_text: str, work: Path) -> int:
    out = _Out()
    print(f"ostrel demo: an agent session against a gate built from {policy_file}")
    print(f"files in {work}")

    # --- identities -------------------------------------------------------
    out.head("keys and the signed directory")
    root = engine.OstrelKeyPair.generate()
    gate_key = engine.OstrelKeyPair.generate_with_expiry(90 * 86400)
    audit_key = engine.OstrelKeyPair.generate()
    for name, key in (("root", root), ("gate", gate_key), ("audit", audit_key)):
        path = work / f"{name}.key"
        key.save_to_file(str(path))
        mode = os.stat(path).st_mode & 0o777
        out.line(f"{name + ' key':<10} {key.id}  {path.name} (mode {mode:04o}, expires {format_unix(key.expires_at)})")
    (work / "audit.bundle.json").write_text(audit_key.public_keys().to_json() + "\n")
    (work / "root.bundle.json").write_text(root.public_keys().to_json() + "\n")

    manifest_path = work / "directory.json"
    manifest_path.write_bytes(root.build_signed_manifest([gate_key.public_keys()]))
    directory = engine.PublicKeyDirectory.from_signed_file(str(manifest_path), root.public_keys().ml_dsa_verifying_key)
    verifier = engine.DirectoryTokenVerifier(directory, hybrid=True)
    out.line(f"directory  {manifest_path.name}: root signature verified on load, {len(directory)} key(s): "
             f"{directory.fetch(gate_key.id).id}")

    # --- the gate -----------------------------------------------------------
    out.head("the gate")
    signer = engine.PqTokenSigner.from_keypair_hybrid(gate_key)
    broadcaster_cls = getattr(engine, "InMemoryInvalidationBroadcaster", None)
    broadcaster = broadcaster_cls() if broadcaster_cls is not None else None
    gate = engine.Gate(
        policy_text,
        invariants=[REFUND_CEILING],
        max_session_actions=50,
        token_signer=signer,
        broadcaster=broadcaster,
    )
    out.line(f"policies   {policy_file.name}; {gate.evaluator_count} evaluators (policy, drift, invariants)")
    out.line(f"signer     {signer.key_id} ({'hybrid ML-DSA-65 + Ed25519' if signer.is_hybrid else 'ML-DSA-65'})")
    out.line(f"invariants {REFUND_CEILING[0]}: {REFUND_CEILING[1]} <= {REFUND_CEILING[2]:g}; max_session_actions 50")

    received: List[Any] = []
    arrived = threading.Event()
    listener = None
    if broadcaster is not None and hasattr(engine, "spawn_invalidation_listener"):

        def on_invalidation(scope: Any) -> None:
            received.append(scope)
            arrived.set()

        listener = engine.spawn_invalidation_listener(broadcaster, on_invalidation)
        out.line(f"listener   subscribed to the gate's broadcaster ({broadcaster.subscriber_count} subscriber)")
    else:
        out.line("listener   (this engine build has no invalidation broadcaster; invalidations are shown from verdicts)")

    audit_path = work / "audit.jsonl"
    audit = engine.ManagedAuditChain(audit_key, str(audit_path), hybrid=True, max_entries=4, min_retained=2)
    out.line(f"audit      {audit_path.name}: signed hash chain, evicts to disk above 4 resident entries")

    # --- the session ----------------------------------------------------------
    out.head("the session")
    store_cls = getattr(engine, "InMemorySessionStore", None)
    sessions = store_cls() if store_cls is not None else None
    agent = Guard(gate, principal_id="support-bot-7", principal_kind="agent", roles=["support", "billing"],
                  ip="203.0.113.10", audit=audit, session_store=sessions)
    lead = Guard(gate, principal_id="finance-lead-2", principal_kind="agent", roles=["finance-lead"],
                 ip="203.0.113.20", audit=audit)
    out.line(f"support-bot-7   session {agent.session_id} from {agent.ip}")
    out.line(f"finance-lead-2  session {lead.session_id} from {lead.ip}")
    print()

    def attempt(guard: Guard, action: str, label: str = "", **kw: Any) -> Optional[Any]:
        try:
            token = guard.check(action, **kw)
        except GuardDenied as denied:
            if denied.verdict is not None:
                text = verdict_line(denied.verdict)
            else:
                text = f"REFUSE  [{denied.code}] {denied.evaluator}: {denied.reason} (revoked session, gate not asked)"
            out.call(guard.principal_id, label or action, text)
            return None
        out.call(guard.principal_id, label or action,
                 f"PERMIT  token {token.token_id} ({'signed' if token.signature else 'unsigned'})")
        return token

    token = attempt(agent, "docs.search", params={"query": "refund policy"})
    if token is not None:
        _downstream(out, verifier, token)
    attempt(agent, "db.drop_table", label="db.drop_table prod/orders", resource="prod/orders")
    for n in range(1, 5):
        attempt(agent, "email.send", label=f"email.send #{n} (limit 3/min)", params={"to": f"customer-{n}"})
    attempt(agent, "payments.refund", label="payments.refund 400 EUR", params={"amount": 400, "currency": "EUR"})
    attempt(agent, "payments.refund", label="payments.refund 1500 EUR", params={"amount": 1500, "currency": "EUR"})
    attempt(lead, "payments.refund", label="payments.refund 4000 EUR", params={"amount": 4000, "currency": "EUR"})
    token = attempt(lead, "payments.refund", label="payments.refund 2000 EUR", params={"amount": 2000, "currency": "EUR"})
    if token is not None:
        _tampered(out, verifier, token)

    agent.ip = "198.51.100.77"
    try:
        agent.check("docs.read", params={"page": 1})
        out.call(agent.principal_id, "docs.read from 198.51.100.77", "PERMIT (unexpected)")
    except SessionInvalidated as invalidated:
        assert invalidated.verdict is not None
        out.call(agent.principal_id, "docs.read from 198.51.100.77", verdict_line(invalidated.verdict))
    except GuardDenied as denied:
        out.call(agent.principal_id, "docs.read from 198.51.100.77", str(denied))
    if listener is not None:
        if arrived.wait(5.0):
            out.line(f"listener received {received[0]!r}")
        else:
            out.line("listener received nothing within 5 s")
        listener.abort()
    if sessions is not None:
        out.line(f"session store: session revoked = {sessions.is_invalidated(agent.session_id)}")
    attempt(agent, "docs.search", label="docs.search after revocation")

    # --- the audit log --------------------------------------------------------
    out.head("the audit log")
    audit.drain()
    stats = audit.stats()
    tail = audit.export_tail_jsonl()
    on_disk = audit_path.read_bytes().count(b"\n")
    out.line(f"appended {stats['entries_appended']} decisions; after a final drain {on_disk} are in "
             f"{audit_path.name} and {stats['resident_entries']} still in memory")
    bundle = engine.PublicKeyBundle.from_json((work / "audit.bundle.json").read_text())
    data = audit_path.read_bytes()
    count = engine.SignedAuditChain.verify_jsonl_segments([data, tail], bundle, True)
    out.line(f"verified from the file: {count} entries, hybrid signatures and hash links intact")
    lines = data.splitlines(keepends=True)
    if len(lines) > 1:
        tampered = lines[0] + lines[1].replace(b'"index":1', b'"index":7', 1) + b"".join(lines[2:])
        try:
            engine.SignedAuditChain.verify_jsonl_segments([tampered, tail], bundle, True)
            out.line("a tampered copy verified (unexpected)")
        except ValueError as exc:
            out.line(f"a copy with one index changed: {exc}")
    return 0


def _downstream(out: _Out, verifier: Any, token: Any) -> None:
    # What a downstream service receives: the wire fields and the signature.
    wire = engine.PermitToken(token.token_id, token.evaluation_id, token.issued_at, token.expires_at,
                              token.action_name, token.signature)
    verifier.verify(wire, wire.signature)
    out.line(f"     downstream: signature verified through the directory, valid until {format_unix(wire.expires_at)}")


def _tampered(out: _Out, verifier: Any, token: Any) -> None:
    forged = engine.PermitToken(token.token_id, token.evaluation_id, token.issued_at, token.expires_at,
                                "payments.refund.all", token.signature)
    try:
        verifier.verify(forged, forged.signature)
        out.line("     downstream: a forged token verified (unexpected)")
    except ValueError as exc:
        out.line(f"     downstream: the same token with its action renamed: {exc}")
