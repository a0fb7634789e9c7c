"""The command line, run as a user runs it: ``python -m ostrel`` in a
subprocess, on real files in a temporary directory."""

import json
import os
import pathlib
import stat
import subprocess
import sys
import time

import pytest

import _ostrel_engine as engine

# Children may run in another directory: make the search path absolute.
ENV = dict(os.environ)
ENV["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in ENV.get("PYTHONPATH", "").split(os.pathsep) if p)
from ostrel._util import parse_duration_secs

ROOT = pathlib.Path(__file__).resolve().parents[2]
POLICIES = ROOT / "examples" / "policies.toml"


def ostrel(*args, cwd=None):
    proc = subprocess.run(
        [sys.executable, "-m", "ostrel", *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        env=ENV,
        timeout=120,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


@pytest.fixture()
def keys(tmp_path):
    """A root key and a signing key made through the command line."""
    root = ostrel("keygen", tmp_path / "root.key", "--bundle-out", tmp_path / "root.json")
    assert root.returncode == 0, root.stderr
    signer = ostrel("keygen", tmp_path / "signer.key", "--expires-in", "30d", "--bundle-out", tmp_path / "signer.json")
    assert signer.returncode == 0, signer.stderr
    return tmp_path


# --- keygen and bundle -----------------------------------------------------


def test_keygen_writes_owner_only_key_and_prints_its_bundle(tmp_path):
    path = tmp_path / "k.key"
    proc = ostrel("keygen", path)
    assert proc.returncode == 0, proc.stderr
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    printed = engine.PublicKeyBundle.from_json(proc.stdout.strip())
    loaded = engine.OstrelKeyPair.load_from_file(str(path))
    assert printed.id == loaded.id
    assert printed.ml_dsa_verifying_key == loaded.public_keys().ml_dsa_verifying_key
    assert printed.expires_at is None


def test_keygen_expiry_is_the_given_duration(tmp_path):
    before = int(time.time())
    proc = ostrel("keygen", tmp_path / "k.key", "--expires-in", "2h")
    assert proc.returncode == 0, proc.stderr
    key = engine.OstrelKeyPair.load_from_file(str(tmp_path / "k.key"))
    assert before + 7200 <= key.expires_at <= int(time.time()) + 7200
    assert key.expires_at - key.created_at == 7200


def test_keygen_never_overwrites_without_force(tmp_path):
    path = tmp_path / "k.key"
    assert ostrel("keygen", path).returncode == 0
    original = path.read_bytes()
    proc = ostrel("keygen", path)
    assert proc.returncode == 1
    assert "already exists" in proc.stderr
    assert path.read_bytes() == original
    assert ostrel("keygen", path, "--force").returncode == 0
    assert path.read_bytes() != original


@pytest.mark.parametrize("duration", ["5x", "1.5h", "-1d", "0", ""])
def test_keygen_rejects_bad_durations_as_usage_errors(tmp_path, duration):
    proc = ostrel("keygen", tmp_path / "k.key", "--expires-in", duration)
    assert proc.returncode == 2
    assert "--expires-in" in proc.stderr
    assert not (tmp_path / "k.key").exists()


def test_bundle_json_and_blob_describe_the_same_key(keys):
    as_json = ostrel("bundle", keys / "signer.key")
    assert as_json.returncode == 0
    assert as_json.stdout.strip() == (keys / "signer.json").read_text().strip()
    assert ostrel("bundle", keys / "signer.key", "--blob", "-o", keys / "b.bin").returncode == 0
    blob = engine.PublicKeyBundle.from_bytes((keys / "b.bin").read_bytes())
    assert blob.id == engine.PublicKeyBundle.from_json(as_json.stdout).id
    # Without -o the blob goes to a redirected standard output as raw bytes.
    raw = subprocess.run([sys.executable, "-m", "ostrel", "bundle", str(keys / "signer.key"), "--blob"],
                         capture_output=True, env=ENV)
    assert raw.returncode == 0
    assert raw.stdout == (keys / "b.bin").read_bytes()


def test_bundle_of_a_file_that_is_not_a_key(tmp_path):
    junk = tmp_path / "junk.key"
    junk.write_text("not a key")
    proc = ostrel("bundle", junk)
    assert proc.returncode == 1
    assert proc.stderr.startswith("ostrel: error: keypair load_from_file: ")


# --- directory ----------------------------------------------------------------


def test_directory_sign_then_check_lists_keys_with_expiry(keys):
    other = ostrel("keygen", keys / "other.key", "--bundle-out", keys / "other.json")
    assert other.returncode == 0
    sign = ostrel("directory", "sign", "--root", keys / "root.key", keys / "signer.json", keys / "other.json",
                  "-o", keys / "dir.json")
    assert sign.returncode == 0, sign.stderr
    # The manifest is what the engine loads as a signed directory.
    root = engine.PublicKeyBundle.from_json((keys / "root.json").read_text())
    loaded = engine.PublicKeyDirectory.from_signed_file(str(keys / "dir.json"), root.ml_dsa_verifying_key)
    assert len(loaded) == 2

    check = ostrel("directory", "check", keys / "dir.json", "--root-bundle", keys / "root.json", "--json")
    assert check.returncode == 0, check.stderr
    report = json.loads(check.stdout)
    signer = engine.PublicKeyBundle.from_json((keys / "signer.json").read_text())
    by_id = {k["id"]: k for k in report["keys"]}
    assert set(by_id) == {signer.id, engine.PublicKeyBundle.from_json((keys / "other.json").read_text()).id}
    assert by_id[signer.id]["expires_at"].endswith("Z")
    assert by_id[signer.id]["expired"] is False
    human = ostrel("directory", "check", keys / "dir.json", "--root-bundle", keys / "root.json")
    assert signer.id in human.stdout and "expires: never" in human.stdout


def test_directory_check_fails_for_wrong_root_and_tampering(keys):
    assert ostrel("directory", "sign", "--root", keys / "root.key", keys / "signer.json",
                  "-o", keys / "dir.json").returncode == 0
    wrong = ostrel("directory", "check", keys / "dir.json", "--root-bundle", keys / "signer.json")
    assert wrong.returncode == 1
    assert "root signature invalid" in wrong.stderr

    manifest = json.loads((keys / "dir.json").read_text())
    manifest["bundles_json"] = manifest["bundles_json"].replace(",", ", ", 1)
    (keys / "dir.json").write_text(json.dumps(manifest))
    tampered = ostrel("directory", "check", keys / "dir.json", "--root-bundle", keys / "root.json")
    assert tampered.returncode == 1
    assert "root signature invalid" in tampered.stderr


def test_directory_sign_refuses_duplicate_ids(keys):
    proc = ostrel("directory", "sign", "--root", keys / "root.key", keys / "signer.json", keys / "signer.json",
                  "-o", keys / "dir.json")
    assert proc.returncode == 1
    assert "duplicate key ids" in proc.stderr
    assert not (keys / "dir.json").exists()


# --- audit verify ---------------------------------------------------------------


@pytest.fixture()
def audit_log(tmp_path):
    key = engine.OstrelKeyPair.generate()
    chain = engine.SignedAuditChain(key, hybrid=True)
    for n in range(6):
        chain.append(engine.AuditEntry(f"agent-{n}", "docs.read", "permit", "ok"))
    lines = chain.export_jsonl().splitlines(keepends=True)
    (tmp_path / "audit.jsonl").write_bytes(b"".join(lines))
    (tmp_path / "part1.jsonl").write_bytes(b"".join(lines[:4]))
    (tmp_path / "part2.jsonl").write_bytes(b"".join(lines[4:]))
    (tmp_path / "bundle.json").write_text(key.public_keys().to_json())
    return tmp_path


def test_audit_verify_counts_entries_of_file_and_tail(audit_log):
    whole = ostrel("audit", "verify", audit_log / "audit.jsonl", "--bundle", audit_log / "bundle.json")
    assert whole.returncode == 0, whole.stderr
    assert "OK: 6 entries verified" in whole.stdout
    split = ostrel("audit", "verify", audit_log / "part1.jsonl", audit_log / "part2.jsonl",
                   "--bundle", audit_log / "bundle.json", "--hybrid", "--json")
    assert split.returncode == 0, split.stderr
    assert json.loads(split.stdout)["entries"] == 6


@pytest.mark.parametrize(
    "args, message",
    [
        (["part2.jsonl"], "segment boundary mismatch"),
        (["part2.jsonl", "part1.jsonl"], "segment boundary mismatch"),
        (["audit.jsonl", "--pq-only"], "audit chain mode mismatch: caller expected hybrid=false but chain is hybrid"),
    ],
)
def test_audit_verify_reports_the_exact_failure(audit_log, args, message):
    paths = [audit_log / a if a.endswith(".jsonl") else a for a in args]
    proc = ostrel("audit", "verify", *paths, "--bundle", audit_log / "bundle.json")
    assert proc.returncode == 1
    assert message in proc.stderr


def test_audit_verify_detects_a_changed_entry_and_a_foreign_key(audit_log, tmp_path):
    lines = (audit_log / "audit.jsonl").read_bytes().splitlines(keepends=True)
    lines[3] = lines[3].replace(b'"previous_hash":"', b'"previous_hash":"0', 1)
    (audit_log / "bad.jsonl").write_bytes(b"".join(lines))
    bad = ostrel("audit", "verify", audit_log / "bad.jsonl", "--bundle", audit_log / "bundle.json")
    assert bad.returncode == 1
    assert "audit chain broken at entry 3" in bad.stderr

    (tmp_path / "foreign.json").write_text(engine.OstrelKeyPair.generate().public_keys().to_json())
    foreign = ostrel("audit", "verify", audit_log / "audit.jsonl", "--bundle", tmp_path / "foreign.json")
    assert foreign.returncode == 1
    assert "signature verification failed" in foreign.stderr


def test_audit_verify_modes_are_exclusive(audit_log):
    proc = ostrel("audit", "verify", audit_log / "audit.jsonl", "--bundle", audit_log / "bundle.json",
                  "--hybrid", "--pq-only")
    assert proc.returncode == 2


# --- policy check -----------------------------------------------------------------


def test_policy_check_lists_the_example_in_evaluation_order():
    proc = ostrel("policy", "check", POLICIES, "--json")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    report = json.loads(proc.stdout)
    names = [p["name"] for p in report["policies"]]
    assert names[:3] == ["no-destructive-sql", "no-destructive-sql-truncate", "trainees-stay-out-of-production"]
    assert names[-1] == "email-over-limit"
    assert [p["priority"] for p in report["policies"]] == sorted(p["priority"] for p in report["policies"])
    assert report["findings"] == []


def _policy(tmp_path, body, name="p.toml"):
    path = tmp_path / name
    path.write_text(body)
    return path


def _toml_policy(name, conditions, priority=None, effect="permit"):
    prio = f"priority = {priority}\n" if priority is not None else ""
    return f'[[policy]]\nname = "{name}"\neffect = "{effect}"\n{prio}conditions = [{conditions}]\n'


@pytest.mark.parametrize(
    "conditions, kind, fragment",
    [
        ('{ time_window = "9-17" }', "time_window", "malformed start"),
        ('{ time_window = "09:00-1700" }', "time_window", "malformed end"),
        ('{ time_window = "0900 1700" }', "time_window", "missing '-'"),
        ('{ time_window = "09:00-17:00 Europe/Atlantis" }', "time_zone", "unknown time zone 'Europe/Atlantis'"),
        ('{ session_age_max = "2 h" }', "duration", "86400"),
        ('{ rate_limit = { max = 3, window = "1.5m" } }', "duration", "3600"),
    ],
)
def test_policy_check_lints_what_reading_accepts(tmp_path, conditions, kind, fragment):
    path = _policy(tmp_path, _toml_policy("p", conditions))
    proc = ostrel("policy", "check", path, "--json")
    assert proc.returncode == 1
    findings = json.loads(proc.stdout)["findings"]
    assert [f["kind"] for f in findings] == [kind]
    assert fragment in findings[0]["message"]


@pytest.mark.parametrize(
    "conditions",
    [
        '{ time_window = "22:00-06:00 Europe/Berlin" }',
        '{ time_window = "9:05-17:00" }',
        '{ session_age_max = "+90m" }',
        '{ rate_limit = { max = 3, window = "60" } }',
    ],
)
def test_policy_check_accepts_sound_conditions(tmp_path, conditions):
    proc = ostrel("policy", "check", _policy(tmp_path, _toml_policy("p", conditions)))
    assert proc.returncode == 0, proc.stdout
    assert "no problems found" in proc.stdout


def test_policy_check_finds_policies_shadowed_by_an_earlier_catch_all(tmp_path):
    body = (
        _toml_policy("late", '{ action = "docs.*" }', priority=100)
        + _toml_policy("catch-all", '{ action = "*" }', priority=50, effect="refuse")
        + _toml_policy("same-priority-after", "", priority=50)
    )
    proc = ostrel("policy", "check", _policy(tmp_path, body), "--json")
    assert proc.returncode == 1
    report = json.loads(proc.stdout)
    assert [p["name"] for p in report["policies"]] == ["catch-all", "same-priority-after", "late"]
    shadowed = {f["policy"] for f in report["findings"] if f["kind"] == "shadowed"}
    assert shadowed == {"same-priority-after", "late"}


def test_policy_check_reports_parse_errors_with_positions(tmp_path):
    toml = ostrel("policy", "check", _policy(tmp_path, '[[policy]]\nname = "x"\neffect = "permit"\nconditions = []\n'
                                             'priorty = 3\n'))
    assert toml.returncode == 1
    assert "policy parse error" in toml.stderr and "priorty" in toml.stderr and "line 5" in toml.stderr
    js = ostrel("policy", "check", _policy(tmp_path, '{"policies": [{"name": "x", "effect": "Permit", '
                                           '"conditions": []}]}', name="p.json"))
    assert js.returncode == 1
    assert "policy JSON parse error" in js.stderr and "Permit" in js.stderr


def test_policy_check_reads_json_documents(tmp_path):
    doc = {"policies": [{"name": "j", "effect": "permit", "conditions": [{"time_window": "25:00-26:00"}]}]}
    proc = ostrel("policy", "check", _policy(tmp_path, json.dumps(doc), name="p.json"), "--json")
    assert proc.returncode == 1
    report = json.loads(proc.stdout)
    assert report["format"] == "json"
    assert [f["kind"] for f in report["findings"]] == ["time_window"]


# --- policy eval ---------------------------------------------------------------------


def _request(tmp_path, **fields):
    path = tmp_path / "request.json"
    path.write_text(json.dumps(fields))
    return path


def test_policy_eval_permits_and_refuses(tmp_path):
    permit = ostrel("policy", "eval", POLICIES,
                    _request(tmp_path, principal_id="a", principal_kind="agent", action_name="docs.read"), "--json")
    assert permit.returncode == 0
    assert json.loads(permit.stdout)["kind"] == "permit"
    refuse = ostrel("policy", "eval", POLICIES,
                    _request(tmp_path, principal_id="a", principal_kind="agent", action_name="db.drop_table"))
    assert refuse.returncode == 1
    assert refuse.stdout.strip() == "REFUSE  [POLICY_DENIED] policy: denied by policy 'no-destructive-sql'"


def test_policy_eval_options_reach_the_gate(tmp_path):
    request = _request(tmp_path, principal_id="f", principal_kind="agent", action_name="payments.refund",
                       roles=["finance-lead"], params={"amount": 3000})
    plain = ostrel("policy", "eval", POLICIES, request, "--json")
    assert json.loads(plain.stdout)["kind"] == "permit"
    ceiling = ostrel("policy", "eval", POLICIES, request, "--invariant", "ceiling:amount:2500", "--json")
    assert ceiling.returncode == 1
    assert json.loads(ceiling.stdout)["code"] == "INVARIANT_VIOLATION"
    observe = ostrel("policy", "eval", POLICIES, request, "--invariant", "ceiling:amount:2500", "--observe-only")
    assert observe.returncode == 0 and observe.stdout.startswith("PERMIT")


def test_policy_eval_drift_invalidates_with_geo_and_device_objects(tmp_path):
    request = _request(tmp_path, principal_id="a", principal_kind="agent", action_name="docs.read",
                       device={"hash": "new"}, origin_device={"hash": "old"},
                       current_geo={"country_code": "DE", "city": "Berlin"})
    proc = ostrel("policy", "eval", POLICIES, request)
    assert proc.returncode == 1
    assert proc.stdout.startswith("INVALIDATE  drift: device fingerprint changed mid-session")
    assert ostrel("policy", "eval", POLICIES, request, "--no-drift").returncode == 0


@pytest.mark.parametrize(
    "content, fragment",
    [
        ("{not json", "not JSON"),
        ("[1, 2]", "must be a JSON object"),
        ('{"principal_id": "a", "principal_kind": "agent"}', "missing key(s) action_name"),
        ('{"principal_id": "a", "principal_kind": "agent", "action_name": "x", "role": []}', "unknown key(s) role"),
        ('{"principal_id": "a", "principal_kind": "bot", "action_name": "x"}', "unknown principal kind: bot"),
        ('{"principal_id": 5, "principal_kind": "agent", "action_name": "x"}', "principal_id"),
        ('{"principal_id": "a", "principal_kind": "agent", "action_name": "x", "device": "abc"}', "device must be"),
    ],
)
def test_policy_eval_rejects_bad_requests_without_traceback(tmp_path, content, fragment):
    path = tmp_path / "r.json"
    path.write_text(content)
    proc = ostrel("policy", "eval", POLICIES, path)
    assert proc.returncode == 1
    assert proc.stderr.startswith("ostrel: error: ")
    assert fragment in proc.stderr


# --- usage, help, bad input ----------------------------------------------------------


@pytest.mark.parametrize(
    "args",
    [[], ["keygen"], ["directory"], ["directory", "sign", "x.json"], ["audit", "verify", "f"], ["policy", "eval", "p"],
     ["frobnicate"], ["policy", "eval", "p", "r", "--invariant", "x:y"], ["policy", "eval", "p", "r",
                                                                          "--max-session-actions", "-1"]],
)
def test_usage_errors_exit_2(args):
    proc = ostrel(*args)
    assert proc.returncode == 2
    assert "usage:" in proc.stderr


@pytest.mark.parametrize(
    "args",
    [["--help"], ["keygen", "--help"], ["bundle", "--help"], ["directory", "sign", "--help"],
     ["directory", "check", "--help"], ["audit", "verify", "--help"], ["policy", "check", "--help"],
     ["policy", "eval", "--help"], ["demo", "--help"]],
)
def test_every_subcommand_has_help(args):
    proc = ostrel(*args)
    assert proc.returncode == 0
    assert proc.stdout.startswith("usage: ostrel")


@pytest.mark.parametrize(
    "args",
    [["bundle", "missing.key"], ["directory", "check", "missing.json", "--root-bundle", "missing.json"],
     ["audit", "verify", "missing.jsonl", "--bundle", "missing.json"], ["policy", "check", "missing.toml"],
     ["policy", "eval", "missing.toml", "missing.json"], ["directory", "sign", "--root", "missing.key", "b.json",
                                                          "-o", "out.json"], ["demo", "--policy", "missing.toml"],
     ["keygen", "no/such/dir/k.key"], ["keygen", "k.key", "--bundle-out", "no/such/dir/b.json"]],
)
def test_missing_files_fail_with_one_line(tmp_path, args):
    proc = ostrel(*args, cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.count("\n") == 1 and "error" in proc.stderr


def test_binary_garbage_is_rejected_cleanly(tmp_path):
    garbage = tmp_path / "g.bin"
    garbage.write_bytes(bytes(range(256)))
    for args in (["policy", "check", garbage], ["audit", "verify", garbage, "--bundle", garbage],
                 ["directory", "check", garbage, "--root-bundle", garbage]):
        proc = ostrel(*args)
        assert proc.returncode == 1, args


# --- the demo --------------------------------------------------------------------------


def test_demo_plays_the_session_and_verifies_its_log(tmp_path):
    proc = ostrel("demo", "--policy", POLICIES, "--keep", tmp_path / "work")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "signature verified through the directory" in out
    assert "REFUSE  [POLICY_DENIED] policy: denied by policy 'no-destructive-sql'" in out
    assert "denied by policy 'email-over-limit'" in out
    assert "[INVARIANT_VIOLATION] invariants: invariant 'refund-ceiling' violated" in out
    assert "INVALIDATE  drift: IP changed mid-session" in out
    assert "[SESSION_INVALID]" in out
    # The log on disk holds every decision and verifies on its own.
    work = tmp_path / "work"
    assert stat.S_IMODE((work / "gate.key").stat().st_mode) == 0o600
    entries = (work / "audit.jsonl").read_bytes().count(b"\n")
    assert f"verified from the file: {entries} entries" in out
    verify = ostrel("audit", "verify", work / "audit.jsonl", "--bundle", work / "audit.bundle.json", "--hybrid")
    assert verify.returncode == 0
    assert f"OK: {entries} entries verified" in verify.stdout


# --- the duration reader the lints rely on ------------------------------------------------


@pytest.mark.parametrize(
    "text, seconds",
    [("30s", 30), ("15m", 900), ("2h", 7200), ("1d", 86400), ("90", 90), (" 5m ", 300), ("+5m", 300),
     ("0s", 0), ("0", 0), ("5 m", None), ("1.5h", None), ("-5m", None), ("5M", None), ("", None), ("m", None),
     ("+m", None), ("s", None), ("18446744073709551616", None)],
)
def test_duration_reader_matches_the_gate(text, seconds):
    assert parse_duration_secs(text) == seconds


def test_audit_verify_draws_progress_only_on_a_terminal(tmp_path, monkeypatch):
    import pty

    key = engine.OstrelKeyPair.generate()
    chain = engine.SignedAuditChain(key, hybrid=True)
    entry = engine.AuditEntry("agent", "docs.read", "permit", "x" * 2000)
    chain.append(entry)
    per_entry = len(chain.export_jsonl())
    for _ in range((4 * 1024 * 1024) // per_entry + 1):
        chain.append(entry)
    data = chain.export_jsonl()
    assert len(data) > 4 * 1024 * 1024
    (tmp_path / "big.jsonl").write_bytes(data)
    (tmp_path / "bundle.json").write_text(key.public_keys().to_json())
    args = [sys.executable, "-m", "ostrel", "audit", "verify", str(tmp_path / "big.jsonl"),
            "--bundle", str(tmp_path / "bundle.json")]

    controller, terminal = pty.openpty()
    try:
        proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=terminal, env=ENV, timeout=300)
        os.close(terminal)
        drawn = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(controller)
    assert proc.returncode == 0
    assert f"OK: {len(chain)} entries verified".encode() in proc.stdout
    assert b"reading [" in drawn and b"100%" in drawn and f"verifying {len(chain)} signed entries".encode() in drawn

    piped = ostrel("audit", "verify", tmp_path / "big.jsonl", "--bundle", tmp_path / "bundle.json")
    assert piped.returncode == 0 and piped.stderr == ""
