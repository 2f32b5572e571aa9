"""Self-tests of tools/virtual_module.py, driven over TCP on loopback with
raw sockets, asserting the bytes on the wire."""
import importlib.util
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "virtual_module.py"
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
sys.path.insert(0, str(ROOT / "tests"))

LINK_START = bytes([0xAF, 0x01, 0x01])
LINK_STOP = bytes([0xAF, 0x01, 0x00])
ADDRESS_QUERY = bytes([0xAD, 0x00])


def load_tool():
    spec = importlib.util.spec_from_file_location("virtual_module", TOOL)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


vm = load_tool()


def pkt(address, *payload):
    return bytes([address, len(payload)]) + bytes(payload)


def be32(v):
    return struct.pack(">I", v)


def wait_for(pred, timeout=3.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


class Sim:
    """One simulator process."""

    def __init__(self, tmp_path, args):
        self.dir = Path(tmp_path)
        self.state = self.dir / "state"
        self.ready_file = self.dir / "ready.json"
        cmd = [PYTHON, str(TOOL), "--state-dir", str(self.state),
               "--ready-file", str(self.ready_file), "--max-runtime", "60"] + list(args)
        self.stderr = open(self.dir / "sim.stderr", "w")
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=self.stderr)
        try:
            wait_for(lambda: self.ready_file.exists() or self.proc.poll() is not None,
                     10, "ready file")
            assert self.proc.poll() is None, (self.dir / "sim.stderr").read_text()
            self.ready = json.loads(self.ready_file.read_text())
        except BaseException:
            self.close()
            raise

    def port(self, serial):
        for m in self.ready["modules"]:
            if m["serial"] == serial:
                return m["port"]
        raise KeyError(serial)

    def connect(self, serial, start=True):
        return Wire(self.port(serial), start)

    def status(self, serial):
        return json.loads((self.state / ("%s.status.json" % serial)).read_text())

    def wait_status(self, serial, pred, timeout=3.0):
        holder = {}

        def check():
            try:
                holder["s"] = self.status(serial)
            except (OSError, ValueError):
                return False
            return pred(holder["s"])
        try:
            wait_for(check, timeout, "status of %s" % serial)
        except AssertionError:
            raise AssertionError("status of %s never matched: %s"
                                 % (serial, json.dumps(holder.get("s"), indent=1)))
        return holder["s"]

    def memory(self, serial, kind="flash"):
        doc = json.loads((self.state / ("%s.%s.json" % (serial, kind))).read_text())
        return [(r["address"], bytes.fromhex(r["hex"])) for r in doc["ranges"]]

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.stderr.close()


@pytest.fixture
def sim_factory(tmp_path):
    sims = []

    def make(*args):
        sub = tmp_path / ("sim%d" % len(sims))
        sub.mkdir()
        s = Sim(sub, args)
        sims.append(s)
        return s
    yield make
    for s in sims:
        s.close()


class Wire:
    """A raw TCP connection acting as the host."""

    def __init__(self, port, start=True):
        self.port = port
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=2)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if start:
            self.send(LINK_START)

    def send(self, *chunks):
        self.sock.sendall(b"".join(bytes(c) for c in chunks))

    def recv_exact(self, n, timeout=1.0):
        buf = b""
        deadline = time.monotonic() + timeout
        while len(buf) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("got %r, wanted %d bytes" % (buf, n))
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(n - len(buf))
            except socket.timeout:
                continue
            if not chunk:
                raise AssertionError("connection closed after %r" % buf)
            buf += chunk
        return buf

    def packet(self, timeout=1.0):
        head = self.recv_exact(2, timeout)
        return head + self.recv_exact(head[1], timeout) if head[1] else head

    def ask(self, request, timeout=1.0):
        self.send(request)
        return self.packet(timeout)

    def expect_nothing(self, quiet=0.15):
        self.sock.settimeout(quiet)
        try:
            data = self.sock.recv(100)
        except socket.timeout:
            return
        raise AssertionError("unexpected bytes %r" % data)

    def expect_reset(self, timeout=1.0):
        self.sock.settimeout(timeout)
        with pytest.raises(ConnectionResetError):
            data = self.sock.recv(100)
            # A FIN would read as b"": the host would not notice it.
            raise AssertionError("expected a reset, got %r" % data)

    def close(self):
        self.sock.close()


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
    except ConnectionRefusedError:
        return True
    return False


