#!/usr/bin/python3
"""update_server: a local stand-in for the firmware update server.

Answers the updater's five HTTP GET requests from a directory tree, so it
serves as an offline mirror (for a production line) and as the server of the
updater's tests, with switchable faults. With --tls CERT KEY it speaks HTTPS.

Tree layout (read afresh on every request; edit it while the server runs):

    ROOT/recovery            optional; lines "W0 W1 W2 W3 SERIAL BUILD"
                             (hexadecimal fingerprint words and serial,
                             decimal build; "#" starts a comment)
    ROOT/<SERIAL>/           one per device, 8 upper-case hex digits
    ROOT/<SERIAL>/<N>.bird   build N
    ROOT/<SERIAL>/latest     optional; names the newest build ("1200");
                             without it the highest number is the newest
    ROOT/<SERIAL>/firmware   optional; the firmware text of the build query;
                             without it, the model name of the newest build

Requests (query keys as the updater sends them) and replies (status 200):

    op=hi&rv=2                     "ok\\n"
    op=qu&sn=S                     "ok\\n<newest build>\\n<firmware text>\\n"
    op=bird&sn=S&bld=N&fw=F&no_cal=B
                                   "ok\\n<base64 of N.bird>\\n"
    op=builds&sn=S                 "ok\\n" then "<build>;<version>\\n" per build,
                                   ascending; the version is the information
                                   block's version text
    op=fix&fp=W0 W1 W2 W3&brief=B  "ok\\n<SERIAL %08X>\\n<BUILD decimal>\\n"

A request that cannot be answered gets status 200 with the single line
"error: <reason>" (unknown device, build or fingerprint, missing key); a
path other than the served one gets 404.

Module use (tests): parse_log_line(line) -> dict, parse_fault(text) -> Fault.
"""

import argparse
import base64
import hashlib
import http
import http.server
import json
import os
import re
import ssl
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import birdpack  # noqa: E402  (lives beside this file)
from toolutil import atomic_write, on_stop_signals  # noqa: E402

OPS = ("hi", "qu", "bird", "builds", "fix")
DEFAULT_PATH = "/cgi/u"

FAULT_HELP = """\
a fault is written [OP:]KIND[=ARG]; OP is hi, qu, bird, builds, fix or all
(default all: every request on the served path). Kinds:
  status=CODE       reply with this HTTP status (the normal body is kept;
                    3xx adds "Location: /moved")
  first-line[=TEXT] replace the first reply line (default "error: injected fault")
  garbage[=N]       replace the body with N bytes of binary garbage (default 64)
  empty             status 200 with an empty body
  crlf              CR LF line ends
  delay=SECONDS     wait before replying
  stall[=SECONDS]   read the request and never answer; the connection is
                    closed when the process ends (or after SECONDS,
                    default 3600)
  truncate[=N]      declare N more bytes in Content-Length than are sent,
                    then close (default 100)
  bad-base64[=MODE] GetBuild only, on an "ok" reply: drop (default; remove
                    the last base64 character), alphabet (four characters
                    outside the alphabet, length kept), bytes (valid base64 of
                    the file with one byte inverted in its middle)
Body faults apply in the order bad-base64, first-line, crlf, garbage, empty.
The faults file holds a JSON list of such texts; it is read on every request
(a missing file means no faults), so tests can switch faults while the server
runs.
"""

LOG_HELP = """\
log: one line per request, written when the request is read and its reply
decided (before any delay or stall):
  <time> method=<M> op=<op|-> status=<code|stall> faults=<fault,...|-> target=<T>
time is local ISO time with milliseconds; T is the request target exactly as
received (path and query; the updater's queries end with "&"). The line goes to
standard error (unless --quiet) and is appended to --log FILE, flushed per line.
"""


# ---------------------------------------------------------------------------
# Faults


class FaultError(ValueError):
    pass


class Fault:
    KINDS = ("status", "first-line", "garbage", "empty", "crlf", "delay", "stall",
             "truncate", "bad-base64")

    def __init__(self, op, kind, arg, text):
        self.op, self.kind, self.arg, self.text = op, kind, arg, text

    def applies(self, op):
        return self.op == "all" or self.op == op

    def __repr__(self):
        return "Fault(%r)" % self.text


