"""Shared fixtures for the Python-level tests of the engine.

The tests import the engine from the build tree: run them with
PYTHONPATH=<build>/python.
"""

import pytest

import _ostrel_engine as engine

PERMIT_ALL = """
[[policy]]
name = "allow-all"
effect = "permit"
conditions = []
"""

# Reads and deletes differ: agents may read anything, deletes are refused,
# everything else falls through to the default deny.
READ_DELETE = """
[[policy]]
name = "no-deletes"
effect = "refuse"
priority = 10
conditions = [{ action = "files.delete" }]

[[policy]]
name = "agents-read"
effect = "permit"
conditions = [{ identity_kind = "agent" }, { action = "files.read" }]
"""


@pytest.fixture
def permit_all_gate():
    return engine.Gate(PERMIT_ALL)


@pytest.fixture
def read_delete_gate():
    return engine.Gate(READ_DELETE)


def ctx(action="files.read", principal_id="agent-1", kind="agent", **kwargs):
    """An ActionContext with sensible defaults."""
    return engine.ActionContext(principal_id, kind, action, **kwargs)