def reconnect_after_window(port, since, timeout=3.0):
    """Connects once the port accepts again; returns (wire, seconds between
    `since` and the first accepted connection)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            w = Wire(port, start=False)
            return w, time.monotonic() - since
        except ConnectionRefusedError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.02)


# ---------------------------------------------------------------------------
# Link level

def test_address_query_sync_and_framing(sim_factory):
    sim = sim_factory("--module", "serial=0001ABCD,address=6")
    w = sim.connect("0001ABCD")
    assert w.ask(ADDRESS_QUERY) == bytes([0x06, 0x00])
    # A synchronisation request gets exactly two empty packets, no surplus.
    w.send(ADDRESS_QUERY * 6)
    assert w.recv_exact(4) == bytes([0x06, 0x00, 0x06, 0x00])
    w.expect_nothing()
    # Separate single queries are each answered.
    for _ in range(3):
        assert w.ask(ADDRESS_QUERY) == bytes([0x06, 0x00])
    # A packet trickling in byte by byte is framed the same.
    for b in pkt(6, 0x03, 0x48, 0x20):
        w.send([b])
        time.sleep(0.002)
    assert w.packet() == pkt(6, 0x03, 0x08, 0x00, 19)
    w.send(LINK_STOP)
    w.close()

    # A new connection need not start with a link start.
    w2 = sim.connect("0001ABCD", start=False)
    assert w2.ask(ADDRESS_QUERY) == bytes([0x06, 0x00])
    w2.close()

    st = sim.wait_status("0001ABCD", lambda s: s["stats"]["connections_accepted"] == 2
                         and s["stats"]["host_packets"] == 14)
    stats = st["stats"]
    assert stats["link_starts"] == 1 and stats["link_stops"] == 1
    assert stats["sync_requests"] == 1
    assert stats["host_packets_by_kind"]["address_query"] == 11
    assert stats["address_queries_answered"] == 7
    assert stats["connections_without_link_start"] == 1
    assert stats["framing_errors"] == 0
    assert st["protocol_errors"] == []


def test_query_run_rule_in_engine():
    """Queries are answered per read: two answers for a run, one alone."""
    cfg = vm.build_configs([{"serial": "10"}])[0]
    module = vm.VirtualModule(cfg)
    sess = vm.LinkSession(module, 0.0)
    assert sess.start(0.0) == b""
    for _ in range(3):
        assert sess.receive(ADDRESS_QUERY, 1.0) == bytes([2, 0])
    assert sess.receive(ADDRESS_QUERY * 6, 1.0) == bytes([2, 0, 2, 0])
    # Another packet ends a run.
    out = sess.receive(ADDRESS_QUERY * 3 + pkt(2, 23, 9) + ADDRESS_QUERY * 3, 1.0)
    assert out == bytes([2, 0, 2, 0]) + pkt(2, 23, 9) + bytes([2, 0, 2, 0])
    # A sync split across reads costs at most two stray answers.
    assert sess.receive(ADDRESS_QUERY * 2, 1.0) + sess.receive(ADDRESS_QUERY * 4, 1.0) == \
        bytes([2, 0]) * 4
    assert module.stats["sync_requests"] == 5
    assert module.stats["address_queries_answered"] == 13


def test_framing_error_is_recorded_and_framing_recovers(sim_factory):
    sim = sim_factory("--module", "serial=0001ABCD")
    w = sim.connect("0001ABCD")
    w.send(bytes([0x02, 0x1D]))          # length 29 cannot be a packet
    assert w.ask(pkt(2, 0x03, 0x41, 0x20)) == pkt(2, 0x03, 0x01, 0x00, 0x02)
    st = sim.wait_status("0001ABCD", lambda s: s["stats"]["framing_errors"] == 1)
    assert st["protocol_errors"] == ["framing: length 29 after address 0x02"]


# ---------------------------------------------------------------------------
# UEIs

def test_system_entity_replies_byte_for_byte(sim_factory):
    sim = sim_factory("--module", "serial=0001ABCD,model=19,address=2,version=1.2.3,build=1200,"
                      "fingerprint=0x11111111:0x22222222:0x33333333:0x44444444")
    w = sim.connect("0001ABCD")
    serial = be32(0x0001ABCD)
    assert w.ask(pkt(2, 0x03, 0x49, 0x20)) == pkt(2, 0x03, 0x09, 0x00, *serial)
    assert w.ask(pkt(2, 0x03, 0x47, 0x20)) == pkt(2, 0x03, 0x07, 0x00, 0x12, 0x00, 0x00, 0x03)
    assert w.ask(pkt(2, 0x03, 0x48, 0x20)) == pkt(2, 0x03, 0x08, 0x00, 19)
    assert w.ask(pkt(2, 0x03, 0x41, 0x20)) == pkt(2, 0x03, 0x01, 0x00, 2)
    assert w.ask(pkt(2, 0x03, 0x42, 0x20)) == pkt(2, 0x03, 0x02, 0x00, 2)
    assert w.ask(pkt(2, 0x03, 0x82, 0x20, 0x0A)) == pkt(2, 0x03, 0xC2, 0x00, 0x0A)
    assert w.ask(pkt(2, 0x03, 0x42, 0x20)) == pkt(2, 0x03, 0x02, 0x00, 0x0A)
    assert w.ask(pkt(2, 0x03, 0x94, 0x20, 0x01)) == pkt(2, 0x03, 0xD4, 0x00, 0x01)
    assert w.ask(pkt(2, 0x03, 0x94, 0x20, 0x00)) == pkt(2, 0x03, 0xD4, 0x00, 0x00)
    # Fingerprint words by subindex, and by entity index.
    for i, word in enumerate([0x11111111, 0x22222222, 0x33333333, 0x44444444]):
        assert w.ask(pkt(2, 0x03, 0x67, 0x20, i)) == pkt(2, 0x03, 0x27, 0x00, *be32(word))
    assert w.ask(pkt(2, 0x03, 0x67, 0x22)) == pkt(2, 0x03, 0x27, 0x02, *be32(0x33333333))
    assert w.ask(pkt(2, 0x03, 0x67, 0x20, 4)) == pkt(2, 0x03, 0x27, 0x80, 26)
    # Errors: unknown option (get and set), read-only option, unknown entity.
    assert w.ask(pkt(2, 0x03, 0x7E, 0x20)) == pkt(2, 0x03, 0x3E, 0x80, 29)
    assert w.ask(pkt(2, 0x03, 0xBE, 0x20, 1)) == pkt(2, 0x03, 0xFE, 0x80, 29)
    assert w.ask(pkt(2, 0x03, 0x89, 0x20, 1, 2, 3, 4)) == pkt(2, 0x03, 0xC9, 0x80, 29)
    assert w.ask(pkt(2, 0x05, 0x41, 0x21)) == pkt(2, 0x05, 0x01, 0x81, 28)
    assert w.ask(pkt(2, 0x03, 0x47, 0x21)) == pkt(2, 0x03, 0x07, 0x81, 26)
    # Build query and debug echo.
    assert w.ask(pkt(2, 0x49, 0xFF)) == pkt(2, 0x49, 0xFF, 0x00, 0x00, 0x04, 0xB0)
    assert w.ask(pkt(2, 0x49, 0x41, 0x20)) == pkt(2, 0x49, 0x01, 0x80, 29)
    assert w.ask(pkt(2, 23, 1, 2, 3, 0xFE)) == pkt(2, 23, 1, 2, 3, 0xFE)
    w.close()
    st = sim.wait_status("0001ABCD", lambda s: s["stats"]["host_packets"] == 24)
    assert st["route_to_me"] == [1, 0]
    assert st["router_sets"] == [0x0A]
    kinds = st["stats"]["host_packets_by_kind"]
    assert (kinds["uei_get"], kinds["uei_set"], kinds["build_query"], kinds["debug"]) == \
        (16, 5, 1, 1)
    assert st["protocol_errors"] == []


# ---------------------------------------------------------------------------
# Upgrade conversation

def send_data(w, addr, data, acks=None):
    """DATA packets of at most 26 bytes; returns the module's acks."""
    got = []
    for i in range(0, len(data), 26):
        part = data[i:i + 26]
        reply = w.ask(pkt(addr, 0x5F, 0x01, *part))
        assert reply[:4] == bytes([addr, 3, 0x5F, 0x01]), reply
        got.append(reply[4])
    return got


