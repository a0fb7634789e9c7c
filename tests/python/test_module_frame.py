"""The module object: what it registers, in which order, and how it is initialised."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import _ostrel_engine as engine

# The module's attributes in their fixed registration order.
REGISTRATION_ORDER = [
    "Gate", "ActionContext", "GeoLocation", "DeviceFingerprint", "Verdict", "PermitToken",
    "PqTokenSigner", "OstrelKeyPair", "PublicKeyBundle",
    "AuditEntry", "SignedAuditChain", "ManagedAuditChain",
    "SecureChannel", "PublicKeyDirectory", "DirectoryTokenVerifier",
    "RedisRateLimitStore", "RedisSessionStore", "InMemorySessionStore",
    "RedisInvalidationBroadcaster", "InMemoryInvalidationBroadcaster",
    "InvalidationScope", "InvalidationListenerHandle",
    "spawn_invalidation_listener",
]

GATE_FAMILY = REGISTRATION_ORDER[:6]


def public_names():
    return [n for n in vars(engine) if not n.startswith("_")]


def test_registers_only_known_names_in_registration_order():
    assert public_names() == REGISTRATION_ORDER


def test_gate_family_registered_first():
    assert public_names()[:6] == GATE_FAMILY


def test_every_registered_name_is_a_class_or_the_function():
    for name in public_names():
        obj = getattr(engine, name)
        if name == "spawn_invalidation_listener":
            assert callable(obj)
        else:
            assert isinstance(obj, type), name


def test_module_docstring_names_no_implementation_language():
    doc = engine.__doc__
    assert doc and "natively" in doc
    for word in ("C++", "Rust", "Cython", "pybind", "PyO3"):
        assert word not in doc


def test_internal_fault_type_is_not_a_module_attribute():
    assert not any(
        isinstance(v, type) and issubclass(v, BaseException) for v in vars(engine).values()
    )


def test_built_as_stable_abi_module():
    assert engine.__file__.endswith("_ostrel_engine.abi3.so")


def test_reinitialising_in_the_same_interpreter_returns_the_first_module():
    saved = sys.modules.pop("_ostrel_engine")
    try:
        again = importlib.import_module("_ostrel_engine")
        assert again is saved
        assert again.Gate is saved.Gate
    finally:
        sys.modules["_ostrel_engine"] = saved


def test_import_from_a_subinterpreter_fails_with_import_error():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    # Run in a fresh process so that no other test shares the sub-interpreter.
    code = textwrap.dedent(
        """
        import _ostrel_engine, _xxsubinterpreters as interp
        sub = interp.create()
        try:
            interp.run_string(sub, "import _ostrel_engine")
        except interp.RunFailedError as e:
            print("FAILED:", e)
        else:
            print("IMPORTED")
        """
    )
    del interpreters
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("FAILED:"), out
    assert "ImportError" in out
    assert "more than one interpreter" in out


def test_import_starts_no_threads():
    code = "import threading, _ostrel_engine, ostrel; import os; print(len(os.listdir('/proc/self/task')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "1"


def test_package_reexports_engine_classes_and_imports_only_the_standard_library():
    code = textwrap.dedent(
        """
        import sys
        before = set(sys.modules)
        import ostrel, _ostrel_engine
        new = {m.split('.')[0] for m in set(sys.modules) - before}
        print(sorted(new - {'ostrel', '_ostrel_engine'}))
        print(ostrel.__all__ == [n for n in vars(_ostrel_engine) if not n.startswith('_')])
        print(all(getattr(ostrel, n) is getattr(_ostrel_engine, n) for n in ostrel.__all__))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    lines = out.splitlines()
    stdlib = set(sys.stdlib_module_names)
    assert all(m in stdlib for m in eval(lines[0])), lines[0]
    assert lines[1:] == ["True", "True"]


def test_import_emits_no_warnings():
    # Bare class names must not trigger the interpreter's "no __module__" warning.
    code = "import _ostrel_engine, ostrel; print(_ostrel_engine.Gate.__module__)"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "_ostrel_engine"
    assert out.stderr == ""
