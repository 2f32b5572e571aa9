"""Fixtures shared by the end-to-end tests of the updater binary.

`updater` runs the real binary inside a fresh network namespace and a private
mount namespace whose password-database home directory is a temporary
directory, and returns exit status, stdout and stderr separately. `sims`
starts the stand-ins of tools/ for one test (virtual modules on the LAN side
of that namespace, the update server on the updater's side, bootloader
simulators on pseudo-terminals) and stops them all when the test ends.

Every test has its own namespaces (named after the process), temporary
directories and ephemeral ports, so tests may run in parallel processes.
"""
import json
import os
import re
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("UPDATER_SOURCE_DIR", Path(__file__).resolve().parents[2]))
UPDATER_BIN = Path(os.environ.get("UPDATER_BIN", SOURCE_DIR / "build" / "bin" / "updater"))
GOLDEN_DIR = Path(__file__).resolve().parent / "golden"

sys.path.insert(0, str(SOURCE_DIR / "tools"))
import birdpack  # noqa: E402,F401 (for the test files)
import standin  # noqa: E402
from netns import NetNS, passwd_home, private_home_prefix, SYSTEM_PYTHON  # noqa: E402,F401

BANNER = "Updater (Version: 1.1 Apr 26 2023)"
UPDATE_TIME = re.compile(r"^Update time: \d+\.\d{4} sec$")
HOST_IP = "10.231.0.1"
# Addresses of the LAN side; each module gets its own, as real modules have.
MODULE_IPS = ["10.231.0.%d" % i for i in range(2, 6)]
# The store as the updater names it: under the password database's home.
STORE = os.path.join(passwd_home(), ".orvantis", "updater")


@dataclass
class Result:
    status: int
    stdout: str
    stderr: str

    @property
    def out_lines(self):
        return self.stdout.splitlines()

    @property
    def err_lines(self):
        return self.stderr.splitlines()