def test_loader_and_firmware_conversation_then_reboot(sim_factory):
    sim = sim_factory("--module", "serial=0001ABCD,version=1.0.0,build=10,block_size=256,"
                      "load_mode=stay,load_base=0x10000000,reboot_offline_ms=400")
    port = sim.port("0001ABCD")
    w = sim.connect("0001ABCD")
    assert w.ask(pkt(2, 0x5F, 0x00)) == pkt(2, 0x5F, 0x00, 0x10, 0x00, 0x00, 0x00)

    loader = bytes((i * 7 + 3) & 0xFF for i in range(60))
    assert w.ask(pkt(2, 0x5F, 0x03, 0x01, 0x20, 0x00, 0x04, 0x00)) == \
        pkt(2, 0x5F, 0x07, 0x00, 0x01, 0x00)
    assert send_data(w, 2, loader) == [26, 26, 8]
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0x00, *be32(sum(loader)))
    # An empty loader block still gets its (zero) sum.
    assert w.ask(pkt(2, 0x5F, 0x03, 0x00, 0x20, 0x00, 0x08, 0x00))[4] == 0x00
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0x00, 0, 0, 0, 0)
    assert w.ask(pkt(2, 0x5F, 0x02)) == pkt(2, 0x5F, 0x02)

    marker = b"KSFW-VERSION=2.3.4;BUILD=4321;"
    firmware = bytes((i * 13 + 1) & 0xFF for i in range(1000 - len(marker))) + marker
    base = 0x00004000
    assert w.ask(pkt(2, 0x5F, 0x03, 0x02, *be32(base))) == pkt(2, 0x5F, 0x07, 0x00, 0x01, 0x00)
    for off in range(0, len(firmware), 256):
        chunk = firmware[off:off + 256]
        send_data(w, 2, chunk)
        assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0x00, *be32(sum(chunk)))
        assert w.ask(pkt(2, 0x5F, 0x05, *struct.pack(">H", len(chunk)))) == \
            pkt(2, 0x5F, 0x07, 0x00)
    # A second SUM without data in between reports 0: every SUM is a boundary.
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0x00, 0, 0, 0, 0)

    # REBOOT: no reply, the link is reset, and the port refuses connections
    # for the reboot window.
    sent = time.monotonic()
    w.send(pkt(2, 0x5F, 0x06))
    w.expect_reset()
    assert refused(port)
    w2, waited = reconnect_after_window(port, sent)
    assert 0.4 <= waited < 2.5
    w2.send(LINK_START)
    assert w2.ask(pkt(2, 0x03, 0x47, 0x20)) == pkt(2, 0x03, 0x07, 0x00, 0x23, 0x00, 0x00, 0x04)
    assert w2.ask(pkt(2, 0x49, 0xFF)) == pkt(2, 0x49, 0xFF, *be32(4321))
    w2.close()

    assert sim.memory("0001ABCD") == [(base, firmware)]
    assert sim.memory("0001ABCD", "ram") == [(0x20000400, loader)]
    st = sim.wait_status("0001ABCD", lambda s: s["stats"]["connections_accepted"] == 2
                         and s["stats"]["host_packets_by_kind"]["build_query"] == 1)
    s = st["stats"]
    assert (s["init_count"], s["prepare_count"], s["sum_count"], s["write_count"],
            s["load_count"], s["reboots"]) == (1, 3, 7, 4, 1, 1)
    assert s["data_packets"] == 3 + 3 * 10 + 9       # 256-byte chunks take 10 packets, 232 take 9
    assert s["data_bytes_accepted"] == 60 + 1000
    assert s["written_bytes"] == 1000
    assert s["drops"] == 1
    assert (st["version"], st["build"], st["running"]) == ("2.3.4", 4321, "application")
    assert st["loader_blocks"] == [
        {"address": 0x20000400, "flags": 1, "length": 60, "sum": sum(loader)},
        {"address": 0x20000800, "flags": 0, "length": 0, "sum": 0}]
    assert st["firmware_blocks"] == [
        {"address": base, "flags": 2, "writes": 4, "written_bytes": 1000}]
    assert st["protocol_errors"] == []


