"""Guarding tool calls with a gate: the common integration in a few lines.

A :class:`Guard` stands for one actor's session in front of one gate. Each
guarded call builds an ``ActionContext`` from the guard's identity and the
call's action, resource and parameters, evaluates it, and then either runs
the call (handing it the ``PermitToken``) or raises :class:`ActionRefused` /
:class:`SessionInvalidated`. When an audit chain is configured every decision
is appended to it as an ``AuditEntry``, permits and refusals alike.

    guard = Guard(gate, principal_id="agent-7", principal_kind="agent", roles=["billing"])

    @guard.protect("payments.refund", params=("amount",))
    def refund(order: str, amount: float, *, permit: PermitToken) -> None: ...

    with guard.action("docs.search") as permit:
        ...

``protect`` works the same on ``async def`` functions. Evaluation itself is
synchronous: with the in-memory stores it takes microseconds; with Redis
stores it waits for the server while holding the interpreter lock.
"""

from __future__ import annotations

import contextlib
import functools
import inspect
import threading
import time
import uuid
from typing import (
    Any,
    AsyncIterator,
    Awaitable,
    Callable,
    Dict,
    Iterator,
    Mapping,
    Optional,
    Sequence,
    TypeVar,
    Union,
    cast,
)

import _ostrel_engine as _engine

__all__ = ["Guard", "GuardDenied", "ActionRefused", "SessionInvalidated"]

_REVOKED_CODE = "SESSION_INVALID"
_REVOKED_REASON = "session has been invalidated"

F = TypeVar("F", bound=Callable[..., Any])
ParamSpecifier = Union[None, Sequence[str], Callable[..., Mapping[str, Any]]]


class GuardDenied(Exception):
    """The gate did not permit a guarded action. Carries the verdict."""

    def __init__(
        self,
        verdict: Optional["_engine.Verdict"],
        action: str,
        principal_id: str,
        *,
        kind: Optional[str] = None,
        evaluator: Optional[str] = None,
        reason: Optional[str] = None,
        code: Optional[str] = None,
    ) -> None:
        #: The gate's verdict; None when the guard refused a session it
        #: already knew to be revoked without asking the gate again.
        self.verdict = verdict
        self.action = action
        self.principal_id = principal_id
        self.kind: str = verdict.kind if verdict is not None else (kind or "refuse")
        self.evaluator: Optional[str] = verdict.evaluator if verdict is not None else evaluator
        self.reason: Optional[str] = verdict.reason if verdict is not None else reason
        self.code: Optional[str] = verdict.code if verdict is not None else code
        super().__init__(self._text())

    def _text(self) -> str:
        return f"{self.action} by {self.principal_id}: {self.evaluator}: {self.reason}"


class ActionRefused(GuardDenied):
    """The gate refused the action (``code`` holds the refusal code)."""

    def _text(self) -> str:
        return f"{self.action} by {self.principal_id} refused: [{self.code}] {self.evaluator}: {self.reason}"


class SessionInvalidated(GuardDenied):
    """The gate revoked the session (or principal, or role) instead of
    deciding; later calls through the same guard are refused at once."""

    def _text(self) -> str:
        return f"{self.action} by {self.principal_id}: session invalidated by {self.evaluator}: {self.reason}"


