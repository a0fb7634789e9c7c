"""PqTokenSigner: construction, envelopes, the downgrade guard, tampering, and signed gate permits."""

import json
import re

import pytest

import _ostrel_engine as engine
from conftest import PERMIT_ALL, ctx

S = engine.PqTokenSigner
TOKEN_ID = "6f1c8a52-0a1b-4c2d-8e3f-405162738495"
EVAL_ID = "0d9e8f7a-6b5c-4d3e-9f21-0a1b2c3d4e5f"
VERIFY = "verify failed: serialization error: "
NO_DELETES = """
[[policy]]
name = "no-deletes"
effect = "refuse"
priority = 10
conditions = [{ action = "files.delete" }]

[[policy]]
name = "rest"
effect = "permit"
conditions = []
"""


def token(token_id=TOKEN_ID, evaluation_id=EVAL_ID, issued_at=1700000000, expires_at=1700000030,
          action_name="files.read", signature=None):
    return engine.PermitToken(token_id, evaluation_id, issued_at, expires_at, action_name, signature)


@pytest.fixture(scope="module")
def keypair():
    return engine.OstrelKeyPair.generate()


@pytest.fixture(scope="module")
def hybrid(keypair):
    return S.from_keypair_hybrid(keypair)


@pytest.fixture(scope="module")
def pq_only(keypair):
    return S.from_keypair_pq_only(keypair)


def secret_wire(kp):
    return json.loads(kp.to_secret_bytes()[5:])


def envelope(sig):
    return json.loads(sig)


def reencode(env):
    return json.dumps(env, separators=(",", ":")).encode()


# ---------------------------------------------------------------------------
# Python surface


@pytest.mark.parametrize("name, text_signature", [
    ("pq_only", "($cls, ml_dsa_signing_key, ml_dsa_verifying_key, key_id)"),
    ("hybrid", "($cls, ml_dsa_signing_key, ml_dsa_verifying_key, ed25519_signing_key, ed25519_verifying_key, key_id)"),
    ("from_keypair_pq_only", "($cls, keypair, key_id=None)"),
    ("from_keypair_hybrid", "($cls, keypair, key_id=None)"),
    ("generate_pq_only", "($cls, key_id=None)"),
    ("generate_hybrid", "($cls, key_id=None)"),
    ("sign", "($self, token)"),
    ("verify", "($self, token, signature)"),
])
def test_text_signatures(name, text_signature):
    assert getattr(S, name).__text_signature__ == text_signature


def test_no_constructor_and_docstring_points_to_stored_keys():
    with pytest.raises(TypeError):
        S()
    assert "pq_only" in S.__doc__ and "persist" in S.__doc__


def test_key_ids_and_modes(keypair, hybrid, pq_only):
    assert (hybrid.key_id, hybrid.is_hybrid) == (keypair.id, True)
    assert (pq_only.key_id, pq_only.is_hybrid) == (keypair.id, False)
    assert S.from_keypair_hybrid(keypair, "rotating-1").key_id == "rotating-1"
    assert S.from_keypair_pq_only(keypair, key_id="k").key_id == "k"
    generated = S.generate_hybrid()
    assert generated.key_id.startswith("ostrel-key-") and len(generated.key_id) == 47 and generated.is_hybrid
    assert S.generate_hybrid("gate-signer").key_id == "gate-signer"
    assert S.generate_pq_only(key_id="pq").key_id == "pq" and not S.generate_pq_only().is_hybrid
    assert S.generate_pq_only().key_id != S.generate_pq_only().key_id


@pytest.mark.parametrize("call, exc, message", [
    (lambda kp: S.from_keypair_hybrid(kp.public_keys()), TypeError, r"^argument 'keypair': "),
    (lambda kp: S.from_keypair_pq_only(kp, key_id=5), TypeError, r"^argument 'key_id': "),
    (lambda kp: S.generate_hybrid(b"id"), TypeError, r"^argument 'key_id': "),
    (lambda kp: S.pq_only("seed", [1], "k"), TypeError, r"^argument 'ml_dsa_signing_key': "),
    (lambda kp: S.pq_only([1], [256], "k"), OverflowError, None),
    (lambda kp: S.pq_only([1], [-1], "k"), OverflowError, None),
    (lambda kp: S.hybrid([1], [1], [1], [1.0], "k"), TypeError, r"^argument 'ed25519_verifying_key': "),
    (lambda kp: S.hybrid([1], [1], [1], [1]), TypeError, r"missing 1 required positional argument: 'key_id'"),
])
def test_argument_conversion(keypair, call, exc, message):
    with pytest.raises(exc, match=message):
        call(keypair)