def test_load_drop_then_announce_and_reset_option(sim_factory):
    sim = sim_factory("--module", "serial=0001ABCD,load_mode=drop,load_offline_ms=300,"
                      "reboot_offline_ms=300,version=1.1.1")
    port = sim.port("0001ABCD")
    w = sim.connect("0001ABCD")
    assert w.ask(pkt(2, 0x5F, 0x00))[2:4] == bytes([0x5F, 0x00])
    sent = time.monotonic()
    w.send(pkt(2, 0x5F, 0x02))
    w.expect_reset()
    assert refused(port)
    w2, waited = reconnect_after_window(port, sent)
    assert 0.3 <= waited < 2.5
    # The loader announces itself unsolicited on the new connection.
    assert w2.packet() == pkt(2, 0x5F, 0x02)
    w2.send(LINK_START)
    assert w2.ask(ADDRESS_QUERY) == bytes([2, 0])
    st = sim.wait_status("0001ABCD", lambda s: s["running"] == "loader")
    assert st["stats"]["load_count"] == 1

    # A system reset is confirmed, then the module leaves the link as on reboot.
    assert w2.ask(pkt(2, 0x03, 0x8B, 0x20)) == pkt(2, 0x03, 0xCB, 0x00)
    w2.expect_reset()
    assert refused(port)
    w3, _ = reconnect_after_window(port, time.monotonic())
    w3.send(LINK_START)
    w3.expect_nothing(0.1)       # no second announcement
    assert w3.ask(pkt(2, 0x03, 0x47, 0x20)) == pkt(2, 0x03, 0x07, 0x00, 0x11, 0, 0, 1)
    w3.close()
    st = sim.wait_status("0001ABCD", lambda s: s["stats"]["connections_accepted"] == 3)
    assert st["stats"]["resets"] == 1 and st["running"] == "application"