def parse_fault(given):
    """A Fault from its text "[OP:]KIND[=ARG]"; raises FaultError."""
    body = given.strip()
    op = "all"
    if ":" in body.split("=", 1)[0]:
        op, body = body.split(":", 1)
    if op not in OPS + ("all",):
        raise FaultError("fault %r: unknown operation %r" % (given, op))
    kind, _, arg = body.partition("=")
    has_arg = "=" in body
    if kind not in Fault.KINDS:
        raise FaultError("fault %r: unknown kind %r" % (given, kind))
    try:
        if kind == "status":
            value = int(arg)
            if not 200 <= value <= 599:
                raise FaultError("fault %r: status must be 200..599" % given)
        elif kind == "first-line":
            value = arg if has_arg else "error: injected fault"
        elif kind == "garbage":
            value = int(arg) if has_arg else 64
        elif kind == "delay":
            value = float(arg)
        elif kind == "stall":
            value = float(arg) if has_arg else 3600.0
        elif kind == "truncate":
            value = int(arg) if has_arg else 100
            if value < 1:
                raise FaultError("fault %r: truncate needs N >= 1" % given)
        elif kind == "bad-base64":
            value = arg if has_arg else "drop"
            if value not in ("drop", "alphabet", "bytes"):
                raise FaultError("fault %r: mode must be drop, alphabet or bytes" % given)
            if op not in ("bird", "all"):
                raise FaultError("fault %r: bad-base64 applies to bird only" % given)
        else:
            if has_arg:
                raise FaultError("fault %r: %s takes no argument" % (given, kind))
            value = None
    except ValueError as e:
        if isinstance(e, FaultError):
            raise
        raise FaultError("fault %r: bad argument %r" % (given, arg)) from None
    if kind in ("garbage", "delay", "stall") and value < 0:
        raise FaultError("fault %r: negative argument" % given)
    return Fault(op, kind, value, given.strip())


def load_faults_file(path):
    """Faults from a JSON list of fault texts; none when the file does not exist."""
    try:
        with open(path) as f:
            texts = json.load(f)
    except FileNotFoundError:
        return []
    except json.JSONDecodeError as e:
        raise FaultError("faults file %s: %s" % (path, e)) from None
    if not isinstance(texts, list) or not all(isinstance(t, str) for t in texts):
        raise FaultError("faults file %s must hold a JSON list of texts" % path)
    return [parse_fault(t) for t in texts]


def _garbage(n):
    # Starts with bytes no "ok" line can begin with; contains NUL and CR LF.
    out = bytearray(b"\xff\xfe\x00\r\n")
    counter = 0
    while len(out) < n:
        out += hashlib.sha256(b"garbage:%d" % counter).digest()
        counter += 1
    return bytes(out[:n])


