"""The ``ostrel`` command line: the operator's jobs around the gate.

Exit status: 0 success, 1 a failed check (or unreadable / rejected input,
reported in one line on standard error), 2 a usage error.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, List, NoReturn, Optional, Sequence

from ._util import format_unix, parse_duration_secs, write_atomically

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

# Audit files above this size get a progress bar when standard error is a terminal.
PROGRESS_THRESHOLD_BYTES = 4 * 1024 * 1024


class CliError(Exception):
    """A failure reported as one line on standard error with exit status 1."""


class UsageError(Exception):
    """A bad argument value, reported like argparse does with exit status 2."""


def _engine() -> Any:
    try:
        import _ostrel_engine
    except ImportError as exc:  # the package without its compiled engine
        raise CliError(f"cannot import the engine module _ostrel_engine: {exc}") from None
    return _ostrel_engine


def _read_bytes(path: str, what: str) -> bytes:
    try:
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as exc:
        raise CliError(f"cannot read {what} {path!r}: {exc.strerror or exc}") from None


def _read_text(path: str, what: str) -> str:
    data = _read_bytes(path, what)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CliError(f"{what} {path!r} is not UTF-8 text: {exc}") from None


def _write_out(path: str, data: bytes, what: str) -> None:
    try:
        write_atomically(path, data)
    except OSError as exc:
        raise CliError(f"cannot write {what} {path!r}: {exc.strerror or exc}") from None


def _print_json(value: Any) -> None:
    print(json.dumps(value, indent=2, sort_keys=False))


def _load_keypair(path: str) -> Any:
    engine = _engine()
    if not os.path.exists(path):
        raise CliError(f"key file {path!r} does not exist")
    try:
        return engine.OstrelKeyPair.load_from_file(path)
    except ValueError as exc:
        raise CliError(str(exc)) from None


def _load_bundle(path: str) -> Any:
    engine = _engine()
    text = _read_text(path, "bundle file")
    try:
        return engine.PublicKeyBundle.from_json(text)
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None


def _bundles_from_file(path: str) -> List[Any]:
    """A bundle JSON file holds one bundle object, or an array of them (the
    unsigned directory format)."""
    engine = _engine()
    text = _read_text(path, "bundle file")
    try:
        value = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"{path}: not JSON: {exc}") from None
    items = value if isinstance(value, list) else [value]
    bundles = []
    for item in items:
        try:
            bundles.append(engine.PublicKeyBundle.from_json(json.dumps(item, separators=(",", ":"))))
        except ValueError as exc:
            raise CliError(f"{path}: {exc}") from None
    return bundles


def _bundle_summary(bundle: Any) -> Dict[str, Any]:
    return {
        "id": bundle.id,
        "created_at": format_unix(bundle.created_at),
        "expires_at": None if bundle.expires_at is None else format_unix(bundle.expires_at),
    }


# --- keygen / bundle ---------------------------------------------------------


def cmd_keygen(args: argparse.Namespace) -> int:
    engine = _engine()
    if os.path.exists(args.path) and not args.force:
        raise CliError(f"{args.path!r} already exists; pass --force to replace it")
    if args.expires_in is None:
        keypair = engine.OstrelKeyPair.generate()
    else:
        seconds = parse_duration_secs(args.expires_in)
        if seconds is None or seconds == 0:
            raise UsageError(f"--expires-in: {args.expires_in!r} is not a positive duration (e.g. 90d, 12h, 30m, 45s)")
        try:
            keypair = engine.OstrelKeyPair.generate_with_expiry(seconds)
        except (ValueError, RuntimeError, OverflowError) as exc:
            raise UsageError(f"--expires-in: {exc}") from None
    try:
        keypair.save_to_file(args.path)
        os.chmod(args.path, 0o600)
    except (RuntimeError, OSError) as exc:
        raise CliError(str(exc)) from None
    bundle_json = keypair.public_keys().to_json()
    if args.bundle_out:
        _write_out(args.bundle_out, (bundle_json + "\n").encode(), "bundle")
    print(bundle_json)
    expiry = format_unix(keypair.expires_at)
    print(f"wrote key {keypair.id} to {args.path} (mode 0600, expires: {expiry})", file=sys.stderr)
    return EXIT_OK


def cmd_bundle(args: argparse.Namespace) -> int:
    bundle = _load_keypair(args.keyfile).public_keys()
    if args.blob:
        data = bundle.to_bytes()
        if args.output:
            _write_out(args.output, data, "bundle")
        elif sys.stdout.isatty():
            raise UsageError("--blob writes binary data; redirect standard output or pass -o FILE")
        else:
            sys.stdout.buffer.write(data)
            sys.stdout.flush()
        return EXIT_OK
    text = bundle.to_json()
    if args.output:
        _write_out(args.output, (text + "\n").encode(), "bundle")
    else:
        print(text)
    return EXIT_OK


# --- directory ----------------------------------------------------------------


def cmd_directory_sign(args: argparse.Namespace) -> int:
    root = _load_keypair(args.root)
    bundles: List[Any] = []
    for path in args.bundles:
        bundles.extend(_bundles_from_file(path))
    ids = [b.id for b in bundles]
    duplicates = sorted({i for i in ids if ids.count(i) > 1})
    if duplicates:
        raise CliError("duplicate key ids (a directory keeps only the last): " + ", ".join(duplicates))
    try:
        manifest = root.build_signed_manifest(bundles)
    except RuntimeError as exc:
        raise CliError(str(exc)) from None
    _write_out(args.output, manifest, "manifest")
    if args.json:
        _print_json({"manifest": args.output, "root_key_id": root.id, "keys": ids})
    else:
        print(f"signed {len(bundles)} bundle(s) into {args.output} with root key {root.id}")
    return EXIT_OK


def cmd_directory_check(args: argparse.Namespace) -> int:
    engine = _engine()
    root = _load_bundle(args.root_bundle)
    if not os.path.exists(args.manifest):
        raise CliError(f"manifest {args.manifest!r} does not exist")
    try:
        directory = engine.PublicKeyDirectory.from_signed_file(args.manifest, root.ml_dsa_verifying_key)
    except ValueError as exc:
        if args.json:
            _print_json({"ok": False, "error": str(exc)})
        print(f"{args.manifest}: FAILED: {exc}", file=sys.stderr)
        return EXIT_FAILED
    # The directory verified the root signature over the embedded bundle
    # array; read the key ids from it and resolve each through the directory.
    try:
        manifest = json.loads(_read_text(args.manifest, "manifest"))
        listed = [b["id"] for b in json.loads(manifest["bundles_json"])]
    except (ValueError, KeyError, TypeError) as exc:  # replaced since it was verified
        raise CliError(f"{args.manifest}: changed while being checked: {exc}") from None
    seen: List[str] = []
    for key_id in listed:
        if key_id not in seen:
            seen.append(key_id)
    import time

    now = int(time.time())
    keys = []
    for key_id in seen:
        bundle = directory.fetch(key_id)
        summary = _bundle_summary(bundle)
        summary["expired"] = bundle.expires_at is not None and bundle.expires_at <= now
        keys.append(summary)
    if args.json:
        _print_json({"ok": True, "manifest": args.manifest, "root_key_id": root.id, "keys": keys})
    else:
        print(f"{args.manifest}: root signature OK (root key {root.id}), {len(keys)} key(s)")
        for key in keys:
            note = "  EXPIRED" if key["expired"] else ""
            print(f"  {key['id']}  expires: {key['expires_at'] or 'never'}{note}")
    return EXIT_OK


# --- audit ---------------------------------------------------------------------


class _Progress:
    """A one-line progress bar on standard error, drawn only on a terminal."""

    def __init__(self, total: int, label: str, enabled: bool) -> None:
        self.total = max(total, 1)
        self.label = label
        self.enabled = enabled
        self.done = 0

    def advance(self, amount: int) -> None:
        if not self.enabled:
            return
        self.done += amount
        width = 30
        filled = min(width, width * self.done // self.total)
        percent = min(100, 100 * self.done // self.total)
        sys.stderr.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {percent:3d}%")
        sys.stderr.flush()

    def status(self, text: str) -> None:
        if self.enabled:
            sys.stderr.write(f"\r{text}\033[K")
            sys.stderr.flush()

    def close(self) -> None:
        if self.enabled:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def _read_with_progress(paths: Sequence[str], progress: _Progress) -> List[bytes]:
    segments = []
    for path in paths:
        chunks = []
        try:
            with open(path, "rb") as handle:
                while True:
                    block = handle.read(1 << 20)
                    if not block:
                        break
                    chunks.append(block)
                    progress.advance(len(block))
        except OSError as exc:
            progress.close()
            raise CliError(f"cannot read audit log {path!r}: {exc.strerror or exc}") from None
        segments.append(b"".join(chunks))
    return segments


def cmd_audit_verify(args: argparse.Namespace) -> int:
    engine = _engine()
    bundle = _load_bundle(args.bundle)
    paths = [args.file] + list(args.tail)
    sizes = []
    for path in paths:
        try:
            sizes.append(os.path.getsize(path))
        except OSError as exc:
            raise CliError(f"cannot read audit log {path!r}: {exc.strerror or exc}") from None
    total = sum(sizes)
    progress = _Progress(total, "reading", sys.stderr.isatty() and total >= PROGRESS_THRESHOLD_BYTES)
    segments = _read_with_progress(paths, progress)
    lines = sum(seg.count(b"\n") for seg in segments)
    progress.status(f"verifying {lines} signed entries ...")
    try:
        count = engine.SignedAuditChain.verify_jsonl_segments(segments, bundle, args.hybrid)
    except ValueError as exc:
        progress.close()
        if args.json:
            _print_json({"ok": False, "files": paths, "error": str(exc)})
        print(f"FAILED: {exc}", file=sys.stderr)
        return EXIT_FAILED
    progress.close()
    if args.json:
        _print_json({"ok": True, "files": paths, "entries": count, "key_id": bundle.id})
    else:
        mode = {None: "mode from the log", True: "hybrid", False: "pq-only"}[args.hybrid]
        print(f"OK: {count} entries verified ({mode}, key {bundle.id})")
    return EXIT_OK


# --- policy ----------------------------------------------------------------------


def _policy_format(path: str, text: str, forced: Optional[str]) -> str:
    if forced:
        return forced
    lower = path.lower()
    if lower.endswith(".json"):
        return "json"
    if lower.endswith(".toml"):
        return "toml"
    return "json" if text.lstrip().startswith("{") else "toml"


def _gate_from(path: str, fmt: Optional[str], **options: Any) -> Any:
    engine = _engine()
    text = _read_text(path, "policy file")
    kind = _policy_format(path, text, fmt)
    try:
        if kind == "json":
            return engine.Gate.from_json_string(text, **options)
        return engine.Gate(text, **options)
    except ValueError as exc:
        raise CliError(f"{path}: {exc}") from None


def cmd_policy_check(args: argparse.Namespace) -> int:
    from . import _policy_lint as lint

    text = _read_text(args.policy, "policy file")
    kind = _policy_format(args.policy, text, args.format)
    try:
        _gate_from(args.policy, kind, enable_drift=False)
    except CliError as exc:
        if args.json:
            _print_json({"ok": False, "format": kind, "error": str(exc), "policies": [], "findings": []})
        print(f"{exc}", file=sys.stderr)
        return EXIT_FAILED
    try:
        structure = lint.load_structure(text, kind)
        policies = lint.policies_in_order(structure)
    except Exception as exc:  # the gate read it; a second reader disagreeing is reported, not raised
        raise CliError(f"{args.policy}: read by the gate, but not by the linter: {exc}") from None
    findings = lint.lint(policies)
    if args.json:
        _print_json(
            {
                "ok": not findings,
                "format": kind,
                "policies": [p.as_dict() for p in policies],
                "findings": [f.as_dict() for f in findings],
            }
        )
    else:
        print(f"{args.policy}: {kind.upper()} read, {len(policies)} polic{'y' if len(policies) == 1 else 'ies'}"
              " in evaluation order (first match wins, default deny):")
        if not policies:
            print("  (none: every request is refused)")
        for position, policy in enumerate(policies, start=1):
            conds = "; ".join(lint.describe_condition(c) for c in policy.conditions) or "always"
            print(f"  {position:2d}. [{policy.priority}] {policy.effect:<6} {policy.name}  when {conds}")
        if findings:
            print(f"{len(findings)} problem(s):")
            for finding in findings:
                print(f"  #{finding.position} {finding.policy}: {finding.message}")
        else:
            print("no problems found")
    return EXIT_FAILED if findings else EXIT_OK


_CONTEXT_KEYS = {
    "principal_id", "principal_kind", "action_name", "roles", "resource", "params", "ip", "session_id",
    "current_geo", "origin_geo", "origin_ip", "device", "origin_device", "session_started_at", "action_count",
}


def build_context(request: Any, where: str) -> Any:
    """Builds an ActionContext from a JSON request object whose keys are the
    ActionContext keyword arguments; geo and device values are objects."""
    engine = _engine()
    if not isinstance(request, dict):
        raise CliError(f"{where}: the request must be a JSON object")
    unknown = sorted(set(request) - _CONTEXT_KEYS)
    if unknown:
        raise CliError(f"{where}: unknown key(s) {', '.join(unknown)}; expected some of {', '.join(sorted(_CONTEXT_KEYS))}")
    missing = [k for k in ("principal_id", "principal_kind", "action_name") if k not in request]
    if missing:
        raise CliError(f"{where}: missing key(s) {', '.join(missing)}")
    kwargs = dict(request)
    try:
        for key in ("current_geo", "origin_geo"):
            if kwargs.get(key) is not None:
                if not isinstance(kwargs[key], dict):
                    raise CliError(f"{where}: {key} must be an object with country_code, region, city, latitude, longitude")
                kwargs[key] = engine.GeoLocation(**kwargs[key])
        for key in ("device", "origin_device"):
            if kwargs.get(key) is not None:
                if not isinstance(kwargs[key], dict):
                    raise CliError(f"{where}: {key} must be an object with hash and description")
                kwargs[key] = engine.DeviceFingerprint(**kwargs[key])
        return engine.ActionContext(**kwargs)
    except (TypeError, ValueError, OverflowError) as exc:
        raise CliError(f"{where}: {exc}") from None


def _parse_invariant(text: str) -> Any:
    parts = text.split(":")
    if len(parts) != 3:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME:PARAM:MAX")
    try:
        return (parts[0], parts[1], float(parts[2]))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r}: MAX must be a number") from None


def verdict_dict(verdict: Any) -> Dict[str, Any]:
    token = verdict.permit_token
    return {
        "kind": verdict.kind,
        "evaluator": verdict.evaluator,
        "reason": verdict.reason,
        "code": verdict.code,
        "token_id": verdict.token_id,
        "signed": verdict.signature is not None,
        "expires_at": None if token is None else format_unix(token.expires_at),
    }


def verdict_line(verdict: Any) -> str:
    if verdict.is_permit:
        signed = "signed" if verdict.signature is not None else "unsigned"
        return f"PERMIT  token {verdict.token_id} ({signed})"
    if verdict.is_refuse:
        return f"REFUSE  [{verdict.code}] {verdict.evaluator}: {verdict.reason}"
    return f"INVALIDATE  {verdict.evaluator}: {verdict.reason}"


def cmd_policy_eval(args: argparse.Namespace) -> int:
    text = _read_text(args.request, "request file")
    try:
        request = json.loads(text)
    except json.JSONDecodeError as exc:
        raise CliError(f"{args.request}: not JSON: {exc}") from None
    context = build_context(request, args.request)
    options: Dict[str, Any] = {
        "observe_only": args.observe_only,
        "enable_drift": not args.no_drift,
        "invariants": list(args.invariant),
    }
    if args.max_session_actions is not None:
        options["max_session_actions"] = args.max_session_actions
    if args.geo_drift_max_km is not None:
        options["geo_drift_max_km"] = args.geo_drift_max_km
    gate = _gate_from(args.policy, args.format, **options)
    verdict = gate.evaluate(context)
    if args.json:
        _print_json(verdict_dict(verdict))
    else:
        print(verdict_line(verdict))
    return EXIT_OK if verdict.is_permit else EXIT_FAILED


# --- demo ------------------------------------------------------------------------


def cmd_demo(args: argparse.Namespace) -> int:
    from . import demo

    return demo.run(policy_path=args.policy, workdir=args.keep)


# --- parser ----------------------------------------------------------------------


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} must not be negative")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ostrel",
        description="Operator tools for the ostrel authorization gate: keys, signed key directories, "
        "audit-log verification, policy checks and a demo.",
        epilog="Exit status: 0 success, 1 a failed check or rejected input, 2 a usage error.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser("keygen", help="generate a key pair and write it to an owner-only key file",
                       description="Generate a hybrid post-quantum key pair (ML-DSA-65 + Ed25519, ML-KEM-768 + "
                       "X25519), write it to PATH with mode 0600 and print its public bundle JSON.")
    p.add_argument("path", metavar="PATH", help="key file to write")
    p.add_argument("--expires-in", metavar="DURATION", help="expiry from now: digits with unit d, h, m or s (e.g. 90d)")
    p.add_argument("--bundle-out", metavar="FILE", help="also write the public bundle JSON to FILE")
    p.add_argument("--force", action="store_true", help="replace an existing key file")
    p.set_defaults(func=cmd_keygen)

    p = sub.add_parser("bundle", help="print the public bundle of a key file",
                       description="Print the shareable public bundle of a key file as JSON, or as the binary blob.")
    p.add_argument("keyfile", metavar="KEYFILE")
    p.add_argument("--blob", action="store_true", help="write the binary bundle blob instead of JSON")
    p.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
    p.set_defaults(func=cmd_bundle)

    d = sub.add_parser("directory", help="build and check root-signed key directories",
                       description="Build and check root-signed public-key directory manifests.")
    dsub = d.add_subparsers(dest="directory_command", metavar="SUBCOMMAND")
    dsub.required = True
    p = dsub.add_parser("sign", help="sign bundles into a directory manifest",
                        description="Sign the given bundle JSON files (each one bundle or an array of bundles) into "
                        "a directory manifest with the root key.")
    p.add_argument("--root", required=True, metavar="KEYFILE", help="the root authority's key file")
    p.add_argument("bundles", nargs="+", metavar="BUNDLE.json")
    p.add_argument("-o", "--output", required=True, metavar="MANIFEST", help="manifest file to write")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(func=cmd_directory_sign)
    p = dsub.add_parser("check", help="verify a manifest against the root bundle and list its keys",
                        description="Load a signed directory manifest, verify its root signature and list the key "
                        "ids with their expiry. Exit status 1 when it does not verify.")
    p.add_argument("manifest", metavar="MANIFEST")
    p.add_argument("--root-bundle", required=True, metavar="ROOT.json", help="the root authority's public bundle")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(func=cmd_directory_check)

    a = sub.add_parser("audit", help="verify signed audit logs", description="Verify signed audit logs.")
    asub = a.add_subparsers(dest="audit_command", metavar="SUBCOMMAND")
    asub.required = True
    p = asub.add_parser("verify", help="verify a JSON Lines audit log and its tail segments",
                        description="Verify a JSON Lines audit log, optionally followed by tail segments, as one "
                        "chain from its first entry. Prints the number of entries verified, or the first failure "
                        "(exit status 1).")
    p.add_argument("file", metavar="FILE")
    p.add_argument("tail", nargs="*", metavar="TAIL", help="later segments, in order")
    p.add_argument("--bundle", required=True, metavar="BUNDLE.json", help="public bundle of the signing key")
    mode = p.add_mutually_exclusive_group()
    mode.add_argument("--hybrid", dest="hybrid", action="store_const", const=True, default=None,
                      help="require hybrid (ML-DSA + Ed25519) signatures")
    mode.add_argument("--pq-only", dest="hybrid", action="store_const", const=False,
                      help="require ML-DSA-only signatures")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(func=cmd_audit_verify)

    pol = sub.add_parser("policy", help="check and evaluate policy documents",
                         description="Check and evaluate policy documents.")
    psub = pol.add_subparsers(dest="policy_command", metavar="SUBCOMMAND")
    psub.required = True
    p = psub.add_parser("check", help="read a policy document and lint it",
                        description="Read a TOML or JSON policy document as the gate does (errors with positions), "
                        "then report what reading accepts but is almost surely wrong: malformed time windows, "
                        "unknown time zones, durations that silently fall back to a default, and policies shadowed "
                        "by an earlier catch-all. Lists the policies in evaluation order. Exit status 1 on any "
                        "problem.")
    p.add_argument("policy", metavar="POLICY")
    p.add_argument("--format", choices=("toml", "json"), help="document format (default: from the file name)")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(func=cmd_policy_check)
    p = psub.add_parser("eval", help="evaluate one request against a policy document",
                        description="Evaluate one request through a gate built from POLICY and print the verdict. "
                        "REQUEST.json is an object with the ActionContext arguments (principal_id, principal_kind, "
                        "action_name, roles, resource, params, ip, session_id, current_geo, origin_geo, origin_ip, "
                        "device, origin_device, session_started_at, action_count); geo and device values are "
                        "objects. Exit status 0 for a permit, 1 otherwise.")
    p.add_argument("policy", metavar="POLICY")
    p.add_argument("request", metavar="REQUEST.json")
    p.add_argument("--format", choices=("toml", "json"), help="policy format (default: from the file name)")
    p.add_argument("--observe-only", action="store_true", help="evaluate in observe-only mode (never blocks)")
    p.add_argument("--no-drift", action="store_true", help="build the gate without drift detection")
    p.add_argument("--invariant", action="append", default=[], type=_parse_invariant, metavar="NAME:PARAM:MAX",
                   help="a parameter ceiling (repeatable)")
    p.add_argument("--max-session-actions", type=_non_negative_int, metavar="N", help="cap on session.action_count")
    p.add_argument("--geo-drift-max-km", type=float, metavar="KM", help="tolerate address changes within KM")
    p.add_argument("--json", action="store_true", help="machine-readable output")
    p.set_defaults(func=cmd_policy_eval)

    p = sub.add_parser("demo", help="play an agent session against the gate (the main job)",
                       description="Play a realistic agent session against the in-memory defaults: signed permits "
                       "verified through a root-signed directory, refusals, a rate limit, a parameter ceiling, a "
                       "drift invalidation delivered to a listener, and a signed audit log on disk, verified at "
                       "the end.")
    p.add_argument("--policy", metavar="POLICY", help="policy file (default: examples/policies.toml)")
    p.add_argument("--keep", metavar="DIR", help="write keys and the audit log to DIR and keep them")
    p.set_defaults(func=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.func(args))
    except UsageError as exc:
        _usage_exit(parser, args, str(exc))
    except CliError as exc:
        print(f"ostrel: error: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except BrokenPipeError:
        return EXIT_OK
    except OSError as exc:
        print(f"ostrel: error: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("ostrel: interrupted", file=sys.stderr)
        return 130


def _usage_exit(parser: argparse.ArgumentParser, args: argparse.Namespace, message: str) -> NoReturn:
    print(f"usage: ostrel {args.command} ...\nostrel: error: {message}", file=sys.stderr)
    raise SystemExit(EXIT_USAGE)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
