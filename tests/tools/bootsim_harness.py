"""Harness for the bootloader simulator self-tests.

Each test starts a simulator process, waits for its port file, opens the
published pty slave the way a host opens a serial port (raw, 8N1, reads that
return at once) and exchanges bytes with it under deadlines.
"""
import json
import os
import select
import signal
import subprocess
import sys
import termios
import time


TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
TOOLS = os.path.normpath(TOOLS)
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
sys.path.insert(0, TOOLS)

START_TIMEOUT_S = 5.0
READ_TIMEOUT_S = 1.0
QUIET_S = 0.12


def raw_8n1(fd, speed=termios.B115200, stop_bits=1):
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0
    attrs[1] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL
    if stop_bits == 2:
        attrs[2] |= termios.CSTOPB
    attrs[3] = 0
    attrs[4] = attrs[5] = speed
    attrs[6][termios.VMIN] = 0
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


class Sim:
    def __init__(self, tmp_path, script, args):
        self.state_dir = str(tmp_path / "state")
        self.port_file = str(tmp_path / "port")
        self.stdout_path = str(tmp_path / "stdout")
        self.fd = None
        self.rx = bytearray()      # received but not yet consumed by a test
        with open(self.stdout_path, "wb") as out:
            self.proc = subprocess.Popen(
                [PYTHON, os.path.join(TOOLS, script), "--port-file", self.port_file,
                 "--state-dir", self.state_dir] + list(args),
                stdout=out, stderr=subprocess.PIPE)
        deadline = time.monotonic() + START_TIMEOUT_S
        while not os.path.exists(self.port_file):
            if self.proc.poll() is not None:
                raise AssertionError("simulator exited: %s" % self.proc.stderr.read().decode())
            assert time.monotonic() < deadline, "no port file within %.0f s" % START_TIMEOUT_S
            time.sleep(0.005)
        with open(self.port_file) as f:
            self.path = f.read().strip()

    # --- port ----------------------------------------------------------

    def open(self, **line):
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        raw_8n1(self.fd, **line)
        return self.fd

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None
        self.rx.clear()

    def send(self, data):
        view = memoryview(data)
        deadline = time.monotonic() + READ_TIMEOUT_S
        while view:
            try:
                view = view[os.write(self.fd, view):]
            except BlockingIOError:
                assert time.monotonic() < deadline, "port does not take data"
                select.select([], [self.fd], [], 0.01)

    def _read_some(self, timeout):
        r, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        if not r:
            return b""
        try:
            return os.read(self.fd, 65536)
        except (BlockingIOError, OSError):
            return b""

    def read_exact(self, n, timeout=READ_TIMEOUT_S):
        deadline = time.monotonic() + timeout
        while len(self.rx) < n:
            left = deadline - time.monotonic()
            assert left > 0, "wanted %d bytes, got %r" % (n, bytes(self.rx))
            self.rx += self._read_some(min(left, 0.05))
        got = bytes(self.rx[:n])
        del self.rx[:n]
        return got

    def expect(self, data, timeout=READ_TIMEOUT_S):
        """The next bytes are exactly data (more may follow)."""
        got = self.read_exact(len(data), timeout)
        assert got == data
        return got

    def read_until_quiet(self, quiet=QUIET_S, timeout=3.0):
        got = bytes(self.rx)
        self.rx.clear()
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            chunk = self._read_some(quiet)
            if not chunk:
                return got
            got += chunk
        return got

    def expect_silence(self, quiet=QUIET_S):
        got = bytes(self.rx) + self._read_some(quiet)
        assert got == b"", "expected silence, got %r" % got

    def transact(self, data, answer):
        """Send data; the answer starts with exactly `answer`.

        Anything extra shows up in the next exchange; an empty answer is
        checked by waiting for silence.
        """
        self.send(data)
        if answer:
            self.expect(answer)
        else:
            self.expect_silence()

    # --- state ---------------------------------------------------------

    def log(self):
        with open(os.path.join(self.state_dir, "log.json")) as f:
            return json.load(f)

    def file(self, name):
        with open(os.path.join(self.state_dir, name), "rb") as f:
            return f.read()

    def wait_log(self, predicate, timeout=2.0):
        deadline = time.monotonic() + timeout
        while True:
            log = self.log()
            if predicate(log):
                return log
            assert time.monotonic() < deadline, "log condition not reached: %r" % log
            time.sleep(0.01)

    def signal(self, signum):
        self.proc.send_signal(signum)

    def stop(self):
        """SIGTERM; returns the exit status."""
        self.close()
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
            raise AssertionError("simulator ignored SIGTERM")


def sim_starter(tmp_path):
    """Generator behind each test file's start_sim fixture.

    Yields start(script, *args, open_port=True), which launches a simulator;
    on teardown every simulator is stopped and must exit with status 0.
    """
    sims = []

    def start(script, *args, open_port=True, sub=None):
        base = tmp_path / (sub or "sim%d" % len(sims))
        base.mkdir()
        sim = Sim(base, script, args)
        sims.append(sim)
        if open_port:
            sim.open()
        return sim

    yield start
    failures = []
    for sim in sims:
        status = sim.stop()
        err = sim.proc.stderr.read().decode(errors="replace")
        sim.proc.stderr.close()
        if status != 0:
            failures.append("exit status %s: %s" % (status, err))
    # A simulator that crashed or could not stop cleanly fails the test.
    assert not failures, failures
