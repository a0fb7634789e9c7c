"""A downstream service that accepts only calls carrying a valid permit.

The gate signs each permit; this service trusts no caller, only signatures
that resolve through a root-signed key directory. It listens on loopback and
answers ``POST /verify`` with a JSON body holding the token's wire fields:

    {"token_id": ..., "evaluation_id": ..., "issued_at": ..., "expires_at": ...,
     "action_name": ..., "signature": "<base64 of the signature envelope>"}

Run against files made with the command line:

    ostrel keygen root.key --bundle-out root.json
    ostrel keygen gate.key --bundle-out gate.json
    ostrel directory sign --root root.key gate.json -o directory.json
    python3 examples/verifier_service.py --directory directory.json --root-bundle root.json --port 8750

or let it play both sides once on a free loopback port:

    PYTHONPATH=build/python python3 examples/verifier_service.py --self-test
"""

import argparse
import base64
import json
import pathlib
import sys
import tempfile
import threading
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import ostrel


def make_handler(verifier: ostrel.DirectoryTokenVerifier, directory: ostrel.PublicKeyDirectory):
    class Handler(BaseHTTPRequestHandler):
        def _answer(self, status: int, body: dict) -> None:
            data = json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_POST(self) -> None:  # noqa: N802 - the http.server naming
            if self.path == "/reload":
                try:
                    directory.reload()
                except ValueError as exc:
                    return self._answer(500, {"reloaded": False, "error": str(exc)})
                return self._answer(200, {"reloaded": True, "keys": len(directory)})
            if self.path != "/verify":
                return self._answer(404, {"error": "unknown path"})
            try:
                length = int(self.headers.get("Content-Length", "0"))
                wire = json.loads(self.rfile.read(min(length, 1 << 20)))
                token = ostrel.PermitToken(
                    wire["token_id"], wire["evaluation_id"], int(wire["issued_at"]), int(wire["expires_at"]),
                    wire["action_name"], base64.b64decode(wire["signature"], validate=True),
                )
            except (ValueError, KeyError, TypeError) as exc:
                return self._answer(400, {"valid": False, "error": f"bad request: {exc}"})
            try:
                verifier.verify(token, token.signature)  # fail closed: any doubt raises
            except ValueError as exc:
                return self._answer(403, {"valid": False, "error": str(exc)})
            return self._answer(200, {"valid": True, "action": token.action_name, "token_id": token.token_id})

        def log_message(self, fmt: str, *args) -> None:
            sys.stderr.write("verifier: " + fmt % args + "\n")

    return Handler


def serve(directory_path: str, root_bundle_path: str, port: int) -> ThreadingHTTPServer:
    root = ostrel.PublicKeyBundle.from_json(pathlib.Path(root_bundle_path).read_text())
    directory = ostrel.PublicKeyDirectory.from_signed_file(directory_path, root.ml_dsa_verifying_key)
    verifier = ostrel.DirectoryTokenVerifier(directory, hybrid=True)
    return ThreadingHTTPServer(("127.0.0.1", port), make_handler(verifier, directory))


def wire_fields(token: ostrel.PermitToken) -> dict:
    return {
        "token_id": token.token_id, "evaluation_id": token.evaluation_id, "issued_at": token.issued_at,
        "expires_at": token.expires_at, "action_name": token.action_name,
        "signature": base64.b64encode(token.signature or b"").decode(),
    }


def post(url: str, body: dict) -> tuple:
    request = urllib.request.Request(url, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as err:
        return err.code, json.loads(err.read())


def self_test() -> int:
    work = pathlib.Path(tempfile.mkdtemp(prefix="verifier-"))
    root, gate_key = ostrel.OstrelKeyPair.generate(), ostrel.OstrelKeyPair.generate()
    (work / "root.json").write_text(root.public_keys().to_json())
    (work / "directory.json").write_bytes(root.build_signed_manifest([gate_key.public_keys()]))

    server = serve(str(work / "directory.json"), str(work / "root.json"), 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/verify"
    try:
        gate = ostrel.Gate('[[policy]]\nname = "all"\neffect = "permit"\nconditions = []\n',
                           token_signer=ostrel.PqTokenSigner.from_keypair_hybrid(gate_key))
        token = gate.evaluate(ostrel.ActionContext("svc", "service", "orders.read")).permit_token
        print("genuine permit     ", *post(url, wire_fields(token)))
        forged = dict(wire_fields(token), action_name="orders.delete")
        print("renamed action     ", *post(url, forged))
        stranger = ostrel.Gate('[[policy]]\nname = "all"\neffect = "permit"\nconditions = []\n',
                               token_signer=ostrel.PqTokenSigner.generate_hybrid())
        other = stranger.evaluate(ostrel.ActionContext("svc", "service", "orders.read")).permit_token
        print("unknown signer     ", *post(url, wire_fields(other)))
    finally:
        server.shutdown()
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description="Verify permit tokens for a downstream service.")
    parser.add_argument("--directory", help="root-signed directory manifest")
    parser.add_argument("--root-bundle", help="the root authority's public bundle JSON")
    parser.add_argument("--port", type=int, default=8750)
    parser.add_argument("--self-test", action="store_true", help="issue and verify a few tokens, then exit")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    if not (args.directory and args.root_bundle):
        parser.error("--directory and --root-bundle are required (or --self-test)")
    server = serve(args.directory, args.root_bundle, args.port)
    print(f"verifying permits on http://127.0.0.1:{args.port}/verify (POST /reload re-reads the directory)")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
