"""Checks of a policy document that reading it does not make.

The gate accepts a document whose time windows are malformed, whose time
zones do not exist or whose durations do not parse: such a condition then
never holds, or silently takes a default (3600 s for a rate-limit window,
86400 s for a session age). A policy placed after a catch-all of the same or
a lower priority number can never be reached. These are all accepted by the
gate and almost always mistakes, so ``ostrel policy check`` reports them.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Tuple

from ._util import parse_duration_secs

DEFAULT_PRIORITY = 100


@dataclass
class Finding:
    policy: str
    position: int  # 1-based position in evaluation order
    kind: str  # time_window, time_zone, duration, shadowed
    message: str

    def as_dict(self) -> Dict[str, Any]:
        return {"policy": self.policy, "position": self.position, "kind": self.kind, "message": self.message}


@dataclass
class PolicyInfo:
    name: str
    effect: str
    priority: int
    conditions: List[Dict[str, Any]] = field(default_factory=list)
    description: Optional[str] = None

    def as_dict(self) -> Dict[str, Any]:
        return {
            "name": self.name,
            "effect": self.effect,
            "priority": self.priority,
            "description": self.description,
            "conditions": self.conditions,
        }


def load_structure(text: str, fmt: str) -> Dict[str, Any]:
    """Parses the document's structure (the engine has already accepted it).

    Raises RuntimeError when no TOML reader is available to Python."""
    if fmt == "json":
        return json.loads(text)
    try:
        import tomllib as toml_reader  # Python 3.11 and later
    except ModuleNotFoundError:  # pragma: no cover - depends on the interpreter
        try:
            import tomli as toml_reader  # type: ignore[no-redef]
        except ModuleNotFoundError:
            raise RuntimeError("the lints of TOML documents need Python 3.11 or the tomli package") from None
    return toml_reader.loads(text)


def policies_in_order(document: Dict[str, Any]) -> List[PolicyInfo]:
    raw = document.get("policy", document.get("policies", []))
    infos = [
        PolicyInfo(
            name=p["name"],
            effect=p["effect"],
            priority=int(p.get("priority", DEFAULT_PRIORITY)),
            conditions=list(p.get("conditions", [])),
            description=p.get("description"),
        )
        for p in raw
    ]
    # Stable sort: equal priorities keep document order, as the engine does.
    return sorted(infos, key=lambda info: info.priority)


def time_window_problem(text: str) -> Optional[Tuple[str, str]]:
    """Returns (kind, message) for a window the engine would never match."""
    parts = text.split(None, 1) if text.strip() else [text]
    head = text.strip() if len(parts) == 1 else parts[0].strip()
    zone = "" if len(parts) == 1 else parts[1].strip()
    # The engine splits at the first white space of the untrimmed text.
    stripped_lead = text[: len(text) - len(text.lstrip())]
    if stripped_lead:
        head, zone = "", text.strip()
    if "-" not in head:
        return "time_window", f"time window {text!r} is malformed (missing '-'); the condition never holds"
    start, end = head.split("-", 1)
    if not _clock(start.strip()):
        return "time_window", f"time window {text!r} has a malformed start (want H:MM or HH:MM); the condition never holds"
    if not _clock(end.strip()):
        return "time_window", f"time window {text!r} has a malformed end (want H:MM or HH:MM); the condition never holds"
    if zone and not _zone_exists(zone):
        return "time_zone", f"time window {text!r} names unknown time zone {zone!r}; the condition never holds"
    return None


def _clock(text: str) -> bool:
    hours, sep, minutes = text.partition(":")
    if not sep or not (1 <= len(hours) <= 2) or len(minutes) != 2:
        return False
    if not (hours.isascii() and hours.isdigit() and minutes.isascii() and minutes.isdigit()):
        return False
    return int(hours) <= 23 and int(minutes) <= 59


def _zone_exists(name: str) -> bool:
    if name.startswith("/") or ".." in name.split("/"):
        return False
    try:
        import zoneinfo

        zoneinfo.ZoneInfo(name)
        return True
    except Exception:
        return False


def _matches_everything(condition: Dict[str, Any]) -> bool:
    if len(condition) != 1:
        return False
    (kind, payload), = condition.items()
    return kind == "action" and payload in ("*", ".*")


def describe_condition(condition: Dict[str, Any]) -> str:
    if len(condition) != 1:
        return json.dumps(condition)
    (kind, payload), = condition.items()
    if isinstance(payload, dict):
        inner = ", ".join(f"{k}={v}" for k, v in payload.items())
        return f"{kind}({inner})"
    return f"{kind}={payload}"


def lint(policies: List[PolicyInfo]) -> List[Finding]:
    findings: List[Finding] = []
    catch_all: Optional[Tuple[int, PolicyInfo]] = None
    for position, policy in enumerate(policies, start=1):
        if catch_all is not None:
            where, earlier = catch_all
            findings.append(
                Finding(
                    policy.name,
                    position,
                    "shadowed",
                    f"never reached: policy #{where} {earlier.name!r} (priority {earlier.priority}) "
                    f"matches every request first and {earlier.effect}s it",
                )
            )
        for condition in policy.conditions:
            if len(condition) != 1:
                continue
            (kind, payload), = condition.items()
            if kind == "time_window":
                problem = time_window_problem(str(payload))
                if problem:
                    findings.append(Finding(policy.name, position, problem[0], problem[1]))
            elif kind == "session_age_max" and parse_duration_secs(str(payload)) is None:
                findings.append(
                    Finding(
                        policy.name,
                        position,
                        "duration",
                        f"session_age_max {payload!r} is not a duration; the gate silently uses 86400 seconds (24h)",
                    )
                )
            elif kind == "rate_limit" and isinstance(payload, dict):
                window = str(payload.get("window", ""))
                if parse_duration_secs(window) is None:
                    findings.append(
                        Finding(
                            policy.name,
                            position,
                            "duration",
                            f"rate_limit window {window!r} is not a duration; the gate silently uses 3600 seconds (1h)",
                        )
                    )
        if catch_all is None and all(_matches_everything(c) for c in policy.conditions):
            catch_all = (position, policy)
    return findings
