"""PublicKeyDirectory (in-memory, unsigned and signed files) and DirectoryTokenVerifier."""

import json
import re

import pytest

import _ostrel_engine as engine

D = engine.PublicKeyDirectory
V = engine.DirectoryTokenVerifier
KP = engine.OstrelKeyPair


def token(action_name="files.read", issued_at=1700000000):
    return engine.PermitToken("6f1c8a52-0a1b-4c2d-8e3f-405162738495", "0d9e8f7a-6b5c-4d3e-9f21-0a1b2c3d4e5f",
                              issued_at, issued_at + 30, action_name)


@pytest.fixture(scope="module")
def alice():
    return KP.generate()


@pytest.fixture(scope="module")
def bob():
    return KP.generate()


@pytest.fixture(scope="module")
def root():
    return KP.generate()


def bundle_with(kp, **changes):
    """The key pair's bundle with some JSON fields replaced."""
    wire = json.loads(kp.public_keys().to_json())
    wire.update(changes)
    return engine.PublicKeyBundle.from_json(json.dumps(wire))


def ml_dsa_seed(kp):
    return json.loads(kp.to_secret_bytes()[5:])["ml_dsa_signing_key"]


# ---------------------------------------------------------------------------
# Python surface


@pytest.mark.parametrize("owner, name, text_signature", [
    (D, "in_memory", "($cls, bundles=...)"),
    (D, "from_file", "($cls, path)"),
    (D, "from_signed_file", "($cls, path, root_ml_dsa_verifying_key)"),
    (D, "fetch", "($self, key_id)"),
    (D, "insert", "($self, bundle)"),
    (D, "remove", "($self, key_id)"),
    (D, "reload", "($self)"),
    (D, "build_signed_manifest", "(bundles, ml_dsa_signing_key)"),
    (D, "build_unsigned_manifest", "(bundles)"),
    (V, "verify", "($self, token, signature, *, enforce_expiry=True)"),
    (V, None, "(directory, hybrid=True)"),
])
def test_text_signatures(owner, name, text_signature):
    obj = owner if name is None else getattr(owner, name)
    assert obj.__text_signature__ == text_signature


def test_docstrings():
    for word in ("in_memory", "from_file", "from_signed_file", "ValueError"):
        assert word in D.__doc__
    assert "downgrade guard" in V.__doc__ and "fail-closed" in V.__doc__
    with pytest.raises(TypeError):
        D()


# ---------------------------------------------------------------------------
# In-memory directories


def test_empty_in_memory_directory():
    d = D.in_memory()
    assert repr(d) == "PublicKeyDirectory(kind=in_memory, length=0)"
    assert (len(d), d.length, d.is_empty) == (0, 0, True)
    assert d.reload() is None and len(d) == 0


def test_lookups(alice, bob):
    d = D.in_memory([alice.public_keys(), bob.public_keys()])
    assert repr(d) == "PublicKeyDirectory(kind=in_memory, length=2)" and not d.is_empty
    got = d.fetch(alice.id)
    assert got.to_bytes() == alice.public_keys().to_bytes()
    for missing in (alice.id.upper(), alice.id + " ", "", "ostrel-key-unknown"):
        with pytest.raises(ValueError) as info:
            d.fetch(missing)
        assert str(info.value) == f"directory fetch: public key not found for id '{missing}'"


def test_later_bundle_wins_for_equal_ids(alice):
    first = alice.public_keys()
    second = bundle_with(alice, x25519_public_key=[7] * 32)
    d = D.in_memory((first, second))  # any sequence
    assert len(d) == 1 and d.fetch(alice.id).x25519_public_key == bytes([7] * 32)


def test_insert_and_remove(alice, bob):
    d = D.in_memory([alice.public_keys()])
    replacement = bundle_with(alice, x25519_public_key=[1] * 32)
    assert d.insert(replacement) is None
    assert len(d) == 1 and d.fetch(alice.id).x25519_public_key == bytes([1] * 32)
    d.insert(bob.public_keys())
    assert len(d) == 2
    assert d.remove(alice.id) is True
    assert d.remove(alice.id) is False
    assert d.remove("never-there") is False
    assert len(d) == 1
    with pytest.raises(ValueError, match="^directory fetch: public key not found"):
        d.fetch(alice.id)