def _corrupt_base64(body, mode):
    lines = body.split(b"\n")
    if len(lines) < 2 or not lines[0].startswith(b"ok") or not lines[1]:
        return body
    text = lines[1]
    if mode == "drop":
        text = text[:-1]
    elif mode == "alphabet":
        middle = (len(text) // 2) // 4 * 4
        text = text[:middle] + b"*!*!" + text[middle + 4:]
    else:
        data = bytearray(base64.b64decode(text))
        data[len(data) // 2] ^= 0xFF
        text = base64.b64encode(bytes(data))
    lines[1] = text
    return b"\n".join(lines)


def apply_body_faults(body, faults, op):
    """The body after the body-changing faults that apply to op."""
    chosen = {f.kind: f for f in faults if f.applies(op)}
    if "bad-base64" in chosen and op == "bird":
        body = _corrupt_base64(body, chosen["bad-base64"].arg)
    if "first-line" in chosen:
        _, newline, rest = body.partition(b"\n")
        body = chosen["first-line"].arg.encode("latin-1") + b"\n" + (rest if newline else b"")
    if "crlf" in chosen:
        body = body.replace(b"\n", b"\r\n")
    if "garbage" in chosen:
        body = _garbage(chosen["garbage"].arg)
    if "empty" in chosen:
        body = b""
    return body


# ---------------------------------------------------------------------------
# The tree


class ReplyError(Exception):
    """Turns into the reply "error: <text>"."""


SERIAL_RE = re.compile(r"[0-9A-Fa-f]{1,8}")
# No leading zeros: the file name must be the one GetBuild derives from bld.
BUILD_FILE_RE = re.compile(r"(0|[1-9][0-9]{0,8})\.bird")


class Tree:
    def __init__(self, root):
        self.root = root

    def device_dir(self, sn):
        if sn is None:
            raise ReplyError("missing sn")
        if not SERIAL_RE.fullmatch(sn):
            raise ReplyError("bad serial number %r" % sn)
        serial = "%08X" % int(sn, 16)
        path = os.path.join(self.root, serial)
        if not os.path.isdir(path):
            raise ReplyError("unknown device %s" % serial)
        return serial, path

    @staticmethod
    def builds(path):
        found = []
        for name in os.listdir(path):
            m = BUILD_FILE_RE.fullmatch(name)
            if m and os.path.isfile(os.path.join(path, name)):
                found.append(int(m.group(1)))
        return sorted(found)

    def newest(self, serial, path):
        latest = os.path.join(path, "latest")
        if os.path.exists(latest):
            with open(latest) as f:
                text = f.read().strip()
            m = re.fullmatch(r"([0-9]+)(\.bird)?", text)
            if not m:
                raise ReplyError("latest file of %s names no build: %r" % (serial, text))
            return int(m.group(1))
        found = self.builds(path)
        if not found:
            raise ReplyError("no builds for %s" % serial)
        return found[-1]

    @staticmethod
    def info(path, build):
        """Information block values of a build, or None."""
        try:
            with open(os.path.join(path, "%d.bird" % build), "rb") as f:
                return birdpack.parse_bird(f.read()).info
        except OSError:
            return None

    def firmware_text(self, path, newest):
        fw_file = os.path.join(path, "firmware")
        if os.path.exists(fw_file):
            with open(fw_file) as f:
                lines = f.read().splitlines()
            return lines[0].strip() if lines else ""
        info = self.info(path, newest)
        return info["model"] if info else ""

    def recovery(self, words):
        path = os.path.join(self.root, "recovery")
        try:
            with open(path) as f:
                lines = f.readlines()
        except FileNotFoundError:
            raise ReplyError("no recovery information") from None
        for number, line in enumerate(lines, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            try:
                if len(fields) != 6:
                    raise ValueError
                entry = [int(w, 16) for w in fields[:5]] + [int(fields[5], 10)]
            except ValueError:
                raise ReplyError("bad recovery file line %d" % number) from None
            if entry[:4] == words:
                return entry[4], entry[5]
        raise ReplyError("unknown fingerprint %s" % " ".join("%08X" % w for w in words))


def answer(tree, op, query):
    """Reply body (bytes) of one request on the served path."""
    def get(key):
        values = query.get(key)
        return values[0] if values else None

    try:
        if op == "hi":
            lines = []
        elif op == "qu":
            serial, path = tree.device_dir(get("sn"))
            newest = tree.newest(serial, path)
            lines = [str(newest)]
            fw = tree.firmware_text(path, newest)
            if fw:
                lines.append(fw)
        elif op == "bird":
            serial, path = tree.device_dir(get("sn"))
            bld = get("bld")
            if bld is None:
                raise ReplyError("missing bld")
            if not re.fullmatch(r"[0-9]{1,9}", bld):
                raise ReplyError("bad build %r" % bld)
            try:
                with open(os.path.join(path, "%d.bird" % int(bld)), "rb") as f:
                    data = f.read()
            except FileNotFoundError:
                raise ReplyError("unknown build %d for %s" % (int(bld), serial)) from None
            lines = [base64.b64encode(data).decode("ascii")]
        elif op == "builds":
            serial, path = tree.device_dir(get("sn"))
            lines = []
            for build in tree.builds(path):
                info = tree.info(path, build)
                lines.append("%d;%s" % (build, info["version"] if info else ""))
        elif op == "fix":
            fp = get("fp")
            if fp is None:
                raise ReplyError("missing fp")
            try:
                words = [int(w, 16) for w in fp.split()]
            except ValueError:
                words = []
            if len(words) != 4 or any(w > 0xFFFFFFFF or w < 0 for w in words):
                raise ReplyError("bad fingerprint %r" % fp)
            serial, build = tree.recovery(words)
            lines = ["%08X" % serial, "%d" % build]
        else:
            raise ReplyError("unknown operation %r" % op)
    except ReplyError as e:
        return ("error: %s\n" % e).encode("ascii", "backslashreplace")
    return "".join(line + "\n" for line in ["ok"] + lines).encode("ascii")


# ---------------------------------------------------------------------------
# Log


class RequestLog:
    def __init__(self, path=None, quiet=False):
        self.lock = threading.Lock()
        self.quiet = quiet
        self.file = open(path, "a") if path else None

    def write(self, method, op, status, faults, target):
        now = time.time()
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(now))
        line = "%s.%03d method=%s op=%s status=%s faults=%s target=%s\n" % (
            stamp, int(now * 1000) % 1000, method, op or "-", status,
            ",".join(f.text for f in faults) or "-", target)
        with self.lock:
            if not self.quiet:
                sys.stderr.write(line)
                sys.stderr.flush()
            if self.file:
                self.file.write(line)
                self.file.flush()


def parse_log_line(line):
    """Fields of one log line: time, method, op, status, faults (list), target,
    path and query (dict of first values, URL-decoded)."""
    head, _, target = line.rstrip("\n").partition(" target=")
    parts = head.split(" ")
    fields = {"time": parts[0]}
    for part in parts[1:]:
        key, _, value = part.partition("=")
        fields[key] = value
    fields["faults"] = [] if fields.get("faults", "-") == "-" else fields["faults"].split(",")
    fields["target"] = target
    split = urllib.parse.urlsplit(target)
    fields["path"] = split.path
    fields["query"] = {k: v[0] for k, v in
                       urllib.parse.parse_qs(split.query, keep_blank_values=True).items()}
    return fields


# ---------------------------------------------------------------------------
# HTTP


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "update_server/1"
    # A client that connects and sends nothing must not hold a thread forever.
    timeout = 30

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        cfg = self.server.config
        split = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(split.query, keep_blank_values=True)
        op_values = query.get("op")
        op = op_values[0] if op_values else None
        if cfg.path != "*" and split.path != cfg.path:
            self._log(op, 404, [])
            self._send(404, b"error: not found\n")
            return
        try:
            faults = list(cfg.faults)
            if cfg.faults_file:
                faults += load_faults_file(cfg.faults_file)
        except (FaultError, OSError) as e:
            self._log(op, 500, [])
            self._send(500, ("error: %s\n" % e).encode("ascii", "backslashreplace"))
            return
        faults = [f for f in faults if f.applies(op)]
        chosen = {f.kind: f for f in faults}

        body = apply_body_faults(answer(cfg.tree, op, query), faults, op)
        status = chosen["status"].arg if "status" in chosen else 200
        self._log(op, "stall" if "stall" in chosen else status, faults)

        stop = self.server.stop_event
        if "delay" in chosen and stop.wait(chosen["delay"].arg):
            self.close_connection = True
            return
        if "stall" in chosen:
            stop.wait(chosen["stall"].arg)
            self.close_connection = True
            return
        headers = []
        if 300 <= status < 400:
            headers.append(("Location", "/moved"))
        extra = chosen["truncate"].arg if "truncate" in chosen else 0
        self._send(status, body, headers, declared=len(body) + extra)

    def _not_allowed(self):
        split = urllib.parse.urlsplit(self.path)
        op = urllib.parse.parse_qs(split.query).get("op", [None])[0]
        self._log(op, 405, [])
        self._send(405, b"error: method not allowed\n", [("Allow", "GET")])

    do_POST = do_PUT = do_DELETE = do_PATCH = _not_allowed

    def do_HEAD(self):
        self._log(None, 405, [])
        self.send_response(405)
        self.send_header("Allow", "GET")
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def _log(self, op, status, faults):
        self.server.config.log.write(self.command, op, status, faults, self.path)

    def _send(self, status, body, headers=(), declared=None):
        try:
            reason = http.HTTPStatus(status).phrase
        except ValueError:
            reason = "Status %d" % status
        self.send_response(status, reason)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body) if declared is None else declared))
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()
        self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, config, context=None):
        self.config = config
        self.stop_event = threading.Event()
        super().__init__(address, Handler)
        if context:
            # The handshake runs on the first read, in the request's own
            # thread under the handler's time-out, so a client that connects
            # and stays silent does not stop the accept loop.
            self.socket = context.wrap_socket(self.socket, server_side=True,
                                              do_handshake_on_connect=False)

    def handle_error(self, request, client_address):
        # A client that refuses the certificate ends the handshake with an
        # alert; that is its answer, not a fault of the server.
        if not isinstance(sys.exc_info()[1], (ssl.SSLError, ConnectionError)):
            super().handle_error(request, client_address)