# ---------------------------------------------------------------------------
# Router

def test_router_children(sim_factory):
    sim = sim_factory("--module", "serial=00000A00,address=2,answer_absent=3,"
                      "silent_addresses=10,load_offline_ms=200",
                      "--child", "serial=00000A04,address=4,model=13,version=3.1.0,build=99",
                      "--child", "serial=00000A06,address=6,model=14,load_offline_ms=200")
    w = sim.connect("00000A00")
    assert w.ask(ADDRESS_QUERY) == bytes([2, 0])            # the router answers
    assert w.ask(pkt(2, 0x03, 0x94, 0x20, 1)) == pkt(2, 0x03, 0xD4, 0x00, 1)
    assert w.ask(pkt(4, 0x03, 0x49, 0x20)) == pkt(4, 0x03, 0x09, 0x00, *be32(0x00000A04))
    assert w.ask(pkt(4, 0x03, 0x42, 0x20)) == pkt(4, 0x03, 0x02, 0x00, 2)
    assert w.ask(pkt(4, 0x03, 0x41, 0x20)) == pkt(4, 0x03, 0x01, 0x00, 4)
    assert w.ask(pkt(4, 0x49, 0xFF)) == pkt(4, 0x49, 0xFF, *be32(99))
    assert w.ask(pkt(6, 0x03, 0x48, 0x20)) == pkt(6, 0x03, 0x08, 0x00, 14)
    # An absent address gets a fast error reply, a silenced one nothing.
    assert w.ask(pkt(8, 0x03, 0x49, 0x20)) == pkt(8, 0x03, 0x09, 0x80, 3)
    w.send(pkt(10, 0x03, 0x49, 0x20))
    w.expect_nothing()
    assert w.ask(pkt(2, 0x03, 0x94, 0x20, 0)) == pkt(2, 0x03, 0xD4, 0x00, 0)

    # A child switching into its loader goes quiet and announces itself
    # over the router's link.
    w.send(pkt(6, 0x5F, 0x02))
    assert w.ask(pkt(6, 0x03, 0x48, 0x20), timeout=1.0) == pkt(6, 0x5F, 0x02)
    assert w.ask(pkt(6, 0x03, 0x48, 0x20)) == pkt(6, 0x03, 0x08, 0x00, 14)
    w.close()

    st = sim.wait_status("00000A00", lambda s: s["stats"]["connections_accepted"] == 1
                         and s["stats"]["host_packets"] == 14)
    assert st["route_to_me"] == [1, 0]
    assert st["stats"]["host_packets_by_kind"]["absent_address"] == 2
    child = sim.wait_status("00000A06", lambda s: s["stats"]["host_packets"] == 4)
    assert child["running"] == "loader"
    assert child["stats"]["host_packets_by_kind"]["uei_get"] == 3
    assert sim.status("00000A04")["stats"]["host_packets"] == 4