# ---------------------------------------------------------------------------
# Signing and verifying with the signer's own keys


def test_envelopes(hybrid, pq_only, keypair):
    t = token()
    h = envelope(hybrid.sign(t))
    assert list(h) == ["key_id", "algorithm", "ml_dsa_signature", "ed25519_signature"]
    assert (h["key_id"], h["algorithm"]) == (keypair.id, "ml-dsa-65+ed25519")
    assert (len(h["ml_dsa_signature"]), len(h["ed25519_signature"])) == (3309, 64)
    p = envelope(pq_only.sign(t))
    assert list(p) == ["key_id", "algorithm", "ml_dsa_signature"]
    assert p["algorithm"] == "ml-dsa-65"
    # Deterministic: the same token gives the same signature; the ML-DSA part is shared by both modes.
    assert hybrid.sign(t) == hybrid.sign(t)
    assert h["ml_dsa_signature"] == p["ml_dsa_signature"]
    sig = hybrid.sign(t)
    assert isinstance(sig, bytes) and b" " not in sig


def test_round_trips(hybrid, pq_only):
    for signer in (hybrid, pq_only):
        t = token()
        sig = signer.sign(t)
        assert signer.verify(t, sig) is None
        # The token rebuilt from its wire fields verifies the same way.
        wire = token(t.token_id, t.evaluation_id, t.issued_at, t.expires_at, t.action_name, sig)
        signer.verify(wire, wire.signature)


def test_signer_from_raw_key_bytes_matches_the_key_pair(keypair, hybrid, pq_only):
    w = secret_wire(keypair)
    raw_pq = S.pq_only(w["ml_dsa_signing_key"], bytes(w["ml_dsa_verifying_key"]), keypair.id)
    raw_hybrid = S.hybrid(bytearray(w["ml_dsa_signing_key"]), w["ml_dsa_verifying_key"],
                          bytes(w["ed25519_signing_key"]), w["ed25519_verifying_key"], keypair.id)
    t = token(action_name="db.write")
    assert raw_pq.sign(t) == pq_only.sign(t)
    assert raw_hybrid.sign(t) == hybrid.sign(t)
    hybrid.verify(t, raw_hybrid.sign(t))


def test_another_key_does_not_verify(hybrid):
    other = S.generate_hybrid()
    t = token()
    with pytest.raises(ValueError, match="^" + re.escape(VERIFY + "signature verification failed: ML-DSA-65: ")):
        hybrid.verify(t, other.sign(t))


@pytest.mark.parametrize("field, value", [
    ("token_id", "6f1c8a52-0a1b-4c2d-8e3f-405162738496"),
    ("evaluation_id", "0d9e8f7a-6b5c-4d3e-9f21-0a1b2c3d4e50"),
    ("issued_at", 1700000001),
    ("expires_at", 1700000031),
    ("action_name", "files.delete"),
])
@pytest.mark.parametrize("mode", ["hybrid", "pq_only"])
def test_any_changed_field_fails_at_ml_dsa(request, mode, field, value):
    signer = request.getfixturevalue(mode)
    sig = signer.sign(token())
    with pytest.raises(ValueError) as info:
        signer.verify(token(**{field: value}), sig)
    assert str(info.value).startswith(VERIFY + "signature verification failed: ML-DSA-65: ")


def test_downgrade_guard(hybrid, pq_only):
    t = token()
    with pytest.raises(ValueError) as info:
        hybrid.verify(t, pq_only.sign(t))
    assert str(info.value) == VERIFY + "hybrid verifier rejects non-hybrid algorithm 'ml-dsa-65'"
    with pytest.raises(ValueError) as info:
        pq_only.verify(t, hybrid.sign(t))  # its ML-DSA signature would verify
    assert str(info.value) == VERIFY + "PQ-only verifier expected 'ml-dsa-65', got 'ml-dsa-65+ed25519'"
    for signer, sig in ((hybrid, hybrid.sign(t)), (pq_only, pq_only.sign(t))):
        env = envelope(sig)
        env["algorithm"] = env["algorithm"].upper()
        with pytest.raises(ValueError, match="^" + re.escape(VERIFY) + "(hybrid verifier rejects|PQ-only verifier expected)"):
            signer.verify(t, reencode(env))