class Config:
    def __init__(self, tree, path, faults, faults_file, log):
        self.tree, self.path, self.faults = tree, path, faults
        self.faults_file, self.log = faults_file, log


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="update_server.py",
        description="Serve firmware builds to the updater over HTTP from a "
                    "directory tree (an offline mirror of the update server, "
                    "and the server of the updater's tests).",
        epilog="Tree layout" + __doc__.split("Tree layout", 1)[1].split("Module use")[0]
        + FAULT_HELP
        + "\n" + LOG_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", required=True, help="the directory tree to serve")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8080,
                        help="TCP port (default 8080; 0 picks a free one)")
    parser.add_argument("--port-file", metavar="PATH",
                        help="write the listening port to PATH once listening")
    parser.add_argument("--path", default=DEFAULT_PATH,
                        help="request path served (default /cgi/u; * serves every "
                             "path, e.g. for a base URL given without a path, "
                             "which makes the client request /?...)")
    parser.add_argument("--log", metavar="FILE", help="append the request log to FILE")
    parser.add_argument("--quiet", action="store_true",
                        help="do not write the request log to standard error")
    parser.add_argument("--fault", action="append", default=[], metavar="FAULT",
                        help="inject a fault (repeatable; see below)")
    parser.add_argument("--faults-file", metavar="FILE",
                        help="JSON list of faults, read on every request")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"),
                        help="serve HTTPS with this certificate (chain) and "
                             "private key, both PEM files")
    parser.add_argument("--exit-after", type=float, metavar="SECONDS",
                        help="end the process after this many seconds (a safety "
                             "net for tests)")
    args = parser.parse_args(argv)

    try:
        faults = [parse_fault(s) for s in args.fault]
        if args.faults_file:
            load_faults_file(args.faults_file)
    except FaultError as e:
        parser.error(str(e))
    if not os.path.isdir(args.root):
        parser.error("--root %s is not a directory" % args.root)
    context = None
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        try:
            context.load_cert_chain(*args.tls)
        except (OSError, ssl.SSLError) as e:
            parser.error("--tls %s %s: %s" % (args.tls[0], args.tls[1], e))

    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    on_stop_signals(on_signal)

    log = RequestLog(args.log, args.quiet)
    config = Config(Tree(args.root), args.path, faults, args.faults_file, log)
    try:
        server = Server((args.host, args.port), config, context)
    except OSError as e:
        print("update_server: cannot listen on %s:%d: %s" % (args.host, args.port, e),
              file=sys.stderr)
        return 1
    port = server.server_address[1]
    if args.port_file:
        atomic_write(args.port_file, "%d\n" % port)
    print("update_server: listening on %s://%s:%d%s serving %s" % (
        "https" if args.tls else "http", args.host, port, "" if args.path == "*" else args.path, args.root), flush=True)

    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                              daemon=True)
    worker.start()
    deadline = None if args.exit_after is None else time.monotonic() + args.exit_after
    while not stop.wait(0.5):
        if deadline is not None and time.monotonic() >= deadline:
            break
    # Release stalled and delayed handlers; they are daemon threads, so the
    # process ends even if one is still blocked writing to a slow client.
    server.stop_event.set()
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