# ---------------------------------------------------------------------------
# Heartbeat

def test_heartbeat_exchange(sim_factory):
    sim = sim_factory("--module", "serial=0001ABCD,address=4,hb_ms=80")
    w = sim.connect("0001ABCD")
    assert w.packet() == pkt(4, 0x00, 0x00)
    w.send(pkt(4, 0x00, 0x02))
    assert w.packet() == pkt(4, 0x00, 0x01)
    w.send(pkt(4, 0x00, 0x01))                     # wrong: 1 + 2 expected
    assert w.packet() == pkt(4, 0x00, 0x00)
    w.send(pkt(4, 0x00, 0x02))
    st = sim.wait_status("0001ABCD", lambda s: s["stats"]["heartbeats_answered"] == 2)
    assert st["stats"]["heartbeats_sent"] >= 3
    assert st["stats"]["heartbeats_wrong"] == 1
    assert st["stats"]["host_packets_by_kind"]["heartbeat_answer"] == 3
    w.close()


# ---------------------------------------------------------------------------
# Fault switches

FAULTS = [
    "serial=F0000001,bad_ack=once",
    "serial=F0000002,bad_ack=always",
    "serial=F0000003,bad_sum=once",
    "serial=F0000004,prepare_status=5,block_size=0",
    "serial=F0000005,write_status=9",
    "serial=F0000006,no_reboot_drop=1",
    "serial=F0000007,drop_after_data=2",
    "serial=F0000008,silent=1",
    "serial=F0000009,build_error=18,uei_error=3:7:5,uei_error=3:9:18",
]


@pytest.fixture
def faulty(sim_factory):
    args = []
    for spec in FAULTS:
        args += ["--module", spec]
    return sim_factory(*args)


def prepare(w, address=0x1000):
    return w.ask(pkt(2, 0x5F, 0x03, 0x00, *be32(address)))


def test_fault_wrong_ack(faulty):
    data = bytes(range(1, 27))
    w = faulty.connect("F0000001")
    prepare(w)
    # The refused packet is not kept: the sum covers the resent copy once.
    assert w.ask(pkt(2, 0x5F, 0x01, *data)) == pkt(2, 0x5F, 0x01, 25)
    assert w.ask(pkt(2, 0x5F, 0x01, *data)) == pkt(2, 0x5F, 0x01, 26)
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0, *be32(sum(data)))
    w.close()
    w = faulty.connect("F0000002")
    prepare(w)
    for _ in range(3):
        assert w.ask(pkt(2, 0x5F, 0x01, 7)) == pkt(2, 0x5F, 0x01, 0)
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0, 0, 0, 0, 0)
    w.close()
    st = faulty.wait_status("F0000002", lambda s: s["stats"]["sum_count"] == 1)
    assert st["stats"]["data_packets_rejected"] == 3


