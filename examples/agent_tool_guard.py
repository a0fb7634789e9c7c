"""Guarding the tools of a tool-calling agent.

Every tool the agent may call is wrapped with ``Guard.protect``: the call
runs only when the gate permits it, receives the signed permit token, and
every decision lands in a signed audit log on disk. Run it from the
repository root:

    PYTHONPATH=build/python python3 examples/agent_tool_guard.py
"""

import asyncio
import pathlib
import sys
import tempfile

import ostrel
from ostrel import Guard, GuardDenied

POLICY = """
[[policy]]
name = "no-deletes"
effect = "refuse"
priority = 10
conditions = [{ action = "files.delete" }]

[[policy]]
name = "search-and-read"
effect = "permit"
conditions = [{ identity_kind = "agent" }, { action = "web.*" }]

[[policy]]
name = "small-refunds"
effect = "permit"
conditions = [
  { identity_role = "support" },
  { action = "payments.refund" },
  { param_max = { field = "amount", max = 100 } },
  { rate_limit = { max = 3, window = "1h" } },
]
"""


def main() -> int:
    work = pathlib.Path(tempfile.mkdtemp(prefix="agent-guard-"))
    key = ostrel.OstrelKeyPair.generate()
    gate = ostrel.Gate(POLICY, token_signer=ostrel.PqTokenSigner.from_keypair_hybrid(key))
    audit = ostrel.ManagedAuditChain(key, str(work / "audit.jsonl"), max_entries=100)
    guard = Guard(gate, principal_id="helpdesk-agent", principal_kind="agent", roles=["support"],
                  ip="192.0.2.10", audit=audit)

    # The agent's tools. The permit argument is filled in by the guard.
    @guard.protect("web.search", params=("query",))
    def web_search(query: str, *, permit: ostrel.PermitToken) -> str:
        return f"results for {query!r} (permit {permit.token_id[:8]})"

    @guard.protect("payments.refund", params=("amount",))
    def refund(order_id: str, amount: float) -> str:
        return f"refunded {amount} on {order_id}"

    @guard.protect("files.delete", resource=lambda path: path)
    async def delete_file(path: str) -> str:
        return f"deleted {path}"

    # What the model asked for, in order.
    plan = [
        lambda: web_search("reset password"),
        lambda: refund("A-1001", 40),
        lambda: refund("A-1002", 250),          # above the policy's ceiling
        lambda: refund("A-1003", 20),
        lambda: refund("A-1004", 10),           # fourth attempt within the hour (refused ones count too)
        lambda: asyncio.run(delete_file("/srv/data.db")),
    ]
    for step in plan:
        try:
            print("ok     ", step())
        except GuardDenied as denied:  # tell the model why, do not crash the agent
            print("denied ", denied)

    audit.drain()
    data = (work / "audit.jsonl").read_bytes()
    count = ostrel.SignedAuditChain.verify_jsonl_segments([data, audit.export_tail_jsonl()], key.public_keys())
    print(f"audit log {work / 'audit.jsonl'}: {count} signed decisions verified")
    return 0


if __name__ == "__main__":
    sys.exit(main())