class Guard:
    """One actor's session in front of a gate.

    The guard keeps the session's id, start time and action count, so the
    gate's session limits and drift detectors see a real session. ``audit`` is
    a ``SignedAuditChain`` or ``ManagedAuditChain`` (anything with
    ``append(AuditEntry)``); ``session_store`` an ``InMemorySessionStore`` or
    ``RedisSessionStore`` consulted before each call and told about
    invalidations, so a revocation made on any replica is honoured.
    """

    def __init__(
        self,
        gate: "_engine.Gate",
        *,
        principal_id: str,
        principal_kind: str,
        roles: Sequence[str] = (),
        session_id: Optional[str] = None,
        session_started_at: Optional[int] = None,
        ip: Optional[str] = None,
        origin_ip: Optional[str] = None,
        current_geo: Optional["_engine.GeoLocation"] = None,
        origin_geo: Optional["_engine.GeoLocation"] = None,
        device: Optional["_engine.DeviceFingerprint"] = None,
        origin_device: Optional["_engine.DeviceFingerprint"] = None,
        audit: Any = None,
        session_store: Any = None,
    ) -> None:
        self.gate = gate
        self.principal_id = principal_id
        self.principal_kind = principal_kind
        self.roles = list(roles)
        self.session_id = session_id if session_id is not None else str(uuid.uuid4())
        self.session_started_at = session_started_at if session_started_at is not None else int(time.time())
        self.ip = ip
        self.origin_ip = origin_ip if origin_ip is not None else ip
        self.current_geo = current_geo
        self.origin_geo = origin_geo if origin_geo is not None else current_geo
        self.device = device
        self.origin_device = origin_device if origin_device is not None else device
        self.audit = audit
        self.session_store = session_store
        self.action_count = 0
        self.invalidated = False
        self._lock = threading.Lock()

    # -- the decision ------------------------------------------------------

    def context(
        self, action: str, *, resource: Optional[str] = None, params: Optional[Mapping[str, Any]] = None
    ) -> "_engine.ActionContext":
        """The ActionContext a call of ``action`` would be evaluated with.
        Numeric (and bool) parameters become numbers; any other value is
        passed as text, so ``param_in`` conditions can match strings."""
        numeric: Dict[str, float] = {}
        other: Dict[str, Any] = {}
        for key, value in (params or {}).items():
            if isinstance(value, (int, float)):
                numeric[key] = value
            else:
                other[key] = value
        with self._lock:
            count = self.action_count
        ctx = _engine.ActionContext(
            self.principal_id,
            self.principal_kind,
            action,
            roles=self.roles,
            resource=resource,
            params=numeric or None,
            ip=self.ip,
            session_id=self.session_id,
            current_geo=self.current_geo,
            origin_geo=self.origin_geo,
            origin_ip=self.origin_ip,
            device=self.device,
            origin_device=self.origin_device,
            session_started_at=self.session_started_at,
            action_count=count,
        )
        for key, value in other.items():
            ctx.with_param(key, value)
        return ctx

    def check(
        self, action: str, *, resource: Optional[str] = None, params: Optional[Mapping[str, Any]] = None
    ) -> "_engine.PermitToken":
        """Evaluates one action; returns its PermitToken or raises
        ActionRefused / SessionInvalidated. The decision is audited."""
        if self.invalidated or (
            self.session_store is not None and self.session_store.is_invalidated(self.session_id)
        ):
            self.invalidated = True
            # The same refusal the gate gives a session marked invalidated.
            self._audit_record(action, resource, "refuse", f"[{_REVOKED_CODE}] gate: {_REVOKED_REASON}", "gate", None)
            raise ActionRefused(
                None, action, self.principal_id, evaluator="gate", reason=_REVOKED_REASON, code=_REVOKED_CODE
            )
        else:
            verdict = self.gate.evaluate(self.context(action, resource=resource, params=params))
            with self._lock:
                self.action_count += 1
        self._audit(action, resource, verdict)
        if verdict.is_permit:
            token = verdict.permit_token
            assert token is not None
            return token
        if verdict.is_invalidate:
            self.invalidated = True
            if self.session_store is not None:
                self.session_store.invalidate(self.session_id)
            raise SessionInvalidated(verdict, action, self.principal_id)
        raise ActionRefused(verdict, action, self.principal_id)

    def _audit(self, action: str, resource: Optional[str], verdict: "_engine.Verdict") -> None:
        if self.audit is None:
            return
        token = verdict.permit_token
        if verdict.is_permit:
            detail = f"token {verdict.token_id}"
        elif verdict.is_refuse:
            detail = f"[{verdict.code}] {verdict.evaluator}: {verdict.reason}"
        else:
            detail = f"{verdict.evaluator}: {verdict.reason}"
        self._audit_record(
            action,
            resource,
            verdict.kind,
            detail,
            verdict.evaluator or "gate",
            None if token is None else token.evaluation_id,
        )

    def _audit_record(
        self,
        action: str,
        resource: Optional[str],
        kind: str,
        detail: str,
        decided_by: str,
        evaluation_id: Optional[str],
    ) -> None:
        if self.audit is None:
            return
        entry = _engine.AuditEntry(
            self.principal_id,
            action,
            kind,
            detail,
            resource=resource,
            decided_by=decided_by,
            ip=self.ip,
            evaluation_id=evaluation_id,
            session_id=self.session_id,
        )
        self.audit.append(entry)

    # -- call-site forms -----------------------------------------------------

    @contextlib.contextmanager
    def action(
        self, action: str, *, resource: Optional[str] = None, params: Optional[Mapping[str, Any]] = None
    ) -> Iterator["_engine.PermitToken"]:
        """``with guard.action("x") as permit:`` runs the block only when permitted."""
        yield self.check(action, resource=resource, params=params)

    @contextlib.asynccontextmanager
    async def async_action(
        self, action: str, *, resource: Optional[str] = None, params: Optional[Mapping[str, Any]] = None
    ) -> AsyncIterator["_engine.PermitToken"]:
        """``async with guard.async_action("x") as permit:``."""
        yield self.check(action, resource=resource, params=params)

    def protect(
        self,
        action: Optional[str] = None,
        *,
        resource: Union[None, str, Callable[..., Optional[str]]] = None,
        params: ParamSpecifier = None,
        permit_arg: Optional[str] = "permit",
    ) -> Callable[[F], F]:
        """Decorator guarding a plain or ``async def`` function.

        ``action`` defaults to the function's name. ``params`` is a list of
        argument names whose values become action parameters, or a callable
        receiving the call's arguments and returning the parameters.
        ``resource`` is a fixed text or such a callable. If the function
        accepts an argument named ``permit_arg`` (default ``permit``), the
        PermitToken is passed in it.
        """

        def decorate(func: F) -> F:
            name = action or func.__name__
            signature = inspect.signature(func)
            wants_permit = permit_arg is not None and permit_arg in signature.parameters

            def decide(args: Sequence[Any], kwargs: Dict[str, Any]) -> Dict[str, Any]:
                call_params = _call_params(signature, params, permit_arg, args, kwargs)
                call_resource = resource(*args, **kwargs) if callable(resource) else resource
                token = self.check(name, resource=call_resource, params=call_params)
                if wants_permit:
                    kwargs = dict(kwargs)
                    kwargs[cast(str, permit_arg)] = token
                return kwargs

            if inspect.iscoroutinefunction(func):

                @functools.wraps(func)
                async def async_wrapper(*args: Any, **kwargs: Any) -> Any:
                    kwargs = decide(args, kwargs)
                    return await cast(Callable[..., Awaitable[Any]], func)(*args, **kwargs)

                return cast(F, async_wrapper)

            @functools.wraps(func)
            def wrapper(*args: Any, **kwargs: Any) -> Any:
                kwargs = decide(args, kwargs)
                return func(*args, **kwargs)

            return cast(F, wrapper)

        return decorate


def _call_params(
    signature: inspect.Signature,
    spec: ParamSpecifier,
    permit_arg: Optional[str],
    args: Sequence[Any],
    kwargs: Mapping[str, Any],
) -> Optional[Dict[str, Any]]:
    if spec is None:
        return None
    if callable(spec):
        return dict(spec(*args, **kwargs))
    visible = {k: v for k, v in kwargs.items() if k != permit_arg}
    bound = signature.bind_partial(*args, **visible)
    bound.apply_defaults()
    return {name: bound.arguments[name] for name in spec if name in bound.arguments and bound.arguments[name] is not None}