@pytest.mark.parametrize("call, message", [
    (lambda: D.in_memory("bundles"), r"^argument 'bundles': "),
    (lambda: D.in_memory([1]), r"^argument 'bundles': "),
    (lambda: D.in_memory([KP.generate()]), r"^argument 'bundles': "),
    (lambda: D.in_memory().insert("x"), r"^argument 'bundle': "),
    (lambda: D.in_memory().fetch(b"id"), r"^argument 'key_id': "),
    (lambda: D.build_unsigned_manifest(None), r"^argument 'bundles': "),
])
def test_argument_types(call, message):
    with pytest.raises(TypeError, match=message):
        call()


# ---------------------------------------------------------------------------
# Unsigned directory files


def test_unsigned_manifest_and_file_directory(alice, bob, tmp_path):
    data = D.build_unsigned_manifest([alice.public_keys(), bob.public_keys()])
    assert isinstance(data, bytes) and b" " not in data
    assert [b["id"] for b in json.loads(data)] == [alice.id, bob.id]
    assert D.build_unsigned_manifest([]) == b"[]"
    path = tmp_path / "dir.json"
    path.write_bytes(data)
    d = D.from_file(str(path))
    assert repr(d) == "PublicKeyDirectory(kind=file, length=2)"
    assert d.fetch(bob.id).to_json() == bob.public_keys().to_json()
    assert len(D.from_file(path)) == 2  # os.PathLike works too


def test_file_directory_cannot_be_edited(alice, tmp_path):
    path = tmp_path / "dir.json"
    path.write_bytes(D.build_unsigned_manifest([alice.public_keys()]))
    d = D.from_file(str(path))
    with pytest.raises(ValueError) as info:
        d.insert(alice.public_keys())
    assert str(info.value) == "insert only supported on in-memory directories"
    with pytest.raises(ValueError) as info:
        d.remove(alice.id)
    assert str(info.value) == "remove only supported on in-memory directories"
    assert len(d) == 1


def test_file_reload(alice, bob, tmp_path):
    path = tmp_path / "dir.json"
    path.write_bytes(D.build_unsigned_manifest([alice.public_keys()]))
    d = D.from_file(str(path))
    path.write_bytes(D.build_unsigned_manifest([bob.public_keys()]))
    assert len(d) == 1 and d.fetch(alice.id)  # not watched: nothing changes until reload
    assert d.reload() is None
    assert d.fetch(bob.id).id == bob.id
    with pytest.raises(ValueError):
        d.fetch(alice.id)

    # A failed reload keeps the previous bundles in service.
    path.write_bytes(b"garbage")
    with pytest.raises(ValueError, match=r"^directory reload: public key directory corrupt: bundles: .+"):
        d.reload()
    assert d.fetch(bob.id).id == bob.id and len(d) == 1
    path.unlink()
    with pytest.raises(ValueError) as info:
        d.reload()
    assert str(info.value).startswith(f'directory reload: public key directory unavailable: read "{path}": ')
    assert d.fetch(bob.id).id == bob.id


def test_unsigned_file_errors(alice, tmp_path):
    missing = tmp_path / "missing.json"
    with pytest.raises(ValueError) as info:
        D.from_file(str(missing))
    assert str(info.value).startswith(f'directory load: public key directory unavailable: read "{missing}": ')
    assert len(str(info.value)) > len(f'directory load: public key directory unavailable: read "{missing}": ')

    cases = [b"{}", alice.public_keys().to_json().encode(), b"[1]", b""]
    for content in cases:
        path = tmp_path / "bad.json"
        path.write_bytes(content)
        with pytest.raises(ValueError, match=r"^directory load: public key directory corrupt: bundles: .+"):
            D.from_file(str(path))


def test_duplicate_ids_in_file_keep_the_later_bundle(alice, tmp_path):
    later = bundle_with(alice, x25519_public_key=[3] * 32)
    path = tmp_path / "dup.json"
    path.write_bytes(D.build_unsigned_manifest([alice.public_keys(), later]))
    d = D.from_file(str(path))
    assert len(d) == 1 and d.fetch(alice.id).x25519_public_key == bytes([3] * 32)


# ---------------------------------------------------------------------------
# Signed directory files


