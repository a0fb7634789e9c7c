"""ostrel: an authorization gate for automated actors.

Describe each attempted action as an ``ActionContext``, pass it to
``Gate.evaluate`` and act on the ``Verdict``: permit (with a ``PermitToken``),
refuse, or invalidate. The classes live in the compiled engine
``_ostrel_engine`` and are re-exported here under the same names.
"""

import _ostrel_engine as _engine

# Every public name of the engine, in the engine's registration order.
__all__ = [name for name in vars(_engine) if not name.startswith("_")]
globals().update({name: getattr(_engine, name) for name in __all__})

__version__ = "0.1.0"

# The guard helper (pure Python) is importable from the package too; it is
# kept out of __all__, which lists exactly the engine's names.
from .guard import ActionRefused, Guard, GuardDenied, SessionInvalidated  # noqa: E402,F401

del _engine
