"""The example programs a user copies from still run and do what they say."""

import os
import pathlib
import subprocess
import sys

import pytest

import _ostrel_engine as engine

# Children may run in another directory: make the search path absolute.
ENV = dict(os.environ)
ENV["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in ENV.get("PYTHONPATH", "").split(os.pathsep) if p)

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args):
    proc = subprocess.run([sys.executable, str(EXAMPLES / name), *args], capture_output=True, text=True,
                          env=ENV, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "Traceback" not in proc.stderr
    return proc.stdout.splitlines()


def test_agent_tool_guard_runs_allowed_tools_and_stops_the_rest():
    lines = run_example("agent_tool_guard.py")
    outcomes = [line.split()[0] for line in lines[:-1]]
    assert outcomes == ["ok", "ok", "denied", "ok", "denied", "denied"]
    assert "denied by policy 'no-deletes'" in lines[5]
    assert lines[-1].endswith(": 6 signed decisions verified")


def test_verifier_service_accepts_genuine_and_rejects_forged_permits():
    lines = run_example("verifier_service.py", "--self-test")
    assert lines[0].split()[2] == "200" and "'valid': True" in lines[0]
    assert lines[1].split()[2] == "403" and "verify failed" in lines[1]
    assert lines[2].split()[2] == "403" and "public key not found for id" in lines[2]


@pytest.mark.skipif(not os.environ.get("OSTREL_TEST_REDIS_URL") or not hasattr(engine, "RedisRateLimitStore"),
                    reason="needs OSTREL_TEST_REDIS_URL and the Redis classes")
def test_two_replicas_share_limits_and_revocations():
    lines = run_example("two_replicas_redis.py", os.environ["OSTREL_TEST_REDIS_URL"])
    exports = [line for line in lines if "reports.export" in line]
    assert [line.endswith(" permit") for line in exports] == [True, True, True, False]
    assert any("invalidate" in line and "IP changed mid-session" in line for line in lines)
    assert any("replica-b listener heard InvalidationScope(target_kind=session" in line for line in lines)
    assert "SESSION_INVALID" in lines[-1]


def _native_example():
    # The build that serves this test run: PYTHONPATH=<build>/python.
    for entry in ENV.get("PYTHONPATH", "").split(os.pathsep):
        candidate = pathlib.Path(entry).parent / "example_agent_gate"
        if entry and candidate.is_file():
            return candidate
    return None


@pytest.mark.skipif(_native_example() is None, reason="example_agent_gate not built beside the module")
def test_native_agent_gate_example_still_runs():
    proc = subprocess.run([str(_native_example()), str(EXAMPLES / "policies.toml")], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "PERMIT" in proc.stdout and "REFUSE" in proc.stdout and "INVALIDATE" in proc.stdout
