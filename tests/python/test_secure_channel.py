"""SecureChannel: both flows, the sealed JSON form, tampering, replay and context checks,
wrong recipients, bad keys, error contexts and types, and concurrent presentation."""

import json
import re
import threading

import pytest

import _ostrel_engine as engine

SC = engine.SecureChannel
UUID = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"
SEALED_KEYS = ["kem_ciphertext", "encrypted_data", "nonce", "auth_tag", "ephemeral_x25519_pk",
               "recipient_key_id", "payload_id"]


@pytest.fixture(scope="module")
def parties():
    return {name: engine.OstrelKeyPair.generate() for name in ("a", "b", "c")}


@pytest.fixture
def a_to_b(parties):
    return SC(parties["a"], parties["b"].public_keys())


@pytest.fixture
def b_from_a(parties):
    return SC(parties["b"], parties["a"].public_keys())


def edited(sealed, edit):
    doc = json.loads(sealed)
    edit(doc)
    return json.dumps(doc, separators=(",", ":")).encode()


# ---------------------------------------------------------------------------
# Python surface


@pytest.mark.parametrize("name, text_signature", [
    ("send_data", "($self, data)"),
    ("send_signed", "($self, data, context_id, correlation_id)"),
    ("receive_data", "($self, sealed)"),
    ("receive_signed", "($self, sealed, expected_context_id)"),
])
def test_method_text_signatures(name, text_signature):
    method = getattr(SC, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__.strip()


def test_constructor_signature_repr_and_key_ids(parties, a_to_b):
    assert SC.__text_signature__ == "(local_keypair, remote_public_keys)"
    a, b = parties["a"], parties["b"]
    assert repr(a_to_b) == f"SecureChannel(local={a.id}, remote={b.id})"
    assert a_to_b.local_key_id == a.id
    assert a_to_b.remote_key_id == b.id
    assert SC(local_keypair=a, remote_public_keys=b.public_keys()).remote_key_id == b.id


@pytest.mark.parametrize("call, message_start", [
    (lambda kp, pk: SC(pk, pk), "argument 'local_keypair': "),
    (lambda kp, pk: SC(kp, kp), "argument 'remote_public_keys': "),
    (lambda kp, pk: SC(kp, pk).send_data(bytearray(b"x")), "argument 'data': "),
    (lambda kp, pk: SC(kp, pk).send_data("text"), "argument 'data': "),
    (lambda kp, pk: SC(kp, pk).send_signed(b"x", 1, "corr"), "argument 'context_id': "),
    (lambda kp, pk: SC(kp, pk).send_signed(b"x", "ctx", None), "argument 'correlation_id': "),
    (lambda kp, pk: SC(kp, pk).receive_data([1, 2]), "argument 'sealed': "),
    (lambda kp, pk: SC(kp, pk).receive_signed(b"{}", b"ctx"), "argument 'expected_context_id': "),
])
def test_argument_types_are_strict(parties, call, message_start):
    kp = parties["a"]
    with pytest.raises(TypeError) as err:
        call(kp, kp.public_keys())
    assert str(err.value).startswith(message_start)


# ---------------------------------------------------------------------------
# Data flow


@pytest.mark.parametrize("size", [0, 1, 1024, 100_000])
def test_data_round_trip(parties, a_to_b, b_from_a, size):
    data = bytes((i * 7 + 3) % 256 for i in range(size))
    sealed = a_to_b.send_data(data)
    assert isinstance(sealed, bytes)
    doc = json.loads(sealed)
    assert list(doc) == SEALED_KEYS
    assert b" " not in sealed and b"\n" not in sealed
    assert len(doc["kem_ciphertext"]) == 1088
    assert len(doc["encrypted_data"]) == size + 16
    assert len(doc["nonce"]) == 12
    assert doc["auth_tag"] == []
    assert len(doc["ephemeral_x25519_pk"]) == 32
    assert doc["recipient_key_id"] == parties["b"].id
    assert re.fullmatch(UUID, doc["payload_id"])
    assert b_from_a.receive_data(sealed) == data
    # No replay tracking in the data flow.
    assert b_from_a.receive_data(sealed) == data


@pytest.mark.parametrize("data", [b"just data", b"\xff\xfe binary", b'{"signed_payload":1}'])
def test_data_message_is_not_a_signed_message(a_to_b, b_from_a, data):
    sealed = a_to_b.send_data(data)
    with pytest.raises(ValueError) as err:
        b_from_a.receive_signed(sealed, "ctx")
    assert str(err.value).startswith("receive_signed failed: serialization error: ")


def test_same_data_is_sealed_differently_each_time(a_to_b):
    one, two = json.loads(a_to_b.send_data(b"same")), json.loads(a_to_b.send_data(b"same"))
    for key in ("kem_ciphertext", "encrypted_data", "nonce", "ephemeral_x25519_pk", "payload_id"):
        assert one[key] != two[key], key


# ---------------------------------------------------------------------------
# Tampering and the order of the checks


@pytest.mark.parametrize("name, edit", [
    ("kem_ciphertext", lambda d: d["kem_ciphertext"].__setitem__(0, d["kem_ciphertext"][0] ^ 1)),
    ("ciphertext", lambda d: d["encrypted_data"].__setitem__(0, d["encrypted_data"][0] ^ 1)),
    ("tag", lambda d: d["encrypted_data"].__setitem__(-1, d["encrypted_data"][-1] ^ 1)),
    ("nonce", lambda d: d["nonce"].__setitem__(0, d["nonce"][0] ^ 1)),
    ("ephemeral_key", lambda d: d["ephemeral_x25519_pk"].__setitem__(3, d["ephemeral_x25519_pk"][3] ^ 4)),
    ("ephemeral_key_removed", lambda d: d.pop("ephemeral_x25519_pk")),
])
@pytest.mark.parametrize("flow", ["data", "signed"])
def test_tampered_fields_fail_authentication(a_to_b, b_from_a, name, edit, flow):
    if flow == "data":
        sealed, receive = a_to_b.send_data(b"secret"), lambda s: b_from_a.receive_data(s)
    else:
        sealed, receive = a_to_b.send_signed(b"secret", "ctx", "c"), lambda s: b_from_a.receive_signed(s, "ctx")
    with pytest.raises(ValueError) as err:
        receive(edited(sealed, edit))
    assert str(err.value).startswith(f"receive_{flow} failed: decryption failed: AEAD decrypt: ")
    if flow == "signed":
        # A message that failed to open recorded nothing: the genuine one is accepted.
        assert b_from_a.receive_signed(sealed, "ctx") == b"secret"


def test_auth_tag_and_payload_id_play_no_part(a_to_b, b_from_a):
    sealed = edited(a_to_b.send_data(b"hello"), lambda d: d.update(auth_tag=[9, 9, 9], payload_id="x"))
    assert b_from_a.receive_data(sealed) == b"hello"


@pytest.mark.parametrize("edit, message", [
    (lambda d: d["kem_ciphertext"].pop(), "receive_data failed: decryption failed: ML-KEM ciphertext size: "),
    (lambda d: d["nonce"].pop(), "receive_data failed: decryption failed: nonce must be 12 bytes, got 11"),
    (lambda d: d["ephemeral_x25519_pk"].pop(),
     "receive_data failed: decryption failed: X25519 public key must be 32 bytes, got 31"),
])
def test_wrong_lengths_report_their_texts(a_to_b, b_from_a, edit, message):
    with pytest.raises(ValueError) as err:
        b_from_a.receive_data(edited(a_to_b.send_data(b"x"), edit))
    assert str(err.value).startswith(message)


@pytest.mark.parametrize("sealed, message", [
    (b"not json", "sealed payload parse failed: "),
    (b"\xff\xfe", "sealed payload parse failed: "),
    (b"[]", "sealed payload parse failed: "),
])
@pytest.mark.parametrize("method", ["receive_data", "receive_signed"])
def test_malformed_sealed_bytes(b_from_a, sealed, message, method):
    args = (sealed,) if method == "receive_data" else (sealed, "ctx")
    with pytest.raises(ValueError) as err:
        getattr(b_from_a, method)(*args)
    assert str(err.value).startswith(message)
    assert len(str(err.value)) > len(message)


@pytest.mark.parametrize("key", [k for k in SEALED_KEYS if k != "ephemeral_x25519_pk"])
def test_every_key_but_the_ephemeral_one_is_required(a_to_b, b_from_a, key):
    with pytest.raises(ValueError) as err:
        b_from_a.receive_data(edited(a_to_b.send_data(b"x"), lambda d: d.pop(key)))
    assert str(err.value) == f"sealed payload parse failed: missing field `{key}`"


def test_message_for_another_party_fails_before_cryptography(parties, a_to_b):
    c_from_a = SC(parties["c"], parties["a"].public_keys())
    expected = (f"decryption failed: recipient key id mismatch: payload targeted '{parties['b'].id}', "
                f"decryptor holds '{parties['c'].id}'")
    # Even with a nonce of the wrong length the id check comes first.
    sealed = edited(a_to_b.send_signed(b"for B", "ctx", "c"), lambda d: d["nonce"].pop())
    with pytest.raises(ValueError) as err:
        c_from_a.receive_signed(sealed, "ctx")
    assert str(err.value) == "receive_signed failed: " + expected
    with pytest.raises(ValueError) as err:
        c_from_a.receive_data(sealed)
    assert str(err.value) == "receive_data failed: " + expected


# ---------------------------------------------------------------------------
# Signed flow


def test_signed_round_trip_both_directions(a_to_b, b_from_a):
    assert b_from_a.receive_signed(a_to_b.send_signed(b"ping", "health", "req-1"), "health") == b"ping"
    assert a_to_b.receive_signed(b_from_a.send_signed(b"pong", "health", "req-1"), "health") == b"pong"


def test_replay_is_refused_with_the_nonce(a_to_b, b_from_a):
    sealed = a_to_b.send_signed(b"once", "ctx", "corr")
    assert b_from_a.receive_signed(sealed, "ctx") == b"once"
    with pytest.raises(ValueError) as err:
        b_from_a.receive_signed(sealed, "ctx")
    assert re.fullmatch(f"receive_signed failed: replay detected: nonce {UUID} already seen", str(err.value))


def test_context_mismatch_then_replay(a_to_b, b_from_a):
    sealed = a_to_b.send_signed(b"bound", "orders", "corr")
    with pytest.raises(ValueError) as err:
        b_from_a.receive_signed(sealed, "payments")
    assert str(err.value) == ("receive_signed failed: signature verification failed: "
                              "signed payload context is 'orders', expected 'payments'")
    with pytest.raises(ValueError) as err:
        b_from_a.receive_signed(sealed, "orders")
    assert re.fullmatch(f"receive_signed failed: replay detected: nonce {UUID} already seen", str(err.value))


def test_a_new_channel_object_has_its_own_replay_memory(parties, a_to_b, b_from_a):
    sealed = a_to_b.send_signed(b"x", "ctx", "corr")
    assert b_from_a.receive_signed(sealed, "ctx") == b"x"
    assert SC(parties["b"], parties["a"].public_keys()).receive_signed(sealed, "ctx") == b"x"


def test_identical_messages_are_each_accepted_once(a_to_b, b_from_a):
    one = a_to_b.send_signed(b"same", "ctx", "corr")
    two = a_to_b.send_signed(b"same", "ctx", "corr")
    assert one != two
    assert b_from_a.receive_signed(one, "ctx") == b"same"
    assert b_from_a.receive_signed(two, "ctx") == b"same"
    for sealed in (one, two):
        with pytest.raises(ValueError):
            b_from_a.receive_signed(sealed, "ctx")


def test_signature_of_another_party_is_refused(parties, b_from_a):
    c_to_b = SC(parties["c"], parties["b"].public_keys())
    with pytest.raises(ValueError) as err:
        b_from_a.receive_signed(c_to_b.send_signed(b"impostor", "ctx", "corr"), "ctx")
    assert str(err.value).startswith("receive_signed failed: signature verification failed: ML-DSA: ")


def bundle_with_x25519(bundle, key):
    doc = json.loads(bundle.to_json())
    doc["x25519_public_key"] = list(key)
    return engine.PublicKeyBundle.from_json(json.dumps(doc))


def test_bad_remote_x25519_key_fails_every_send(parties):
    channel = SC(parties["a"], bundle_with_x25519(parties["b"].public_keys(), bytes(31)))
    text = "decryption failed: X25519 public key must be 32 bytes, got 31"
    with pytest.raises(RuntimeError) as err:
        channel.send_data(b"x")
    assert str(err.value) == "send_data failed: " + text
    with pytest.raises(RuntimeError) as err:
        channel.send_signed(b"x", "ctx", "corr")
    assert str(err.value) == "send_signed failed: " + text


def test_small_order_remote_x25519_key_is_refused(parties):
    channel = SC(parties["a"], bundle_with_x25519(parties["b"].public_keys(), bytes(32)))
    with pytest.raises(RuntimeError) as err:
        channel.send_data(b"x")
    assert str(err.value).startswith("send_data failed: decryption failed: X25519 agreement: ")


def test_concurrent_presentations_yield_exactly_one_success(a_to_b, b_from_a):
    threads_count = 8
    for round_no in range(3):
        sealed = a_to_b.send_signed(f"race {round_no}".encode(), "ctx", "corr")
        barrier = threading.Barrier(threads_count)
        outcomes = []
        lock = threading.Lock()

        def present():
            barrier.wait()
            try:
                b_from_a.receive_signed(sealed, "ctx")
                result = "accepted"
            except ValueError as err:
                result = "replay" if "replay detected" in str(err) else str(err)
            with lock:
                outcomes.append(result)

        workers = [threading.Thread(target=present) for _ in range(threads_count)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        assert sorted(outcomes) == ["accepted"] + ["replay"] * (threads_count - 1)