def test_signed_manifest(alice, bob, root, tmp_path):
    bundles = [alice.public_keys(), bob.public_keys()]
    data = root.build_signed_manifest(bundles)
    manifest = json.loads(data)
    assert list(manifest) == ["bundles_json", "signature"]
    assert manifest["bundles_json"].encode() == D.build_unsigned_manifest(bundles)
    assert len(manifest["signature"]) == 3309
    # Signing is deterministic: the static builder with the root's seed gives the same bytes.
    assert D.build_signed_manifest(bundles, ml_dsa_seed(root)) == data
    assert D.build_signed_manifest(bundles, bytes(ml_dsa_seed(root))) == data

    path = tmp_path / "signed.json"
    path.write_bytes(data)
    root_vk = root.public_keys().ml_dsa_verifying_key
    d = D.from_signed_file(str(path), root_vk)
    assert repr(d) == "PublicKeyDirectory(kind=file, length=2)"
    assert d.fetch(alice.id).to_bytes() == alice.public_keys().to_bytes()
    assert len(D.from_signed_file(path, list(root_vk))) == 2  # lenient key bytes
    with pytest.raises(ValueError, match="^insert only supported on in-memory directories$"):
        d.insert(alice.public_keys())


def test_signed_manifest_rejections(alice, bob, root, tmp_path):
    data = root.build_signed_manifest([alice.public_keys()])
    manifest = json.loads(data)
    root_vk = root.public_keys().ml_dsa_verifying_key
    path = tmp_path / "signed.json"

    def load(content, key=root_vk):
        path.write_bytes(content)
        with pytest.raises(ValueError) as info:
            D.from_signed_file(str(path), key)
        return str(info.value)

    invalid = "directory load: public key directory: root signature invalid"
    spaced = dict(manifest, bundles_json=manifest["bundles_json"].replace(",", ", ", 1))
    assert load(json.dumps(spaced).encode()) == invalid
    assert load(data, bob.public_keys().ml_dsa_verifying_key) == invalid
    assert load(json.dumps(dict(manifest, signature=manifest["signature"][:3308])).encode()) == invalid
    assert load(json.dumps(dict(manifest, signature=[0] * 3309)).encode()) == invalid
    assert load(data, root_vk[:1951]) == ("directory load: public key directory corrupt: root VK: key generation "
                                          "failed: invalid ML-DSA VK bytes: could not convert slice to array")
    assert re.match(r"^directory load: public key directory corrupt: manifest: .+",
                    load(D.build_unsigned_manifest([alice.public_keys()])))
    assert re.match(r"^directory load: public key directory corrupt: manifest: .+", load(b"{}"))
    assert load(b"not json").startswith("directory load: public key directory corrupt: manifest: ")
    # An empty signed manifest is valid and gives an empty directory.
    path.write_bytes(D.build_signed_manifest([], ml_dsa_seed(root)))
    assert D.from_signed_file(str(path), root_vk).is_empty


def test_signed_reload_checks_the_signature_again(alice, bob, root, tmp_path):
    path = tmp_path / "signed.json"
    path.write_bytes(root.build_signed_manifest([alice.public_keys()]))
    d = D.from_signed_file(str(path), root.public_keys().ml_dsa_verifying_key)
    # Someone replaces the file with one signed by another key: refused, old bundles stay.
    path.write_bytes(bob.build_signed_manifest([bob.public_keys()]))
    with pytest.raises(ValueError) as info:
        d.reload()
    assert str(info.value) == "directory reload: public key directory: root signature invalid"
    assert d.fetch(alice.id).id == alice.id and len(d) == 1
    path.write_bytes(root.build_signed_manifest([alice.public_keys(), bob.public_keys()]))
    d.reload()
    assert len(d) == 2 and d.fetch(bob.id).id == bob.id


def test_build_manifest_errors(alice):
    with pytest.raises(RuntimeError) as info:
        D.build_signed_manifest([alice.public_keys()], [0] * 31)
    assert str(info.value) == "build manifest: key generation failed: ML-DSA seed must be 32 bytes, got 31"
    with pytest.raises(TypeError, match=r"^argument 'ml_dsa_signing_key': "):
        D.build_signed_manifest([alice.public_keys()], "seed")
    with pytest.raises(OverflowError):
        D.build_signed_manifest([alice.public_keys()], [300] * 32)
    with pytest.raises(TypeError, match=r"^argument 'bundles': "):
        alice.build_signed_manifest([alice])


# ---------------------------------------------------------------------------
# DirectoryTokenVerifier


