"""Self-tests of tools/update_server.py: the server runs as its own process
on 127.0.0.1 with an ephemeral port; replies are checked byte for byte."""
import base64
import binascii
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

TOOLS = os.path.join(os.environ.get("UPDATER_SOURCE_DIR",
                                    os.path.join(os.path.dirname(__file__), "..", "..")),
                     "tools")
sys.path.insert(0, TOOLS)
import birdpack  # noqa: E402
import update_server  # noqa: E402

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
SERVER = os.path.join(TOOLS, "update_server.py")

FINGERPRINT = "0123ABCD%2089ABCDEF%2000000000%20FFFFFFFF"


def wait_for(predicate, timeout=5.0, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for %s" % what)


class Server:
    """update_server.py in a subprocess; ends it on close."""

    def __init__(self, root, tmp, *extra):
        self.port_file = os.path.join(tmp, "port")
        self.log_file = os.path.join(tmp, "requests.log")
        self.proc = subprocess.Popen(
            [PYTHON, SERVER, "--root", str(root), "--port", "0", "--port-file",
             self.port_file, "--log", self.log_file, "--quiet", "--exit-after", "120"]
            + list(extra), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            self.port = int(wait_for(self._read_port, what="the port file"))
        except AssertionError:
            self.close()
            raise
        self.base = "http://127.0.0.1:%d" % self.port

    def _read_port(self):
        assert self.proc.poll() is None, self.proc.stderr.read()
        try:
            with open(self.port_file) as f:
                return f.read().strip()
        except FileNotFoundError:
            return None

    def log_lines(self):
        try:
            with open(self.log_file) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def last_log(self):
        return update_server.parse_log_line(self.log_lines()[-1])

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=5)
        if not self.proc.stdout.closed:
            self.stdout = self.proc.stdout.read()
            self.stderr = self.proc.stderr.read()
            self.proc.stdout.close()
            self.proc.stderr.close()


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


_opener = urllib.request.build_opener(_NoRedirect)


def get(server, target, timeout=5):
    """(status, headers, body) of a GET of target (path and query)."""
    try:
        with _opener.open(server.base + target, timeout=timeout) as r:
            return r.status, r.headers, r.read()
    except urllib.error.HTTPError as e:
        with e:
            return e.code, e.headers, e.read()


def u(query):
    return "/cgi/u?" + query


def write_build(directory, build, version, model):
    desc = birdpack.sample_description(0x1ABCD, model, build, version, size=256)
    data = birdpack.build_bird(desc)
    (directory / ("%d.bird" % build)).write_bytes(data)
    return data


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("tree")
    a = root / "0001ABCD"
    a.mkdir()
    # 900 sorts last as text: the newest must be chosen by number.
    write_build(a, 900, "0.9.0", "Oldwood")
    write_build(a, 1100, "1.1.0", "Oldwood")
    write_build(a, 1200, "1.2.0", "Ironwood")
    (a / "notes.txt").write_text("not a build")
    (a / "01300.bird").write_bytes(b"not a build name")
    b = root / "0002BEEF"
    b.mkdir()
    write_build(b, 5, "0.0.5", "Birch")
    write_build(b, 300, "3.0.0", "Birch")
    (b / "latest").write_text("5\n")
    (b / "firmware").write_text("FW-BIRCH\nignored second line\n")
    (root / "00000077").mkdir()  # a device without builds
    (root / "recovery").write_text(
        "# W0 W1 W2 W3 SERIAL BUILD\n"
        "\n"
        "0123abcd 89ABCDEF 0 ffffffff 1abcd 1200   # lower case, short words\n"
        "11111111 22222222 33333333 44444444 DEADDEAD 0042\n")
    return root


@pytest.fixture(scope="module")
def server(tree, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("server")
    s = Server(tree, tmp, "--faults-file", str(tmp / "faults.json"))
    s.faults_file = tmp / "faults.json"
    yield s
    s.close()


@pytest.fixture
def faults(server):
    """Sets the running server's faults for one test."""
    def set_faults(*texts):
        tmp = str(server.faults_file) + ".tmp"
        with open(tmp, "w") as f:
            json.dump(list(texts), f)
        os.replace(tmp, server.faults_file)
    yield set_faults
    if server.faults_file.exists():
        server.faults_file.unlink()


QU = u("op=qu&sn=0001ABCD&")
BIRD_1200 = u("bld=1200&fw=Ironwood&no_cal=false&op=bird&sn=0001ABCD&")


class TestOperations:
    def test_ping(self, server):
        status, headers, body = get(server, u("op=hi&rv=2&"))
        assert (status, body) == (200, b"ok\n")
        assert headers["Content-Type"] == "text/plain"
        assert headers["Content-Length"] == "3"

    def test_query_build_newest_by_number_and_model_of_newest(self, server):
        assert get(server, QU)[:3:2] == (200, b"ok\n1200\nIronwood\n")

    def test_query_build_with_latest_and_firmware_files(self, server):
        assert get(server, u("op=qu&sn=0002BEEF&"))[2] == b"ok\n5\nFW-BIRCH\n"

    def test_query_build_errors(self, server, tree):
        assert get(server, u("op=qu&sn=0001ABCE&"))[:3:2] == \
            (200, b"error: unknown device 0001ABCE\n")
        assert get(server, u("op=qu&sn=00000077&"))[2] == b"error: no builds for 00000077\n"
        assert get(server, u("op=qu&"))[2] == b"error: missing sn\n"
        assert get(server, u("op=qu&sn=XYZ&"))[2] == b"error: bad serial number 'XYZ'\n"

    def test_serial_number_is_read_as_hex(self, server):
        assert get(server, u("op=qu&sn=1abcd&"))[2] == b"ok\n1200\nIronwood\n"

    def test_latest_is_read_per_request(self, server, tree):
        latest = tree / "0001ABCD" / "latest"
        try:
            latest.write_text("1300.bird\n")  # may name a build the tree lacks
            assert get(server, QU)[2] == b"ok\n1300\n"
            latest.write_text("newest\n")
            assert get(server, QU)[2] == \
                b"error: latest file of 0001ABCD names no build: 'newest'\n"
        finally:
            latest.unlink()
        assert get(server, QU)[2] == b"ok\n1200\nIronwood\n"

    def test_get_build(self, server, tree):
        status, _, body = get(server, BIRD_1200)
        assert status == 200
        ok, data, rest = body.split(b"\n")
        assert (ok, rest) == (b"ok", b"")
        assert base64.b64decode(data, validate=True) == \
            (tree / "0001ABCD" / "1200.bird").read_bytes()

    def test_get_build_errors(self, server):
        assert get(server, u("bld=1300&fw=x&no_cal=false&op=bird&sn=0001ABCD&"))[2] == \
            b"error: unknown build 1300 for 0001ABCD\n"
        assert get(server, u("bld=1200&fw=x&no_cal=false&op=bird&sn=0009ABCD&"))[2] == \
            b"error: unknown device 0009ABCD\n"
        assert get(server, u("fw=x&op=bird&sn=0001ABCD&"))[2] == b"error: missing bld\n"
        assert get(server, u("bld=../1200&op=bird&sn=0001ABCD&"))[2] == \
            b"error: bad build '../1200'\n"

    def test_build_list(self, server):
        assert get(server, u("op=builds&sn=0001ABCD&"))[2] == \
            b"ok\n900;0.9.0\n1100;1.1.0\n1200;1.2.0\n"
        assert get(server, u("op=builds&sn=0002BEEF&"))[2] == b"ok\n5;0.0.5\n300;3.0.0\n"
        assert get(server, u("op=builds&sn=00000077&"))[2] == b"ok\n"
        assert get(server, u("op=builds&sn=0001ABCE&"))[2] == \
            b"error: unknown device 0001ABCE\n"

    def test_recovery(self, server):
        assert get(server, u("brief=true&fp=%s&op=fix&" % FINGERPRINT))[:3:2] == \
            (200, b"ok\n0001ABCD\n1200\n")
        assert get(server, u("brief=true&fp=11111111%2022222222%2033333333%2044444444"
                             "&op=fix&"))[2] == b"ok\nDEADDEAD\n42\n"
        assert get(server, u("brief=true&fp=11111111%2022222222%2033333333%2044444445"
                             "&op=fix&"))[2] == \
            b"error: unknown fingerprint 11111111 22222222 33333333 44444445\n"
        assert get(server, u("fp=1%202%203&op=fix&"))[2] == b"error: bad fingerprint '1 2 3'\n"
        assert get(server, u("op=fix&"))[2] == b"error: missing fp\n"

    def test_unknown_operation_and_path(self, server):
        assert get(server, u("op=xx&"))[:3:2] == (200, b"error: unknown operation 'xx'\n")
        assert get(server, u("sn=1&"))[2] == b"error: unknown operation None\n"
        assert get(server, "/cgi/v?op=hi&rv=2&")[:3:2] == (404, b"error: not found\n")


class TestLog:
    def test_one_line_per_request_with_exact_target(self, server):
        before = len(server.log_lines())
        get(server, BIRD_1200)
        get(server, "/other?op=hi")
        req = urllib.request.Request(server.base + u("op=hi&rv=2&"), data=b"x", method="POST")
        with pytest.raises(urllib.error.HTTPError) as e:
            _opener.open(req, timeout=5)
        e.value.close()
        lines = server.log_lines()[before:]
        assert len(lines) == 3
        first = update_server.parse_log_line(lines[0])
        assert {k: first[k] for k in ("method", "op", "status", "faults", "target")} == {
            "method": "GET", "op": "bird", "status": "200", "faults": [],
            "target": "/cgi/u?bld=1200&fw=Ironwood&no_cal=false&op=bird&sn=0001ABCD&"}
        assert first["query"] == {"bld": "1200", "fw": "Ironwood", "no_cal": "false",
                                  "op": "bird", "sn": "0001ABCD"}
        assert lines[1].split(" ", 1)[1] == "method=GET op=hi status=404 faults=- target=/other?op=hi"
        assert lines[2].split(" ", 1)[1] == \
            "method=POST op=hi status=405 faults=- target=/cgi/u?op=hi&rv=2&"

    def test_fingerprint_query_is_decoded(self, server):
        get(server, u("brief=true&fp=%s&op=fix&" % FINGERPRINT))
        entry = server.last_log()
        assert entry["target"] == "/cgi/u?brief=true&fp=%s&op=fix&" % FINGERPRINT
        assert entry["query"]["fp"] == "0123ABCD 89ABCDEF 00000000 FFFFFFFF"


class TestFaults:
    def test_status_keeps_body(self, server, faults):
        faults("qu:status=404")
        assert get(server, QU)[:3:2] == (404, b"ok\n1200\nIronwood\n")
        assert get(server, u("op=hi&rv=2&"))[:3:2] == (200, b"ok\n")  # other ops unchanged
        assert server.last_log()["status"] == "200"
        faults("status=301")
        status, headers, body = get(server, u("op=hi&rv=2&"))
        assert (status, headers["Location"], body) == (301, "/moved", b"ok\n")
        assert server.last_log()["faults"] == ["status=301"]

    def test_first_line(self, server, faults):
        faults("first-line")
        assert get(server, QU)[2] == b"error: injected fault\n1200\nIronwood\n"
        faults("hi:first-line=OK")
        assert get(server, u("op=hi&rv=2&"))[2] == b"OK\n"
        faults("first-line=okay")
        assert get(server, QU)[2] == b"okay\n1200\nIronwood\n"

    def test_garbage_empty_crlf(self, server, faults):
        faults("garbage")
        body = get(server, QU)[2]
        assert len(body) == 64 and body[:5] == b"\xff\xfe\x00\r\n"
        faults("garbage=7")
        assert get(server, QU)[2] == body[:7]
        faults("empty")
        status, headers, body = get(server, QU)
        assert (status, headers["Content-Length"], body) == (200, "0", b"")
        faults("crlf")
        assert get(server, QU)[2] == b"ok\r\n1200\r\nIronwood\r\n"
        faults("crlf", "first-line=nok")
        assert get(server, QU)[2] == b"nok\r\n1200\r\nIronwood\r\n"

    def test_delay(self, server, faults):
        faults("qu:delay=0.4")
        start = time.monotonic()
        assert get(server, QU)[2] == b"ok\n1200\nIronwood\n"
        assert time.monotonic() - start >= 0.4
        start = time.monotonic()
        get(server, u("op=hi&rv=2&"))
        assert time.monotonic() - start < 0.4

    def test_stall(self, server, faults):
        faults("stall")
        before = len(server.log_lines())
        start = time.monotonic()
        with pytest.raises((socket.timeout, urllib.error.URLError)):
            get(server, QU, timeout=0.5)
        assert time.monotonic() - start >= 0.5
        entry = update_server.parse_log_line(server.log_lines()[before])
        assert (entry["op"], entry["status"]) == ("qu", "stall")

    def test_truncate(self, server, faults):
        faults("bird:truncate")
        with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
            s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % BIRD_1200.encode())
            raw = b""
            while True:  # ends when the server closes; bounded by the timeout
                chunk = s.recv(65536)
                if not chunk:
                    break
                raw += chunk
        head, _, body = raw.partition(b"\r\n\r\n")
        length = [int(h.split(b":")[1]) for h in head.split(b"\r\n")
                  if h.lower().startswith(b"content-length:")][0]
        assert length == len(body) + 100
        assert body.startswith(b"ok\n") and body.endswith(b"\n")
        faults("truncate=1")
        with pytest.raises(http.client.IncompleteRead):
            get(server, u("op=hi&rv=2&"))

    def test_bad_base64(self, server, faults, tree):
        good = get(server, BIRD_1200)[2].split(b"\n")[1]
        faults("bird:bad-base64")
        lines = get(server, BIRD_1200)[2].split(b"\n")
        assert lines[0] == b"ok" and lines[1] == good[:-1] and len(lines[1]) % 4 != 0
        faults("bad-base64=alphabet")
        text = get(server, BIRD_1200)[2].split(b"\n")[1]
        assert len(text) == len(good) and b"*!*!" in text
        with pytest.raises(binascii.Error):
            base64.b64decode(text, validate=True)
        assert get(server, QU)[2] == b"ok\n1200\nIronwood\n"  # other ops untouched
        faults("bad-base64=bytes")
        data = base64.b64decode(get(server, BIRD_1200)[2].split(b"\n")[1], validate=True)
        original = (tree / "0001ABCD" / "1200.bird").read_bytes()
        assert len(data) == len(original)
        assert [i for i in range(len(data)) if data[i] != original[i]] == [len(data) // 2]
        assert data[len(data) // 2] == original[len(data) // 2] ^ 0xFF
        # An error reply carries no base64 to corrupt.
        faults("bad-base64")
        assert get(server, u("bld=1&op=bird&sn=0001ABCD&"))[2] == \
            b"error: unknown build 1 for 0001ABCD\n"

    def test_bad_faults_file_gives_500(self, server, faults):
        faults("bird:unknown-kind")
        status, _, body = get(server, QU)
        assert status == 500
        assert body.startswith(b"error: fault 'bird:unknown-kind': unknown kind")
        server.faults_file.write_text("{not json")
        assert get(server, QU)[0] == 500

    @pytest.mark.parametrize("text", ["nope", "xx:crlf", "status=99", "qu:bad-base64",
                                      "bad-base64=odd", "delay", "crlf=1", "truncate=0",
                                      "garbage=-1"])
    def test_invalid_faults_are_refused(self, text):
        with pytest.raises(update_server.FaultError):
            update_server.parse_fault(text)


class TestProcess:
    def test_command_line_faults_and_any_path(self, tree, tmp_path):
        s = Server(tree, tmp_path, "--fault", "qu:crlf", "--fault", "bird:status=404",
                   "--path", "*")
        try:
            assert get(s, QU)[2] == b"ok\r\n1200\r\nIronwood\r\n"
            assert get(s, BIRD_1200)[0] == 404
            # A base URL given without a path makes the client ask for "/?...".
            assert get(s, "/?op=hi&rv=2&")[:3:2] == (200, b"ok\n")
        finally:
            s.close()
        assert s.proc.returncode == 0
        assert s.stdout == \
            "update_server: listening on http://127.0.0.1:%d serving %s\n" % (s.port, tree)

    def test_sigterm_ends_a_stalled_server(self, tree, tmp_path):
        s = Server(tree, tmp_path, "--fault", "stall")
        conn = socket.create_connection(("127.0.0.1", s.port), timeout=5)
        try:
            conn.sendall(b"GET /cgi/u?op=hi&rv=2& HTTP/1.1\r\nHost: x\r\n\r\n")
            wait_for(s.log_lines, what="the request log line")
            start = time.monotonic()
            s.proc.send_signal(signal.SIGTERM)
            assert s.proc.wait(timeout=5) == 0
            assert time.monotonic() - start < 2
            assert conn.recv(100) == b""  # closed without an answer
        finally:
            conn.close()
            s.close()

    def test_parallel_servers_get_distinct_ports(self, tree, tmp_path):
        (tmp_path / "a").mkdir()
        (tmp_path / "b").mkdir()
        servers = [Server(tree, tmp_path / "a"), Server(tree, tmp_path / "b")]
        try:
            assert servers[0].port != servers[1].port
            results = []
            threads = [threading.Thread(target=lambda s=s: results.append(get(s, QU)[2]))
                       for s in servers]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=5)
            assert results == [b"ok\n1200\nIronwood\n"] * 2
        finally:
            for s in servers:
                s.close()

    def test_usage_errors(self, tree, tmp_path):
        r = subprocess.run([PYTHON, SERVER, "--root", str(tree), "--fault", "bogus"],
                           capture_output=True, text=True, timeout=10)
        assert r.returncode == 2 and "unknown kind 'bogus'" in r.stderr
        r = subprocess.run([PYTHON, SERVER, "--root", str(tmp_path / "none")],
                           capture_output=True, text=True, timeout=10)
        assert r.returncode == 2 and "is not a directory" in r.stderr
        r = subprocess.run([PYTHON, SERVER, "--help"], capture_output=True, text=True,
                           timeout=10)
        assert r.returncode == 0
        for text in ("--port-file", "bad-base64[=MODE]", "ROOT/<SERIAL>/latest",
                     "method=<M> op=<op|-> status=<code|stall>"):
            assert text in r.stdout
