#!/usr/bin/python3
"""Test server of a site's remote backup API (XML-RPC over HTTP or HTTPS), standard library only.

Started by the test fixtures on 127.0.0.1. It binds a free port (or --port), writes the port
number to --port-file, serves until killed, and appends every request it receives (HTTP method,
path, protocol version, headers in order, body, XML-RPC method name) as one JSON line to
--requests, before answering it, so tests can check exactly what was sent.

Remote methods: keltro.getAPI, keltro.getFilename, keltro.getBackups, keltro.getParts,
keltro.getProfiles, keltro.startBackup, keltro.continueBackup. Every method but getAPI takes the
user name and password as its first two parameters; a mismatch is a fault.

Quirks, each a switch (METHOD is a full method name, K counts calls of that method from 1):
  --fault METHOD:CODE:MESSAGE     answer every call of METHOD with a fault
  --error-at K[:TEXT]             the K-th continueBackup reply carries an Error member
  --drop METHOD[:K]               close the connection without an answer (default: first call)
  --slow METHOD:K:SECONDS         wait before answering the K-th call of METHOD
  --prefix TEXT                   text printed ahead of the XML declaration of every reply
  --empty-style STYLE             how empty string members are written: string (default,
                                  <value><string></string></value>), value (<value></value>),
                                  nil (<value><string></nil></string></value>), blank
                                  (<value><string> </string></value>)
  --reply METHOD=FILE             answer METHOD with the raw bytes of FILE
  --status CODE                   answer every request with that HTTP status
  --redirect-from PATH            answer requests to PATH with 302 to --path
  --encoding NAME                 declare and use this encoding in replies
  --get PATH=FILE                 answer a GET of PATH (with its query) with the raw bytes of FILE

A GET of --path is answered with an XML-RPC fault document, as a real endpoint answers a browser;
a GET of any other path with a small HTML page.
"""

import argparse
import html
import json
import os
import ssl
import sys
import threading
import time
import xmlrpc.client
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BASE_NAME = "site-www.example.com-20240301-101500"

# What a backup engine reports on its way: (Domain, Step, Substep).
STEP_TEXTS = [
    ("installer", "Backing up installer files", "Adding installation/index.php"),
    ("PackDB", "Backing up database", "Dumping table #__content"),
    ("PackDB", "Backing up database", "Dumping table #__users"),
    ("Packing", "Backing up files", "Adding administrator/components"),
    ("Packing", "Backing up files", "Adding images/banners"),
    ("Packing", "Backing up files", "Adding media/system"),
    ("finale", "Finalizing the backup process", "Writing the archive's central directory"),
]