def test_envelope_tampering(hybrid):
    t = token()
    env = envelope(hybrid.sign(t))
    cases = [
        ({k: v for k, v in env.items() if k != "ed25519_signature"}, "hybrid envelope missing Ed25519 signature"),
        (dict(env, ed25519_signature=None), "hybrid envelope missing Ed25519 signature"),
        (dict(env, ed25519_signature=env["ed25519_signature"][:63]),
         "signature verification failed: Ed25519 sig must be 64 bytes, got 63"),
        (dict(env, ml_dsa_signature=env["ml_dsa_signature"][:3308]),
         "signature verification failed: ML-DSA sig encoding: could not convert slice to array"),
    ]
    for doc, text in cases:
        with pytest.raises(ValueError) as info:
            hybrid.verify(t, reencode(doc))
        assert str(info.value) == VERIFY + text
    zeroed = dict(env, ed25519_signature=[0] * 64)
    with pytest.raises(ValueError, match="^" + re.escape(VERIFY + "signature verification failed: Ed25519: ")):
        hybrid.verify(t, reencode(zeroed))
    flipped = dict(env, ml_dsa_signature=[env["ml_dsa_signature"][0] ^ 1] + env["ml_dsa_signature"][1:])
    with pytest.raises(ValueError, match="^" + re.escape(VERIFY + "signature verification failed: ML-DSA")):
        hybrid.verify(t, reencode(flipped))
    # The envelope's key id is not compared; unknown keys are ignored.
    hybrid.verify(t, reencode(dict(env, key_id="someone-else", extra=1)))


@pytest.mark.parametrize("signature", [b"", b"not json", b"{}", b"[1,2]", b'{"key_id":"k","algorithm":"ml-dsa-65"}'])
def test_malformed_envelopes(hybrid, signature):
    with pytest.raises(ValueError, match="^" + re.escape(VERIFY + "token envelope parse: ") + ".+"):
        hybrid.verify(token(), signature)


def test_verify_takes_bytes_only(hybrid):
    t = token()
    sig = hybrid.sign(t)
    for bad in (bytearray(sig), list(sig), sig.decode()):
        with pytest.raises(TypeError, match=r"^argument 'signature': "):
            hybrid.verify(t, bad)
    with pytest.raises(TypeError, match=r"^argument 'token': "):
        hybrid.verify(t.canonical_bytes(), sig)
    with pytest.raises(TypeError, match=r"^argument 'token': "):
        hybrid.sign("token")


@pytest.mark.parametrize("make, text", [
    (lambda w: S.pq_only([7], [7], "k"), "key generation failed: ML-DSA seed must be 32 bytes, got 1"),
    (lambda w: S.hybrid(w["ml_dsa_signing_key"] + [0], w["ml_dsa_verifying_key"], w["ed25519_signing_key"],
                        w["ed25519_verifying_key"], "k"), "key generation failed: ML-DSA seed must be 32 bytes, got 33"),
    (lambda w: S.hybrid(w["ml_dsa_signing_key"], w["ml_dsa_verifying_key"], [1, 2, 3], w["ed25519_verifying_key"], "k"),
     "signing failed: Ed25519 seed must be 32 bytes, got 3"),
])
def test_sign_failures(keypair, make, text):
    signer = make(secret_wire(keypair))  # nothing is validated at construction
    with pytest.raises(RuntimeError) as info:
        signer.sign(token())
    assert str(info.value) == "sign failed: serialization error: " + text


def test_bad_verifying_keys_fail_at_verify(keypair, hybrid):
    w = secret_wire(keypair)
    t = token()
    sig = hybrid.sign(t)
    short_vk = S.hybrid(w["ml_dsa_signing_key"], w["ml_dsa_verifying_key"][:1951], w["ed25519_signing_key"],
                        w["ed25519_verifying_key"], "k")
    with pytest.raises(ValueError) as info:
        short_vk.verify(t, sig)
    assert str(info.value) == VERIFY + "key generation failed: invalid ML-DSA VK bytes: could not convert slice to array"
    short_ed = S.hybrid(w["ml_dsa_signing_key"], w["ml_dsa_verifying_key"], w["ed25519_signing_key"], [9] * 31, "k")
    with pytest.raises(ValueError) as info:
        short_ed.verify(t, sig)
    assert str(info.value) == VERIFY + "signature verification failed: Ed25519 VK must be 32 bytes, got 31"


# ---------------------------------------------------------------------------
# The gate's token_signer option