def test_fault_sum_prepare_write_status(faulty):
    w = faulty.connect("F0000003")
    prepare(w)
    send_data(w, 2, b"\x05\x06")
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0, *be32(12))   # once wrong
    send_data(w, 2, b"\x05\x06")
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0, *be32(11))
    w.close()

    w = faulty.connect("F0000004")
    assert prepare(w) == pkt(2, 0x5F, 0x07, 5, 0, 0)
    w.close()

    w = faulty.connect("F0000005")
    prepare(w)
    send_data(w, 2, b"\x01\x02\x03")
    assert w.ask(pkt(2, 0x5F, 0x04)) == pkt(2, 0x5F, 0x07, 0, *be32(6))
    assert w.ask(pkt(2, 0x5F, 0x05, 0, 3)) == pkt(2, 0x5F, 0x07, 9)
    w.close()
    faulty.wait_status("F0000005", lambda s: s["stats"]["write_count"] == 1)
    assert faulty.memory("F0000005") == []


def test_fault_no_reboot_drop_and_drop_mid_transfer(faulty):
    w = faulty.connect("F0000006")
    w.send(pkt(2, 0x5F, 0x06))
    w.expect_nothing(0.3)
    assert w.ask(ADDRESS_QUERY) == bytes([2, 0])      # still on the link
    w.close()

    port = faulty.port("F0000007")
    w = faulty.connect("F0000007")
    prepare(w)
    assert w.ask(pkt(2, 0x5F, 0x01, 1, 2)) == pkt(2, 0x5F, 0x01, 2)
    w.send(pkt(2, 0x5F, 0x01, 3, 4))
    w.expect_reset()
    # Only the connection was reset: the host's stream reconnects at once
    # and goes on without a link start.
    w2 = Wire(port, start=False)
    assert w2.ask(pkt(2, 0x5F, 0x01, 3, 4)) == pkt(2, 0x5F, 0x01, 2)
    w2.close()
    st = faulty.wait_status("F0000007", lambda s: s["stats"]["connections_accepted"] == 2)
    assert st["stats"]["connections_without_link_start"] == 1
    assert st["stats"]["data_packets"] == 3


def test_fault_silence_and_error_replies(faulty):
    w = faulty.connect("F0000008")
    w.send(ADDRESS_QUERY, pkt(2, 0x03, 0x49, 0x20), pkt(2, 0x5F, 0x00))
    w.expect_nothing(0.3)
    w.close()
    faulty.wait_status("F0000008", lambda s: s["stats"]["host_packets"] == 4)

    w = faulty.connect("F0000009")
    assert w.ask(pkt(2, 0x49, 0xFF)) == pkt(2, 0x49, 0xFF, 0x80, 18)
    assert w.ask(pkt(2, 0x03, 0x47, 0x20)) == pkt(2, 0x03, 0x07, 0x80, 5)
    assert w.ask(pkt(2, 0x03, 0x49, 0x20)) == pkt(2, 0x03, 0x09, 0x80, 18)
    assert w.ask(pkt(2, 0x03, 0x48, 0x20)) == pkt(2, 0x03, 0x08, 0x00, 19)
    w.close()


# ---------------------------------------------------------------------------
# Configuration

