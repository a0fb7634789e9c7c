"""ML-DSA-65 and ML-KEM-768: our native code against OpenSSL, side by side.

Run with the machine's default python3 (the one that has `cryptography` with
OpenSSL's ML-DSA / ML-KEM):
    python3 bench/python/bench_pq_vs_openssl.py [--build-dir build] [--rounds 7]

Operations (the same on both sides):
  ML-DSA-65  keygen from seed    OpenSSL: MLDSA65PrivateKey.from_seed_bytes + public key bytes
                                 ours:    bench_mldsa65 BM_KeyGenFromSeed
             seed -> sign 100 B  OpenSSL: from_seed_bytes(seed).sign(msg)
                                 ours:    BM_SignFromSeed100B (message varies per iteration)
             pk decode + verify  OpenSSL: MLDSA65PublicKey.from_public_bytes(pk).verify(sig, msg)
                                 ours:    BM_Verify100B (decodes the public key each time)
  ML-KEM-768 keygen from seed    OpenSSL: MLKEM768PrivateKey.from_seed_bytes + public key bytes
                                 ours:    bench_mlkem768 BM_MlKem768_KeygenFromSeed
             pk decode + encaps  OpenSSL: MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
                                 ours:    BM_MlKem768_Encaps (takes the key bytes: check, decode,
                                          matrix expansion, encapsulation)
             (encaps, key kept)  OpenSSL: encapsulate() on a key decoded once, which keeps
                                          its expanded matrix; ours has no such form (ratio
                                          shown against the same native figure)
             seed -> decaps      OpenSSL: from_seed_bytes(seed).decapsulate(ct)
                                 ours:    BM_MlKem768_DecapsFromSeed

Ours is reported twice: the portable code forced, and the run-time selection
("dispatched", AVX2 where the CPU has it). All figures are CPU time per
operation (process time for OpenSSL, including Python's small per-call cost;
Google Benchmark's cpu_time for ours). Rounds interleave the two sides so that
machine load affects both alike; the table shows the median over rounds.

This is a program, not a test: it asserts nothing about speed.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from cryptography.hazmat.primitives.asymmetric import mldsa, mlkem

SEED32 = bytes((i * 29 + 3) & 0xFF for i in range(32))
SEED64 = bytes((i * 29 + 3) & 0xFF for i in range(64))
MSG100 = bytes(range(100))

# (label, native binary, native benchmark base name)
DSA_OPS = [
    ("ML-DSA-65 keygen from seed", "bench_mldsa65", "BM_KeyGenFromSeed"),
    ("ML-DSA-65 seed->sign 100 B", "bench_mldsa65", "BM_SignFromSeed100B"),
    ("ML-DSA-65 pk decode+verify", "bench_mldsa65", "BM_Verify100B"),
]
KEM_OPS = [
    ("ML-KEM-768 keygen from seed", "bench_mlkem768", "BM_MlKem768_KeygenFromSeed"),
    ("ML-KEM-768 pk decode+encaps", "bench_mlkem768", "BM_MlKem768_Encaps"),
    ("ML-KEM-768 (encaps, key kept)", "bench_mlkem768", "BM_MlKem768_Encaps"),
    ("ML-KEM-768 seed->decaps", "bench_mlkem768", "BM_MlKem768_DecapsFromSeed"),
]


def openssl_operations():
    """One zero-argument callable per operation, in DSA_OPS + KEM_OPS order."""
    dsa_key = mldsa.MLDSA65PrivateKey.from_seed_bytes(SEED32)
    dsa_pk = dsa_key.public_key().public_bytes_raw()
    dsa_sig = dsa_key.sign(MSG100)
    kem_key = mlkem.MLKEM768PrivateKey.from_seed_bytes(SEED64)
    kem_pub = kem_key.public_key()
    kem_pk = kem_pub.public_bytes_raw()
    _, kem_ct = kem_pub.encapsulate()

    counter = [0]

    def dsa_sign():
        # The message changes per call, as in the native benchmark, so the
        # number of rejection passes averages out.
        counter[0] += 1
        msg = counter[0].to_bytes(4, "little") + MSG100[4:]
        mldsa.MLDSA65PrivateKey.from_seed_bytes(SEED32).sign(msg)

    return [
        lambda: mldsa.MLDSA65PrivateKey.from_seed_bytes(SEED32).public_key().public_bytes_raw(),
        dsa_sign,
        lambda: mldsa.MLDSA65PublicKey.from_public_bytes(dsa_pk).verify(dsa_sig, MSG100),
        lambda: mlkem.MLKEM768PrivateKey.from_seed_bytes(SEED64).public_key().public_bytes_raw(),
        lambda: mlkem.MLKEM768PublicKey.from_public_bytes(kem_pk).encapsulate(),
        kem_pub.encapsulate,
        lambda: mlkem.MLKEM768PrivateKey.from_seed_bytes(SEED64).decapsulate(kem_ct),
    ]


def time_cpu(fn, min_seconds):
    """Mean CPU seconds per call over a batch lasting at least min_seconds."""
    fn()
    n = 0
    start = time.process_time()
    while True:
        for _ in range(8):
            fn()
        n += 8
        elapsed = time.process_time() - start
        if elapsed >= min_seconds:
            return elapsed / n


UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def run_native(path, bases, min_seconds):
    """CPU seconds per iteration for base/portable and base/dispatched."""
    pattern = "^(" + "|".join(bases) + ")/(portable|dispatched)$"
    out = subprocess.run(
        [path, f"--benchmark_filter={pattern}", f"--benchmark_min_time={min_seconds}", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    result = {}
    for b in json.loads(out)["benchmarks"]:
        result[b["name"]] = (b["cpu_time"] * UNIT[b["time_unit"]], b.get("label", ""))
    return result


def fmt_us(seconds):
    return f"{seconds * 1e6:9.1f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build-dir", default=os.environ.get("OSTREL_BUILD_DIR", "build"))
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--min-time", type=float, default=0.2, help="seconds per measurement")
    args = ap.parse_args()

    binaries = {name: os.path.join(args.build_dir, name) for name in ("bench_mldsa65", "bench_mlkem768")}
    for path in binaries.values():
        if not os.access(path, os.X_OK):
            sys.exit(f"missing {path}: build the bench_mldsa65 and bench_mlkem768 targets")

    ops = DSA_OPS + KEM_OPS
    ossl = openssl_operations()
    samples = {label: {"openssl": [], "portable": [], "dispatched": []} for label, _, _ in ops}
    labels_seen = set()

    for r in range(args.rounds):
        for group in (DSA_OPS, KEM_OPS):
            # OpenSSL first on even rounds, ours first on odd ones.
            steps = ["openssl", "native"] if r % 2 == 0 else ["native", "openssl"]
            for step in steps:
                if step == "openssl":
                    for label, _, _ in group:
                        i = [o[0] for o in ops].index(label)
                        samples[label]["openssl"].append(time_cpu(ossl[i], args.min_time))
                else:
                    native = run_native(binaries[group[0][1]], [b for _, _, b in group], args.min_time)
                    for label, _, base in group:
                        for path in ("portable", "dispatched"):
                            secs, lab = native[f"{base}/{path}"]
                            samples[label][path].append(secs)
                            if path == "dispatched":
                                labels_seen.add(lab)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    from cryptography.hazmat.backends.openssl.backend import backend
    print(f"OpenSSL: {backend.openssl_version_text()} via cryptography (Python {sys.version.split()[0]})")
    print(f"ours, dispatched path ran as: {', '.join(sorted(labels_seen))}")
    print(f"CPU time per operation, median of {args.rounds} interleaved rounds (microseconds)\n")
    head = f"{'operation':30} {'OpenSSL':>9} {'portable':>9} {'dispatch':>9} {'port/OSSL':>10} {'disp/OSSL':>10}"
    print(head)
    print("-" * len(head))
    for label, _, _ in ops:
        o = statistics.median(samples[label]["openssl"])
        p = statistics.median(samples[label]["portable"])
        d = statistics.median(samples[label]["dispatched"])
        print(f"{label:30} {fmt_us(o)} {fmt_us(p)} {fmt_us(d)} {p / o:9.2f}x {d / o:9.2f}x")


if __name__ == "__main__":
    main()