class Fault(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code
        self.message = message


class Empty:
    """An empty string member, written in the style the server was told to use."""


def escape(text):
    return html.escape(text, quote=False)


def encode_value(value, empty_style):
    if isinstance(value, Empty) or value == "":
        return {
            "string": "<value><string></string></value>",
            "value": "<value></value>",
            "nil": "<value><string></nil></string></value>",
            "blank": "<value><string> </string></value>",
        }[empty_style]
    if isinstance(value, bool):
        return "<value><boolean>%d</boolean></value>" % (1 if value else 0)
    if isinstance(value, int):
        return "<value><int>%d</int></value>" % value
    if isinstance(value, str):
        return "<value><string>%s</string></value>" % escape(value)
    if isinstance(value, dict):
        members = "".join(
            "<member><name>%s</name>\n%s\n</member>\n" % (escape(k), encode_value(v, empty_style))
            for k, v in value.items())
        return "<value><struct>\n%s</struct></value>" % members
    if isinstance(value, (list, tuple)):
        items = "".join(encode_value(v, empty_style) + "\n" for v in value)
        return "<value><array>\n<data>\n%s</data>\n</array></value>" % items
    raise TypeError("cannot encode %r" % (value,))


class Backend:
    """The state of the remote backup engine, shared by the request threads."""

    def __init__(self, options):
        self.options = options
        self.lock = threading.Lock()
        self.calls = {}
        self.step = 0

    def count(self, method):
        with self.lock:
            self.calls[method] = self.calls.get(method, 0) + 1
            return self.calls[method]

    def check_login(self, params):
        if len(params) < 2 or params[0] != self.options.user or params[1] != self.options.password:
            raise Fault(403, "Authentication failed: wrong user name or password")

    def step_reply(self, finished, domain, step, substep, error="", warnings=""):
        return {"IsFinished": finished, "Domain": domain, "Step": step, "Substep": substep,
                "Error": error, "Warnings": warnings}

    def call(self, method, params):
        if method == "keltro.getAPI":
            return self.options.api_version
        self.check_login(params)
        if method == "keltro.getFilename":
            return BASE_NAME + ".kta"
        if method == "keltro.getParts":
            base = BASE_NAME
            if len(params) >= 4:
                base = "site-www.example.com-backup-%d" % params[3]
            count = self.options.parts
            return ["%s.k%02d" % (base, i) for i in range(1, count)] + [base + ".kta"]
        if method == "keltro.getProfiles":
            return [{"id": 1, "description": "Default Backup Profile"},
                    {"id": 2, "description": "Database only"}]
        if method == "keltro.getBackups":
            records = []
            for i in range(self.options.backups):
                number = self.options.backups - i
                records.append({
                    "id": number,
                    "description": "Backup taken on %d March 2024" % (1 + i % 28),
                    "backupstart": "2024-03-%02d 10:%02d:%02d" % (1 + i % 28, i % 60, (7 * i) % 60),
                    "status": "complete",
                    "origin": "backend" if i % 2 else "remote",
                    "type": ["full", "dbonly", "extradbonly"][i % 3],
                    "meta": ["ok", "obsolete", "ok", "fail"][i % 4],
                    "profile": 1,
                    "archivename": "site-www.example.com-backup-%d.kta" % number,
                })
            return records
        if method == "keltro.startBackup":
            with self.lock:
                self.step = 0
            return self.step_reply(self.options.steps == 0, "init",
                                   "Initialising the backup engine", Empty(), Empty(), Empty())
        if method == "keltro.continueBackup":
            with self.lock:
                self.step += 1
                step = self.step
            error = Empty()
            if self.options.error_at and step == self.options.error_at[0]:
                error = self.options.error_at[1]
            if step >= self.options.steps:
                return self.step_reply(True, "finale", "Backup finished", Empty(), error, Empty())
            domain, text, subtext = STEP_TEXTS[(step - 1) % len(STEP_TEXTS)]
            return self.step_reply(False, domain, text, subtext, error, Empty())
        raise Fault(-32601, "Unknown method %s" % method)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "KeltroTestServer/1.0"

    def log_message(self, fmt, *args):
        sys.stderr.write("%s\n" % (fmt % args))

    def record(self, body, method):
        entry = {"method": self.command, "path": self.path, "version": self.request_version,
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "body_hex": body.hex(), "call": method}
        with self.server.record_lock:
            if self.server.options.requests:
                with open(self.server.options.requests, "a", encoding="utf-8") as out:
                    out.write(json.dumps(entry) + "\n")

    def reply(self, status, body, content_type="text/xml"):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def document(self, inner):
        options = self.server.options
        if options.encoding:
            declaration = '<?xml version="1.0" encoding="%s"?>' % options.encoding
            codec = options.encoding
        else:
            declaration = '<?xml version="1.0"?>'
            codec = "utf-8"
        text = options.prefix + declaration + "\n<methodResponse>\n" + inner + "</methodResponse>\n"
        return text.encode(codec)

    def do_GET(self):
        self.record(b"", None)
        options = self.server.options
        for canned in options.get:
            path, _, name = canned.partition("=")
            if path == self.path:
                with open(name, "rb") as f:
                    self.reply(200, f.read(), "text/html")
                return
        if self.path == options.path:
            inner = "<fault>\n%s\n</fault>\n" % encode_value(
                {"faultCode": -32700, "faultString": "XML-RPC server accepts POST requests only."},
                "string")
            self.reply(200, self.document(inner))
            return
        self.reply(200, b"<html><body>Keltro test server</body></html>", "text/html")

    def do_POST(self):
        options = self.server.options
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length > 0 else b""
        method, params = None, ()
        try:
            params, method = xmlrpc.client.loads(body.decode("latin-1"))
        except Exception:  # an unreadable call is answered with a fault below
            pass
        self.record(body, method)

        if options.redirect_from and self.path == options.redirect_from:
            self.send_response(302)
            self.send_header("Location", options.path)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if options.status:
            self.reply(options.status, b"<html><body>Server error</body></html>", "text/html")
            return

        number = self.server.backend.count(method) if method else 0
        for drop in options.drop:
            name, _, k = drop.partition(":")
            if name == method and number == int(k or "1"):
                self.close_connection = True
                return  # nothing is written: the client sees the connection close
        for slow in options.slow:
            name, k, seconds = slow.split(":")
            if name == method and number == int(k):
                time.sleep(float(seconds))
        for canned in options.reply:
            name, _, path = canned.partition("=")
            if name == method:
                with open(path, "rb") as f:
                    self.reply(200, f.read())
                return

        try:
            if method is None:
                raise Fault(-32700, "Parse error: not a method call")
            for fault in options.fault:
                name, code, message = fault.split(":", 2)
                if name == method:
                    raise Fault(int(code), message)
            result = self.server.backend.call(method, params)
            inner = "<params>\n<param>\n%s\n</param>\n</params>\n" % encode_value(
                result, options.empty_style)
        except Fault as fault:
            inner = "<fault>\n%s\n</fault>\n" % encode_value(
                {"faultCode": fault.code, "faultString": fault.message}, "string")
        self.reply(200, self.document(inner))


class Server(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, options):
        super().__init__(("127.0.0.1", options.port), Handler)
        self.options = options
        self.backend = Backend(options)
        self.record_lock = threading.Lock()
        self.tls = None
        if options.cert:
            self.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.tls.load_cert_chain(options.cert, options.key)

    def finish_request(self, request, client_address):
        # The handshake runs on the request's own thread, so a client that turns the
        # certificate down cannot hold up the others.
        request.settimeout(30)
        try:
            if self.tls:
                request = self.tls.wrap_socket(request, server_side=True)
            self.RequestHandlerClass(request, client_address, self)
        except (ssl.SSLError, OSError) as error:
            sys.stderr.write("connection ended: %s\n" % error)
        finally:
            try:
                request.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        sys.stderr.write("request from %s failed\n" % (client_address,))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--requests")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--path", default="/remote/index.php")
    parser.add_argument("--user", default="admin")
    parser.add_argument("--password", default="s3cret")
    parser.add_argument("--api-version", default="2.1")
    parser.add_argument("--steps", type=int, default=3)
    parser.add_argument("--parts", type=int, default=3)
    parser.add_argument("--backups", type=int, default=3)
    parser.add_argument("--fault", action="append", default=[])
    parser.add_argument("--error-at")
    parser.add_argument("--drop", action="append", default=[])
    parser.add_argument("--slow", action="append", default=[])
    parser.add_argument("--prefix", default="")
    parser.add_argument("--empty-style", default="string",
                        choices=["string", "value", "nil", "blank"])
    parser.add_argument("--reply", action="append", default=[])
    parser.add_argument("--status", type=int, default=0)
    parser.add_argument("--redirect-from")
    parser.add_argument("--encoding")
    parser.add_argument("--get", action="append", default=[])
    options = parser.parse_args()
    if options.error_at:
        k, _, text = options.error_at.partition(":")
        options.error_at = (int(k), text or "Could not open the archive for writing")

    server = Server(options)
    temporary = options.port_file + ".tmp"
    with open(temporary, "w") as out:
        out.write(str(server.server_address[1]))
    os.replace(temporary, options.port_file)
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