def test_json_config_and_rejected_configs(tmp_path, sim_factory):
    cfg = tmp_path / "vm.json"
    cfg.write_text(json.dumps({"modules": [{
        "serial": "0001ABCD", "model": 17, "address": 8, "version": "4.5.6", "build": 7,
        "fingerprint": [1, 2, 3, 4], "uei_error": [{"command": 3, "option": 8, "code": 13}],
        "children": [{"serial": "0002BEEF", "address": 12}]}]}))
    sim = sim_factory("--config", str(cfg))
    assert sim.ready["modules"][0]["children"][0]["address"] == 12
    w = sim.connect("0001ABCD")
    assert w.ask(pkt(8, 0x03, 0x47, 0x20)) == pkt(8, 0x03, 0x07, 0x00, 0x45, 0, 0, 6)
    assert w.ask(pkt(8, 0x03, 0x48, 0x20)) == pkt(8, 0x03, 0x08, 0x80, 13)
    assert w.ask(pkt(12, 0x03, 0x42, 0x20)) == pkt(12, 0x03, 0x02, 0x00, 8)
    w.close()

    for bad, message in [
            (["--module", "serial=1,address=3"], "not even"),
            (["--module", "serial=1,colour=blue"], "unknown key(s): colour"),
            (["--module", "serial=1", "--module", "serial=1"], "unique"),
            (["--child", "serial=2"], "--child before any --module"),
            (["--module", "serial=1,bad_ack=twice"], "once/always"),
            (["--module", "model=3"], "serial="),
            ([], "no modules")]:
        r = subprocess.run([PYTHON, str(TOOL)] + bad, capture_output=True, text=True, timeout=10)
        assert r.returncode == 2, (bad, r.stderr)
        assert message in r.stderr, (bad, r.stderr)
    r = subprocess.run([PYTHON, str(TOOL), "--help"], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0
    for key in vm.MODULE_KEYS:
        assert "\n  %s " % key in r.stdout


# ---------------------------------------------------------------------------
# Discovery (inside a network namespace)

PROBE = r"""
import json, socket, struct, sys, time
host_ip, want = sys.argv[1], int(sys.argv[2])
lst = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
lst.bind(("", 9889))
tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
tx.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tx.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(host_ip))
tx.sendto(bytes([1]) + bytes(15), ("232.2.2.2", 9888))
replies = []
deadline = time.monotonic() + 2.0
while len(replies) < want + 1 and time.monotonic() < deadline:
    lst.settimeout(max(0.01, deadline - time.monotonic()) if len(replies) < want else 0.3)
    try:
        data, sender = lst.recvfrom(64)
    except socket.timeout:
        break
    replies.append([sender[0], data.hex()])
out = {"replies": replies}
if replies:
    ip = replies[0][0]
    port = struct.unpack("<H", bytes.fromhex(replies[0][1])[2:4])[0]
    c = socket.create_connection((ip, port), timeout=2)
    c.sendall(bytes([0xAF, 1, 1, 0xAD, 0]))
    c.settimeout(2)
    out["query"] = c.recv(2).hex()
print(json.dumps(out))
"""


def test_discovery_in_network_namespace(tmp_path):
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("network namespaces need root and iproute2")
    from netns import NetNS
    ready = tmp_path / "ready.json"
    with NetNS(addresses=("10.231.0.1/24", "10.231.0.2/24", "10.231.0.3/24")) as ns:
        ns.popen([PYTHON, str(TOOL), "--ready-file", str(ready), "--max-runtime", "30",
                  "--module", "serial=0012ABCD,model=19,address=6,ip=10.231.0.2,port=0",
                  "--module", "serial=0034CDEF,ip=10.231.0.3,discovery=0"],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(ready.exists, 10, "ready file")
        info = json.loads(ready.read_text())
        port = info["modules"][0]["port"]
        assert info["discovery"] is True
        r = ns.run([PYTHON, "-c", PROBE, "10.231.0.1", "1"], timeout=20)
        assert r.returncode == 0, r.stderr
        out = json.loads(r.stdout)
        expected = bytes([0, 6]) + struct.pack("<H", port) + struct.pack("<I", 0x0012ABCD) \
            + bytes(4) + bytes([19]) + bytes(3)
        assert out["replies"] == [["10.231.0.2", expected.hex()]]
        assert out["query"] == "0600"