class UpdaterRunner:
    """Runs the updater binary isolated from the machine's network and home."""

    def __init__(self, ns, home):
        self.ns = ns
        self.home = home
        # Command words put before the binary (inside both namespaces), e.g.
        # `env VAR=value` for an emulated USB bus.
        self.wrapper = []

    @property
    def store(self):
        return self.home / ".orvantis" / "updater"

    def __call__(self, *args, timeout=120, store=None):
        """store: None, or "ro" / "full" for a read-only or full store
        (see netns.private_home_prefix)."""
        cmd = self.ns.prefix() + private_home_prefix(self.home, store) + self.wrapper + [str(UPDATER_BIN)]
        proc = subprocess.run(cmd + [str(a) for a in args], capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
        return Result(proc.returncode, proc.stdout.decode("utf-8", "replace"),
                      proc.stderr.decode("utf-8", "replace"))


def module_spec(serial, ip_index=0, **keys):
    """A --module spec of tools/virtual_module.py, the module on its own LAN address."""
    keys.setdefault("ip", MODULE_IPS[ip_index])
    keys.setdefault("port", 0)
    return ",".join(["serial=%s" % serial] + ["%s=%s" % kv for kv in keys.items()])


def snapshot(root):
    """Every file under root, path -> bytes."""
    if not root.exists():
        return {}
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def settings(store, serial):
    """The device's settings file as a dict ({} when there is none)."""
    path = store / serial / ".settings"
    text = path.read_text() if path.exists() else ""
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def wait_for(predicate, timeout=5.0):
    """Polls predicate until it returns something true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


class Modules:
    """tools/virtual_module.py and its state files."""

    def __init__(self, state_dir, ready):
        self.state_dir = state_dir

    def status(self, serial):
        path = self.state_dir / ("%s.status.json" % serial)
        return json.loads(path.read_text()) if path.exists() else None

    def wait_status(self, serial, predicate, timeout=5.0):
        """The module's status once predicate(status) holds (None if it never does)."""
        def check():
            status = self.status(serial)
            return status if status is not None and predicate(status) else None
        return wait_for(check, timeout)

    def flash(self, serial):
        """The module's written flash as {address: bytes} of contiguous ranges."""
        path = self.state_dir / ("%s.flash.json" % serial)
        ranges = json.loads(path.read_text())["ranges"] if path.exists() else []
        return {r["address"]: bytes.fromhex(r["hex"]) for r in ranges}


class Server:
    """tools/update_server.py serving root, and the requests it logged."""

    def __init__(self, root, scheme, state_dir, port):
        self.root = root
        self.log_path = state_dir / "requests.log"
        self.faults_file = state_dir / "faults.json"
        self.port = int(port)
        self.url = "%s://%s:%d/cgi/u" % (scheme, HOST_IP, self.port)

    def set_faults(self, faults):
        self.faults_file.write_text(json.dumps(list(faults)))

    def requests(self):
        import update_server
        text = self.log_path.read_text() if self.log_path.exists() else ""
        return [update_server.parse_log_line(line) for line in text.splitlines() if line.strip()]

    def ops(self):
        return [r["op"] for r in self.requests()]

    def put(self, serial, build, data):
        """Serves data as build of serial; returns its path."""
        path = self.root / serial / ("%d.bird" % build)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def add_build(self, serial, build, version, model="Ironwood", **kw):
        """Serves a sample build (tools/birdpack.py); returns its path."""
        desc = birdpack.sample_description(serial=serial, model=model, build=build, version=version, **kw)
        return self.put(serial, build, birdpack.build_bird(desc))


class Chip:
    """A ROM bootloader simulator on a pseudo-terminal of its own."""

    def __init__(self, state_dir, port):
        self.state_dir = state_dir
        self.port = port

    def log(self):
        path = self.state_dir / "log.json"
        return json.loads(path.read_text()) if path.exists() else {}

    def flash(self):
        return (self.state_dir / "flash.bin").read_bytes()


class Sims:
    """The stand-ins one test started; close() stops them all."""

    def __init__(self, ns, tmp):
        self.ns, self.tmp = ns, tmp
        self.running = []
        self._server = None

    def _start(self, script, args, ready_name, prefix=()):
        state = self.tmp / ("sim%d" % len(self.running))
        state.mkdir()
        s = standin.start(script, [str(a).format(state=state) for a in args], state / ready_name, state / "out.log",
                          prefix)
        self.running.append(s)
        return state, s.ready

    def modules(self, *modules):
        """Virtual modules on the LAN side; each entry is a --module spec, or
        (spec, [child specs]) for a router."""
        args = ["--state-dir", "{state}", "--ready-file", "{state}/ready.json", "--max-runtime", "600"]
        for m in modules:
            spec, children = (m, []) if isinstance(m, str) else m
            args += ["--module", spec] + [w for c in children for w in ("--child", c)]
        return Modules(*self._start("virtual_module.py", args, "ready.json", self.ns.peer_prefix()))

    def server(self, tls=()):
        """The update server on the updater's side (one per test); tls: its
        certificate and key files, for HTTPS."""
        if self._server is None:
            root = self.tmp / "tree"
            root.mkdir()
            args = ["--root", root, "--host", HOST_IP, "--port", "0", "--port-file", "{state}/port",
                    "--log", "{state}/requests.log", "--quiet", "--faults-file", "{state}/faults.json",
                    "--exit-after", "600"] + (["--tls", *tls] if tls else [])
            self._server = Server(root, "https" if tls else "http",
                                  *self._start("update_server.py", args, "port", self.ns.prefix()))
        return self._server

    def chip(self, kind, *args):
        """tools/lpc_isp_sim.py ("lpc") or tools/imx_sdp_sim.py ("imx") with
        the given switches."""
        if kind == "imx":
            # An incomplete command is dropped, so the LPC handshake the
            # updater tries first does not swallow the i.MX commands.
            args = ("--frame-timeout-ms", "200") + args
        script = {"lpc": "lpc_isp_sim.py", "imx": "imx_sdp_sim.py"}[kind]
        # A ROM answers at once, and the updater reads a reply some 20 ms
        # after its command: the simulator runs at a higher priority, so that
        # the other tests' processes delay it less.
        return Chip(*self._start(script, ["--port-file", "{state}/port", "--state-dir", "{state}"] + list(args),
                                 "port", ["nice", "-n", "-10"]))

    def close(self):
        for s in self.running:
            s.stop()


@pytest.fixture
def netns():
    """The updater's host (10.231.0.1) and, on the other end of a veth pair,
    the LAN side where simulated modules listen (10.231.0.2 and up)."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    ns = NetNS(addresses=(HOST_IP + "/24",), peer_addresses=tuple(ip + "/24" for ip in MODULE_IPS))
    yield ns
    ns.close()


@pytest.fixture
def home(tmp_path):
    h = tmp_path / "home"
    h.mkdir()
    return h


@pytest.fixture
def updater(netns, home):
    assert UPDATER_BIN.exists(), "build the updater first (%s)" % UPDATER_BIN
    return UpdaterRunner(netns, home)


@pytest.fixture
def sims(netns, tmp_path):
    s = Sims(netns, tmp_path)
    yield s
    s.close()


@pytest.fixture
def server(sims):
    return sims.server()