@pytest.fixture(scope="module")
def signed(alice):
    """A token signed by alice in both modes."""
    t = token()
    return t, engine.PqTokenSigner.from_keypair_hybrid(alice).sign(t), engine.PqTokenSigner.from_keypair_pq_only(alice).sign(t)


def test_verifier_accepts_both_modes_when_configured(alice, signed):
    t, hybrid_sig, pq_sig = signed
    d = D.in_memory([alice.public_keys()])
    assert V(d).verify(t, hybrid_sig) is None
    assert V(d, hybrid=True).verify(t, hybrid_sig, enforce_expiry=True) is None
    assert V(d, False).verify(t, pq_sig) is None
    assert V(directory=d, hybrid=False).verify(token=t, signature=pq_sig, enforce_expiry=False) is None


def test_verifier_shares_the_directory(alice, bob, signed):
    t, hybrid_sig, _ = signed
    d = D.in_memory()
    verifier = V(d)
    with pytest.raises(ValueError) as info:
        verifier.verify(t, hybrid_sig)
    assert str(info.value) == f"verify failed: public key not found for id '{alice.id}'"
    d.insert(alice.public_keys())  # inserted after the verifier was built
    verifier.verify(t, hybrid_sig)
    d.remove(alice.id)
    with pytest.raises(ValueError, match="^verify failed: public key not found"):
        verifier.verify(t, hybrid_sig)
    # A different key under the same id does not verify.
    d.insert(bundle_with(bob, id=alice.id))
    with pytest.raises(ValueError, match="^verify failed: signature verification failed: ML-DSA-65: "):
        verifier.verify(t, hybrid_sig)


def test_verifier_sees_file_reloads(alice, signed, tmp_path):
    t, hybrid_sig, _ = signed
    path = tmp_path / "dir.json"
    path.write_bytes(b"[]")
    d = D.from_file(str(path))
    verifier = V(d)
    with pytest.raises(ValueError, match="^verify failed: public key not found"):
        verifier.verify(t, hybrid_sig)
    path.write_bytes(D.build_unsigned_manifest([alice.public_keys()]))
    d.reload()
    verifier.verify(t, hybrid_sig)


def test_verifier_downgrade_guard(alice, signed):
    t, hybrid_sig, pq_sig = signed
    d = D.in_memory([alice.public_keys()])
    with pytest.raises(ValueError) as info:
        V(d).verify(t, pq_sig)
    assert str(info.value) == "verify failed: algorithm mismatch: hybrid verifier rejects non-hybrid algorithm 'ml-dsa-65'"
    with pytest.raises(ValueError) as info:
        V(d, False).verify(t, hybrid_sig)
    assert str(info.value) == ("verify failed: algorithm mismatch: PQ-only verifier expected 'ml-dsa-65', "
                               "got 'ml-dsa-65+ed25519'")


def test_verifier_tampering(alice, signed):
    t, hybrid_sig, pq_sig = signed
    d = D.in_memory([alice.public_keys()])
    v = V(d)
    env = json.loads(hybrid_sig)

    def check(doc, tok=t):
        with pytest.raises(ValueError) as info:
            v.verify(tok, json.dumps(doc).encode())
        return str(info.value)

    twice = "verify failed: signature verification failed: ML-DSA-65: signature verification failed: ML-DSA-65: "
    assert check(env, token(action_name="files.delete")).startswith(twice)
    assert check(env, token(issued_at=1700000001)).startswith(twice)
    assert check({k: val for k, val in env.items() if k != "ed25519_signature"}) == (
        "verify failed: signature verification failed: hybrid envelope missing Ed25519 signature")
    assert check(dict(env, ed25519_signature=[0] * 64)).startswith(
        "verify failed: signature verification failed: Ed25519: signature verification failed: Ed25519: ")
    assert check(dict(env, key_id="ostrel-key-other")) == "verify failed: public key not found for id 'ostrel-key-other'"
    assert check(dict(env, ml_dsa_signature=env["ml_dsa_signature"][:100])) == (
        "verify failed: signature verification failed: ML-DSA-65: signature verification failed: "
        "ML-DSA sig encoding: could not convert slice to array")
    # A PQ-only verifier never looks at the Ed25519 signature.
    pq_env = dict(json.loads(pq_sig), ed25519_signature=[0] * 64)
    V(d, False).verify(t, json.dumps(pq_env).encode())

    for bad in (b"", b"not json", b"{}"):
        with pytest.raises(ValueError, match=r"^verify failed: token envelope parse: .+"):
            v.verify(t, bad)


