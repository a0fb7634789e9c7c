"""Python-level benchmark of SecureChannel on 1 KiB messages, against the cryptographic
primitives each operation performs.

Run with:
    PYTHONPATH=<build>/python /usr/bin/python3 bench/python/bench_channel.py [calls] [rounds]

Measured from Python, per call (median over rounds of the mean over `calls` calls):
  - send_data and receive_data of 1 KiB,
  - send_signed and receive_signed of 1 KiB (each received message is a distinct one:
    a repeated one would be refused as a replay).

For comparison, the native program <build>/bench_channel measures the primitives alone
(ML-KEM-768 encapsulation or decapsulation from the seed, X25519, HKDF-SHA256,
ChaCha20-Poly1305, plus ML-DSA-65 and Ed25519 signing or verification for the signed
flow) and the channel's native calls; see its header for the exact list. Native and
Python runs are interleaved round by round so that machine load affects both alike.

This is a program, not a test: it asserts nothing about speed.
"""

import json
import os
import statistics
import subprocess
import sys
import time

import _ostrel_engine as engine


def per_call_us(fn, items):
    t0 = time.perf_counter()
    for item in items:
        fn(item)
    return (time.perf_counter() - t0) / len(items) * 1e6


def native_binary():
    build = os.path.dirname(os.path.dirname(os.path.abspath(engine.__file__)))
    path = os.path.join(build, "bench_channel")
    return path if os.access(path, os.X_OK) else None


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5

    a, b = engine.OstrelKeyPair.generate(), engine.OstrelKeyPair.generate()
    a_to_b = engine.SecureChannel(a, b.public_keys())
    b_from_a = engine.SecureChannel(b, a.public_keys())
    data = bytes((i * 13 + 5) % 256 for i in range(1024))
    calls = range(n)

    native = native_binary()
    results = {k: [] for k in ("send_data", "receive_data", "send_signed", "receive_signed")}
    native_rounds = []
    for _ in range(rounds):
        sealed = a_to_b.send_data(data)
        results["send_data"].append(per_call_us(lambda _: a_to_b.send_data(data), calls))
        results["receive_data"].append(per_call_us(lambda _: b_from_a.receive_data(sealed), calls))
        results["send_signed"].append(per_call_us(lambda _: a_to_b.send_signed(data, "ctx", "corr"), calls))
        signed = [a_to_b.send_signed(data, "ctx", "corr") for _ in calls]
        results["receive_signed"].append(per_call_us(lambda s: b_from_a.receive_signed(s, "ctx"), signed))
        if native:
            out = subprocess.run([native, str(n), "1"], check=True, capture_output=True, text=True).stdout
            native_rounds.append(json.loads(out))

    print(f"SecureChannel from Python, 1 KiB messages, {n} calls x {rounds} rounds (median of round means, us/call)")
    medians = {k: statistics.median(v) for k, v in results.items()}
    if not native_rounds:
        for k, v in medians.items():
            print(f"  {k:15s} {v:10.1f}")
        print("  (build the bench_channel target for the primitives' figures)")
        return

    nat = {k: statistics.median(r[k] for r in native_rounds) for k in native_rounds[0]}
    print(f"{'operation':15s} {'python':>10s} {'native call':>12s} {'primitives':>11s} {'python/prim':>12s}")
    for op in results:
        prim = nat[f"{op}_primitives_us"]
        print(f"{op:15s} {medians[op]:10.1f} {nat['native_' + op + '_us']:12.1f} {prim:11.1f} "
              f"{medians[op] / prim:11.2f}x")
    print()
    print("primitives (native medians, us):")
    for key in ("data_mlkem_encaps_us", "data_mlkem_decaps_from_seed_us", "data_x25519_ephemeral_us",
                "data_x25519_agree_us", "data_hkdf_us", "data_aead_seal_us", "data_aead_open_us",
                "signed_aead_seal_us", "signed_aead_open_us", "mldsa_sign_us", "ed25519_sign_us",
                "mldsa_verify_us", "ed25519_verify_us"):
        print(f"  {key:32s} {nat[key]:9.1f}")
    print(f"  sealed JSON bytes: data {nat['sealed_json_bytes_data']:.0f}, signed {nat['sealed_json_bytes_signed']:.0f}; "
          f"signed plaintext {nat['signed_plaintext_bytes']:.0f} bytes")
    print(f"  native sealed-JSON write+read: data {nat['native_sealed_json_roundtrip_data_us']:.1f} us, "
          f"signed {nat['native_sealed_json_roundtrip_signed_us']:.1f} us")


if __name__ == "__main__":
    main()
