#!/usr/bin/python3
"""A small HTTP update server for the network tests.

Serves the files below --root to requests that carry the configured Basic credentials
(401 otherwise); a missing file is answered with 404 and the bytes of <root>/404.body, so
that the client's handling of error bodies can be seen. Every request is recorded as one
line "<raw path>\t<hex of the decoded credentials, or ->\t<status>", appended to --log and
served, without credentials and without being recorded, at /__requests. With --tls-cert
and --tls-key it speaks HTTPS.
"""

import argparse
import base64
import binascii
import http.server
import os
import posixpath
import ssl
import urllib.parse

REQUEST_LOG_PATH = "/__requests"


def make_handler(root, expected_credentials, log_path):
    recorded = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def log_message(self, format, *args):  # keep the test output quiet
            pass

        def send_body(self, status, body, extra_headers=()):
            self.send_response(status)
            for name, value in extra_headers:
                self.send_header(name, value)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def credentials(self):
            header = self.headers.get("Authorization", "")
            scheme, _, encoded = header.partition(" ")
            if scheme.lower() != "basic":
                return None
            try:
                return base64.b64decode(encoded.strip(), validate=True)
            except (binascii.Error, ValueError):
                return b"<undecodable>"

        def file_for(self, raw_path):
            # Repeated slashes are one separator for the lookup; the raw path is what is logged.
            path = urllib.parse.unquote_to_bytes(raw_path.split("?", 1)[0]).decode("latin-1")
            normalised = posixpath.normpath("/" + path.lstrip("/"))
            candidate = os.path.join(root, normalised.lstrip("/"))
            inside = os.path.realpath(candidate).startswith(os.path.realpath(root) + os.sep)
            return candidate if inside and os.path.isfile(candidate) else None

        def raw_path(self):
            # self.path has a leading "//" folded into "/" by http.server; the request line
            # keeps what the client sent.
            parts = self.requestline.split(" ")
            return parts[1] if len(parts) >= 2 else self.path

        def record(self, credentials, status):
            line = "%s\t%s\t%d\n" % (self.raw_path(), "-" if credentials is None else credentials.hex(), status)
            recorded.append(line)
            with open(log_path, "a", encoding="latin-1") as log:
                log.write(line)

        def do_GET(self):
            if self.path == REQUEST_LOG_PATH:
                self.send_body(200, "".join(recorded).encode("latin-1"))
                return
            credentials = self.credentials()
            if credentials != expected_credentials:
                self.record(credentials, 401)
                self.send_body(401, b"unauthorised", [("WWW-Authenticate", 'Basic realm="updates"')])
                return
            found = self.file_for(self.raw_path())
            if found is None:
                missing_body = os.path.join(root, "404.body")
                body = open(missing_body, "rb").read() if os.path.isfile(missing_body) else b"not found"
                self.record(credentials, 404)
                self.send_body(404, body)
                return
            with open(found, "rb") as served:
                body = served.read()
            self.record(credentials, 200)
            self.send_body(200, body)

    return Handler


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password-hex", required=True, help="the password's bytes, in hex")
    parser.add_argument("--log", required=True)
    parser.add_argument("--tls-cert", help="PEM certificate chain; HTTPS when given")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    args = parser.parse_args()
    expected = args.user.encode("latin-1") + b":" + bytes.fromhex(args.password_hex)
    server = http.server.HTTPServer(("127.0.0.1", args.port), make_handler(args.root, expected, args.log))
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