def test_verifier_bad_bundle_keys(alice, signed):
    t, hybrid_sig, _ = signed
    d = D.in_memory([bundle_with(alice, ml_dsa_verifying_key=[1] * 10)])
    with pytest.raises(ValueError) as info:
        V(d).verify(t, hybrid_sig)
    assert str(info.value) == ("verify failed: signature verification failed: ML-DSA-65: key generation failed: "
                               "invalid ML-DSA VK bytes: could not convert slice to array")
    d.insert(bundle_with(alice, ed25519_verifying_key=[1] * 33))
    with pytest.raises(ValueError) as info:
        V(d).verify(t, hybrid_sig)
    assert str(info.value) == ("verify failed: signature verification failed: Ed25519: signature verification "
                               "failed: Ed25519 VK must be 32 bytes, got 33")


def test_verifier_expiry(alice):
    signer = engine.PqTokenSigner.from_keypair_hybrid(alice)
    t = token()
    sig = signer.sign(t)
    d = D.in_memory([bundle_with(alice, expires_at="2025-01-02T03:04:05.5Z")])
    with pytest.raises(ValueError) as info:
        V(d).verify(t, sig)
    assert str(info.value) == f"verify failed: keypair expired: bundle '{alice.id}' expired at 2025-01-02 03:04:05.500 UTC"
    assert V(d).verify(t, sig, enforce_expiry=False) is None  # archived records
    # Expired one second ago, through a real key pair.
    old = KP.generate_with_expiry(-1)
    old_sig = engine.PqTokenSigner.from_keypair_hybrid(old).sign(t)
    d.insert(old.public_keys())
    with pytest.raises(ValueError, match="^" + re.escape(f"verify failed: keypair expired: bundle '{old.id}' expired at ")):
        V(d).verify(t, old_sig)
    V(d).verify(t, old_sig, enforce_expiry=False)
    # Future expiry and no expiry pass.
    d.insert(bundle_with(alice, expires_at="9999-01-01T00:00:00Z"))
    V(d).verify(t, sig)


@pytest.mark.parametrize("call, exc, message", [
    (lambda d, t, s: V([d]), TypeError, r"^argument 'directory': "),
    (lambda d, t, s: V(d, 1), TypeError, r"^argument 'hybrid': "),
    (lambda d, t, s: V(d).verify(t, s, False), TypeError, r"takes 2 positional arguments but 3 were given"),
    (lambda d, t, s: V(d).verify(t, s, enforce_expiry=0), TypeError, r"^argument 'enforce_expiry': "),
    (lambda d, t, s: V(d).verify(t, bytearray(s)), TypeError, r"^argument 'signature': "),
    (lambda d, t, s: V(d).verify(s, s), TypeError, r"^argument 'token': "),
])
def test_verifier_argument_types(alice, signed, call, exc, message):
    t, hybrid_sig, _ = signed
    with pytest.raises(exc, match=message):
        call(D.in_memory([alice.public_keys()]), t, hybrid_sig)


def test_keys_tokens_and_directories_start_no_runtime_threads(tmp_path):
    # Everything here is synchronous native code: a fresh process that signs,
    # loads directories and verifies must still have its one (main) thread.
    script = tmp_path / "no_threads.py"
    script.write_text(
        "import os, _ostrel_engine as e\n"
        "kp = e.OstrelKeyPair.generate()\n"
        "s = e.PqTokenSigner.from_keypair_hybrid(kp)\n"
        "t = e.PermitToken('6f1c8a52-0a1b-4c2d-8e3f-405162738495', '0d9e8f7a-6b5c-4d3e-9f21-0a1b2c3d4e5f', 1, 31, 'a')\n"
        "sig = s.sign(t)\n"
        f"path = {str(tmp_path / 'dir.json')!r}\n"
        "open(path, 'wb').write(e.PublicKeyDirectory.build_unsigned_manifest([kp.public_keys()]))\n"
        "d = e.PublicKeyDirectory.from_file(path)\n"
        "d.fetch(kp.id)\n"
        "e.DirectoryTokenVerifier(d).verify(t, sig)\n"
        "e.DirectoryTokenVerifier(e.PublicKeyDirectory.in_memory([kp.public_keys()])).verify(t, sig)\n"
        "print(len(os.listdir('/proc/self/task')))\n"
    )
    import subprocess
    import sys
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "1"
