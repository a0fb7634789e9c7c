#!/usr/bin/env python3
"""OpenSSL, through the `cryptography` package, as an independent ML-DSA-65 /
ML-KEM-768 implementation for the interop tests in test_interop_openssl.cpp.

    python3 openssl_oracle.py --probe
        Prints "ready <cryptography version> <OpenSSL version>" and exits 0 when
        ML-DSA-65 and ML-KEM-768 are usable; otherwise prints "missing <what>"
        and exits 3.

    python3 openssl_oracle.py < requests
        Reads the whole batch of requests from stdin (one per line, fields
        separated by single spaces, byte strings in lower-case hex, "-" for an
        empty byte string) and answers each on one line of stdout, in order:

        dsa_pub SEED32                -> PK
        dsa_sign SEED32 MSG CTX       -> SIG   (hedged: OpenSSL's own randomness)
        dsa_verify PK MSG CTX SIG     -> ok | fail
        kem_pub SEED64                -> EK    (SEED64 = d || z)
        kem_encaps EK                 -> SS CT
        kem_decaps SEED64 CT          -> SS

        A malformed request or an OpenSSL error ends the run with exit code 2
        and the reason on stderr, so the caller never pairs answers wrongly.
"""

import sys


def _hex(data: bytes) -> str:
    return data.hex() if data else "-"


def _unhex(field: str) -> bytes:
    return b"" if field == "-" else bytes.fromhex(field)


def probe() -> int:
    try:
        import cryptography
    except ImportError:
        print(f"missing the Python module 'cryptography' (interpreter {sys.executable})")
        return 3
    version = getattr(cryptography, "__version__", "?")
    try:
        from cryptography.hazmat.primitives.asymmetric import mldsa
    except ImportError:
        print(f"missing ML-DSA: cryptography {version} has no "
              "cryptography.hazmat.primitives.asymmetric.mldsa")
        return 3
    try:
        from cryptography.hazmat.primitives.asymmetric import mlkem
    except ImportError:
        print(f"missing ML-KEM: cryptography {version} has no "
              "cryptography.hazmat.primitives.asymmetric.mlkem")
        return 3
    from cryptography.exceptions import UnsupportedAlgorithm
    try:
        from cryptography.hazmat.backends.openssl.backend import backend
        openssl = backend.openssl_version_text()
    except Exception:  # only used in messages
        openssl = "OpenSSL of unknown version"
    try:
        mldsa.MLDSA65PrivateKey.from_seed_bytes(bytes(32))
    except (UnsupportedAlgorithm, AttributeError) as exc:
        print(f"missing ML-DSA-65 support in cryptography {version} with {openssl}: {exc}")
        return 3
    try:
        mlkem.MLKEM768PrivateKey.from_seed_bytes(bytes(64))
    except (UnsupportedAlgorithm, AttributeError) as exc:
        print(f"missing ML-KEM-768 support in cryptography {version} with {openssl}: {exc}")
        return 3
    print(f"ready cryptography {version} with {openssl}")
    return 0


def serve() -> int:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives.asymmetric import mldsa, mlkem

    def dsa_pub(seed):
        key = mldsa.MLDSA65PrivateKey.from_seed_bytes(seed)
        return _hex(key.public_key().public_bytes_raw())

    def dsa_sign(seed, msg, ctx):
        key = mldsa.MLDSA65PrivateKey.from_seed_bytes(seed)
        return _hex(key.sign(msg, ctx))

    def dsa_verify(pk, msg, ctx, sig):
        key = mldsa.MLDSA65PublicKey.from_public_bytes(pk)
        try:
            key.verify(sig, msg, ctx)
        except InvalidSignature:
            return "fail"
        return "ok"

    def kem_pub(seed):
        key = mlkem.MLKEM768PrivateKey.from_seed_bytes(seed)
        return _hex(key.public_key().public_bytes_raw())

    def kem_encaps(ek):
        shared, ciphertext = mlkem.MLKEM768PublicKey.from_public_bytes(ek).encapsulate()
        return f"{_hex(shared)} {_hex(ciphertext)}"

    def kem_decaps(seed, ct):
        key = mlkem.MLKEM768PrivateKey.from_seed_bytes(seed)
        return _hex(key.decapsulate(ct))

    commands = {
        "dsa_pub": (dsa_pub, 1),
        "dsa_sign": (dsa_sign, 3),
        "dsa_verify": (dsa_verify, 4),
        "kem_pub": (kem_pub, 1),
        "kem_encaps": (kem_encaps, 1),
        "kem_decaps": (kem_decaps, 2),
    }

    answers = []
    for number, line in enumerate(sys.stdin.read().splitlines(), start=1):
        if not line:
            continue
        name, *fields = line.split(" ")
        if name not in commands:
            sys.stderr.write(f"request {number}: unknown command {name!r}\n")
            return 2
        handler, arity = commands[name]
        if len(fields) != arity:
            sys.stderr.write(f"request {number}: {name} takes {arity} fields, got {len(fields)}\n")
            return 2
        try:
            answers.append(handler(*(_unhex(f) for f in fields)))
        except Exception as exc:  # report which request failed, then stop
            sys.stderr.write(f"request {number} ({name}): {type(exc).__name__}: {exc}\n")
            return 2
    sys.stdout.write("".join(a + "\n" for a in answers))
    return 0


if __name__ == "__main__":
    sys.exit(probe() if sys.argv[1:] == ["--probe"] else serve())
