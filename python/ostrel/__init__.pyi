# Type stubs for the classes re-exported from the compiled engine.
from typing import Any, Mapping, Optional, Sequence, Tuple, Union
import os

__version__: str

_Invariant = Tuple[str, str, float]

class Gate:
    def __new__(
        cls,
        policy_toml: str,
        invariants: Sequence[_Invariant] = ...,
        observe_only: bool = False,
        max_session_actions: Optional[int] = None,
        enable_drift: bool = True,
        token_signer: Optional[Any] = None,
        geo_drift_max_km: Optional[float] = None,
        rate_store: Optional[Any] = None,
        broadcaster: Optional[Any] = None,
    ) -> "Gate": ...
    @staticmethod
    def from_dict(
        policies: Mapping[str, Any],
        invariants: Sequence[_Invariant] = ...,
        observe_only: bool = False,
        max_session_actions: Optional[int] = None,
        enable_drift: bool = True,
        token_signer: Optional[Any] = None,
        geo_drift_max_km: Optional[float] = None,
        rate_store: Optional[Any] = None,
        broadcaster: Optional[Any] = None,
    ) -> "Gate": ...
    @staticmethod
    def from_json_string(
        json_string: str,
        invariants: Sequence[_Invariant] = ...,
        observe_only: bool = False,
        max_session_actions: Optional[int] = None,
        enable_drift: bool = True,
        token_signer: Optional[Any] = None,
        geo_drift_max_km: Optional[float] = None,
        rate_store: Optional[Any] = None,
        broadcaster: Optional[Any] = None,
    ) -> "Gate": ...
    @staticmethod
    def from_json_file(
        path: Union[str, "os.PathLike[str]"],
        invariants: Sequence[_Invariant] = ...,
        observe_only: bool = False,
        max_session_actions: Optional[int] = None,
        enable_drift: bool = True,
        token_signer: Optional[Any] = None,
        geo_drift_max_km: Optional[float] = None,
        rate_store: Optional[Any] = None,
        broadcaster: Optional[Any] = None,
    ) -> "Gate": ...
    @property
    def evaluator_count(self) -> int: ...
    def evaluate(self, ctx: "ActionContext") -> "Verdict": ...
    def reload(self, policy_toml: str) -> None: ...

class ActionContext:
    def __new__(
        cls,
        principal_id: str,
        principal_kind: str,
        action_name: str,
        roles: Sequence[str] = ...,
        resource: Optional[str] = None,
        params: Optional[Mapping[str, float]] = None,
        ip: Optional[str] = None,
        session_id: Optional[str] = None,
        current_geo: Optional["GeoLocation"] = None,
        origin_geo: Optional["GeoLocation"] = None,
        origin_ip: Optional[str] = None,
        device: Optional["DeviceFingerprint"] = None,
        origin_device: Optional["DeviceFingerprint"] = None,
        session_started_at: Optional[int] = None,
        action_count: Optional[int] = None,
    ) -> "ActionContext": ...
    def with_param(self, key: str, value: Any) -> None: ...

class GeoLocation:
    def __new__(
        cls,
        country_code: str,
        region: Optional[str] = None,
        city: Optional[str] = None,
        latitude: Optional[float] = None,
        longitude: Optional[float] = None,
    ) -> "GeoLocation": ...
    @property
    def country_code(self) -> str: ...
    @property
    def region(self) -> Optional[str]: ...
    @property
    def city(self) -> Optional[str]: ...
    @property
    def latitude(self) -> Optional[float]: ...
    @property
    def longitude(self) -> Optional[float]: ...
    def distance_km(self, other: "GeoLocation") -> Optional[float]: ...

class DeviceFingerprint:
    def __new__(cls, hash: str, description: Optional[str] = None) -> "DeviceFingerprint": ...
    @property
    def hash(self) -> str: ...
    @property
    def description(self) -> Optional[str]: ...

class Verdict:
    @property
    def kind(self) -> str: ...
    @property
    def evaluator(self) -> Optional[str]: ...
    @property
    def reason(self) -> Optional[str]: ...
    @property
    def code(self) -> Optional[str]: ...
    @property
    def token_id(self) -> Optional[str]: ...
    @property
    def is_permit(self) -> bool: ...
    @property
    def is_refuse(self) -> bool: ...
    @property
    def is_invalidate(self) -> bool: ...
    @property
    def permit_token(self) -> Optional["PermitToken"]: ...
    @property
    def signature(self) -> Optional[bytes]: ...

class PermitToken:
    def __new__(
        cls,
        token_id: str,
        evaluation_id: str,
        issued_at: int,
        expires_at: int,
        action_name: str,
        signature: Optional[Union[bytes, bytearray, Sequence[int]]] = None,
    ) -> "PermitToken": ...
    @property
    def token_id(self) -> str: ...
    @property
    def evaluation_id(self) -> str: ...
    @property
    def issued_at(self) -> int: ...
    @property
    def expires_at(self) -> int: ...
    @property
    def action_name(self) -> str: ...
    @property
    def signature(self) -> Optional[bytes]: ...
    def canonical_bytes(self) -> bytes: ...
