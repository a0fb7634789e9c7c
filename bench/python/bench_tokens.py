"""Python-level benchmark of permit-token signing and verification, against the
cryptographic work they are made of.

Run with:
    PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_tokens.py [tokens] [rounds]

Measured from Python, per token (median over rounds of the mean over all tokens):
  - PqTokenSigner.sign (hybrid) of a PermitToken,
  - PqTokenSigner.verify,
  - DirectoryTokenVerifier.verify (in-memory directory of 100 bundles),
  - Gate.evaluate with a hybrid token signer, and without one;
  - and, to show where verification time goes, a PQ-only signer offered the
    hybrid envelopes: it parses the envelope and stops at the algorithm check.

For comparison, the native program <build>/bench_token_primitives measures the
primitives alone (ML-DSA-65 seed expansion + signing + Ed25519 signing; ML-DSA
key decoding + verification + Ed25519 key check + verification) over exactly
the same tokens and seeds: ML-DSA signing time depends on the message, so both
sides sign the same messages. Native and Python runs are interleaved round by
round so that machine load affects both alike. The gate's own tokens are
random, so its comparison carries the rejection-loop noise of random messages.

This is a program, not a test: it asserts nothing about speed.
"""

import json
import os
import statistics
import subprocess
import sys
import time

import _ostrel_engine as engine

PERMIT_ALL = '[[policy]]\nname = "allow-all"\neffect = "permit"\nconditions = []\n'
EVAL_ID = "0d9e8f7a-6b5c-4d3e-9f21-0a1b2c3d4e5f"


def tokens_like_native(n):
    """The tokens bench_token_primitives signs (see its header)."""
    return [engine.PermitToken(f"00000000-0000-4000-8000-{i:012x}", EVAL_ID, 1700000000 + i, 1700000030 + i,
                               "files.read") for i in range(n)]


def per_call_us(fn, items):
    t0 = time.perf_counter()
    for item in items:
        fn(item)
    return (time.perf_counter() - t0) / len(items) * 1e6


def native_binary():
    build = os.path.dirname(os.path.dirname(os.path.abspath(engine.__file__)))
    path = os.path.join(build, "bench_token_primitives")
    return path if os.access(path, os.X_OK) else None


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 128
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7

    kp = engine.OstrelKeyPair.generate()
    wire = json.loads(kp.to_secret_bytes()[5:])
    seeds = bytes(wire["ml_dsa_signing_key"]).hex() + ":" + bytes(wire["ed25519_signing_key"]).hex()
    signer = engine.PqTokenSigner.from_keypair_hybrid(kp)
    tokens = tokens_like_native(n)
    signed = [(t, signer.sign(t)) for t in tokens]

    others = [engine.OstrelKeyPair.generate().public_keys() for _ in range(99)]
    directory = engine.PublicKeyDirectory.in_memory(others + [kp.public_keys()])
    verifier = engine.DirectoryTokenVerifier(directory)

    gate_signed = engine.Gate(PERMIT_ALL, token_signer=signer)
    gate_plain = engine.Gate(PERMIT_ALL)
    ctx = engine.ActionContext("agent-1", "agent", "files.read", ip="10.0.0.1", origin_ip="10.0.0.1")
    assert gate_signed.evaluate(ctx).signature is not None
    gate_batch = range(n)

    native = native_binary()
    env = dict(os.environ, OSTREL_BENCH_SEEDS=seeds)
    pq_only = engine.PqTokenSigner.from_keypair_pq_only(kp)

    def parse_only(pair):
        try:
            pq_only.verify(*pair)
        except ValueError:
            pass

    results = {k: [] for k in ("sign", "verify", "dir_verify", "gate_signed", "gate_plain", "parse_only")}
    native_results = {k: [] for k in ("sign_sum_us", "sign_ml_dsa_us", "sign_ed25519_us", "verify_sum_us",
                                      "verify_ml_dsa_us", "verify_ed25519_us", "envelope_write_us",
                                      "envelope_parse_us")}

    for _ in range(rounds):
        results["sign"].append(per_call_us(signer.sign, tokens))
        results["verify"].append(per_call_us(lambda p: signer.verify(*p), signed))
        results["dir_verify"].append(per_call_us(lambda p: verifier.verify(*p), signed))
        results["gate_signed"].append(per_call_us(lambda _: gate_signed.evaluate(ctx), gate_batch))
        results["gate_plain"].append(per_call_us(lambda _: gate_plain.evaluate(ctx), gate_batch))
        results["parse_only"].append(per_call_us(parse_only, signed))
        if native:
            out = subprocess.run([native, str(n), "1"], env=env, check=True, capture_output=True, text=True)
            got = json.loads(out.stdout)
            for k in native_results:
                native_results[k].append(got[k])

    med = {k: statistics.median(v) for k, v in results.items()}
    print(f"tokens per round: {n}, rounds: {rounds}; medians in microseconds per call")
    print(f"{'Python call':45s} {'median':>10s}")
    print(f"{'PqTokenSigner.sign (hybrid)':45s} {med['sign']:10.1f}")
    print(f"{'PqTokenSigner.verify (hybrid)':45s} {med['verify']:10.1f}")
    print(f"{'DirectoryTokenVerifier.verify (hybrid)':45s} {med['dir_verify']:10.1f}")
    print(f"{'Gate.evaluate, hybrid token signer':45s} {med['gate_signed']:10.1f}")
    print(f"{'Gate.evaluate, no signer':45s} {med['gate_plain']:10.1f}")
    print(f"{'envelope parse + algorithm check only':45s} {med['parse_only']:10.1f}")
    if not native:
        print("\n(native primitives not measured: build the bench_token_primitives target next to the module)")
        return

    nat = {k: statistics.median(v) for k, v in native_results.items()}
    print(f"\n{'native primitives':45s} {'median':>10s}")
    for k in native_results:
        print(f"{k:45s} {nat[k]:10.1f}")

    comparisons = [
        ("sign vs ML-DSA expand+sign + Ed25519 sign", med["sign"], nat["sign_sum_us"]),
        ("verify vs ML-DSA decode+verify + Ed25519", med["verify"], nat["verify_sum_us"]),
        ("directory verify vs the same primitives", med["dir_verify"], nat["verify_sum_us"]),
        ("gate (signed) vs gate (unsigned) + signing", med["gate_signed"], med["gate_plain"] + nat["sign_sum_us"]),
    ]
    print(f"\n{'comparison':45s} {'python':>10s} {'floor':>10s} {'overhead':>9s}")
    for name, measured, floor in comparisons:
        print(f"{name:45s} {measured:10.1f} {floor:10.1f} {100 * (measured / floor - 1):8.1f}%")


if __name__ == "__main__":
    main()
