"""Small helpers shared by the command line and the demo (no engine calls)."""

from __future__ import annotations

import datetime as _dt
import os
import tempfile
from typing import Optional

_UNITS = {"d": 86400, "h": 3600, "m": 60, "s": 1}


def parse_duration_secs(text: str) -> Optional[int]:
    """Reads a duration the way the policy engine does: digits with an
    optional leading "+" and an optional unit d, h, m or s (seconds when
    absent). Returns None for anything else, where the engine silently falls
    back to its default."""
    trimmed = text.strip()
    if not trimmed:
        return None
    factor = _UNITS.get(trimmed[-1])
    number = trimmed[:-1] if factor is not None else trimmed
    if factor is None:
        factor = 1
    if number.startswith("+"):
        number = number[1:]
    if not number or not all("0" <= ch <= "9" for ch in number):
        return None
    value = int(number)
    if value >= 1 << 64:
        return None
    total = value * factor
    return total if total < 1 << 64 else None


def format_unix(seconds: Optional[int]) -> str:
    """RFC 3339 UTC text of whole Unix seconds, or "never"."""
    if seconds is None:
        return "never"
    try:
        return _dt.datetime.fromtimestamp(seconds, _dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    except (OverflowError, OSError, ValueError):
        return str(seconds)


def write_atomically(path: str, data: bytes, mode: int = 0o644) -> None:
    """Writes a file through a temporary sibling and a rename, so a reader
    never sees half a file and a failed write leaves the old file in place."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".ostrel-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