def verify_downstream(verdict, signer, bundle, hybrid=True):
    """What a downstream service does: rebuild the token from its wire fields and check it."""
    pt = verdict.permit_token
    wire = engine.PermitToken(pt.token_id, pt.evaluation_id, pt.issued_at, pt.expires_at, pt.action_name,
                              verdict.signature)
    signer.verify(wire, wire.signature)
    directory = engine.PublicKeyDirectory.in_memory([bundle])
    engine.DirectoryTokenVerifier(directory, hybrid).verify(wire, wire.signature)
    return wire


@pytest.mark.parametrize("build", [
    lambda s: engine.Gate(PERMIT_ALL, token_signer=s),
    lambda s: engine.Gate.from_dict({"policies": [{"name": "all", "effect": "permit", "conditions": []}]},
                                    token_signer=s),
    lambda s: engine.Gate.from_json_string('{"policies":[{"name":"all","effect":"permit","conditions":[]}]}', [],
                                           False, None, True, s),
])
def test_gate_signs_permits_end_to_end(keypair, hybrid, build):
    gate = build(hybrid)
    verdict = gate.evaluate(ctx(action="files.read"))
    assert verdict.is_permit
    sig = verdict.signature
    assert isinstance(sig, bytes) and verdict.permit_token.signature == sig
    assert repr(verdict.permit_token).endswith("signed=true)")
    env = envelope(sig)
    assert (env["key_id"], env["algorithm"]) == (keypair.id, "ml-dsa-65+ed25519")
    wire = verify_downstream(verdict, hybrid, keypair.public_keys())
    assert wire.expires_at - wire.issued_at == 30
    # A forged action name on the wire is caught.
    forged = engine.PermitToken(wire.token_id, wire.evaluation_id, wire.issued_at, wire.expires_at, "files.delete")
    with pytest.raises(ValueError, match="^verify failed: "):
        hybrid.verify(forged, sig)


def test_gate_with_pq_only_signer(keypair, pq_only):
    verdict = engine.Gate(PERMIT_ALL, token_signer=pq_only).evaluate(ctx())
    assert envelope(verdict.signature)["algorithm"] == "ml-dsa-65"
    verify_downstream(verdict, pq_only, keypair.public_keys(), hybrid=False)
    # A hybrid verifier refuses the PQ-only permit (downgrade guard).
    directory = engine.PublicKeyDirectory.in_memory([keypair.public_keys()])
    with pytest.raises(ValueError, match=r"^verify failed: algorithm mismatch: hybrid verifier rejects"):
        engine.DirectoryTokenVerifier(directory).verify(verdict.permit_token, verdict.signature)


def test_gate_signer_is_unused_for_refusals_and_observe_only(hybrid):
    gate = engine.Gate(NO_DELETES, token_signer=hybrid)
    refused = gate.evaluate(ctx(action="files.delete"))
    assert refused.is_refuse and refused.signature is None and refused.permit_token is None
    assert gate.evaluate(ctx(action="files.read")).signature is not None
    observe = engine.Gate(PERMIT_ALL, observe_only=True, token_signer=hybrid).evaluate(ctx())
    assert observe.is_permit and observe.signature is None


def test_gate_without_signer_gives_unsigned_permits():
    verdict = engine.Gate(PERMIT_ALL, token_signer=None).evaluate(ctx())
    assert verdict.is_permit and verdict.signature is None


def test_gate_fails_closed_when_signing_fails():
    broken = S.pq_only([1], [1], "broken")
    verdict = engine.Gate(PERMIT_ALL, token_signer=broken).evaluate(ctx())
    assert verdict.is_refuse and verdict.code == "IDENTITY_FAILED" and verdict.evaluator == "gate"
    assert verdict.reason == ("token signing failed: serialization error: key generation failed: "
                              "ML-DSA seed must be 32 bytes, got 1")


@pytest.mark.parametrize("bad", ["signer", engine.OstrelKeyPair.generate(), 1])
def test_gate_token_signer_type(bad):
    with pytest.raises(TypeError) as info:
        engine.Gate(PERMIT_ALL, token_signer=bad)
    assert str(info.value).startswith("argument 'token_signer': ")


def test_gate_shares_the_signer_it_was_given(keypair):
    # The Python signer may go away; the gate keeps its own reference to the native signer.
    gate = engine.Gate(PERMIT_ALL, token_signer=S.from_keypair_hybrid(keypair))
    import gc
    gc.collect()
    verdict = gate.evaluate(ctx())
    S.from_keypair_hybrid(keypair).verify(verdict.permit_token, verdict.signature)
