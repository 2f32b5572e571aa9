"""Fixtures of the end-to-end tests: `updater` runs the binary in a network
namespace of its own and a private mount namespace whose password-database
home is a temporary directory; `sims` starts the stand-ins of tools/ for one
test and stops them when it ends. Each test has its own namespaces, files and
ports, so tests may run in parallel.
"""
import json
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest

SOURCE_DIR = Path(os.environ.get("UPDATER_SOURCE_DIR", Path(__file__).resolve().parents[2]))
UPDATER_BIN = Path(os.environ.get("UPDATER_BIN", SOURCE_DIR / "build" / "bin" / "updater"))

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
# The chip of tools/lpc_isp_sim.py: its identification words (fingerprint and
# decoding key); the server names device 0042F00D build 3100 for it.
CHIP_WORDS = [0x1F0A2B3C, 0x8C4D5E6F, 0x00000042, 0xFEDCBA98]
CHIP_SERIAL = "0042F00D"
CHIP_BUILD = 3100
LOADER_CODE = birdpack.pseudo_random_bytes(2500, 5)


class Result:
    def __init__(self, proc):
        self.status = proc.returncode
        self.stdout = proc.stdout.decode("utf-8", "replace")
        self.stderr = proc.stderr.decode("utf-8", "replace")
        self.out_lines = self.stdout.splitlines()
        self.err_lines = self.stderr.splitlines()


class UpdaterRunner:
    def __init__(self, ns, home):
        self.ns = ns
        self.home = home
        # Command words put before the binary, inside both namespaces.
        self.wrapper = []

    @property
    def store(self):
        return self.home / ".orvantis" / "updater"

    def __call__(self, *args, timeout=120, store=None):
        """store: None, "ro" or "full" (see netns.private_home_prefix)."""
        cmd = self.ns.prefix() + private_home_prefix(self.home, store) + self.wrapper + [str(UPDATER_BIN)]
        proc = subprocess.run(cmd + [str(a) for a in args], capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)
        return Result(proc)


def module_spec(serial, ip_index=0, **keys):
    """A --module spec of tools/virtual_module.py."""
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
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def serve_loader(server):
    """The default recovery loader: LOADER_CODE for RAM at 0x20000000, started at 0x20000400."""
    server.put("DEADDEAD", 7, birdpack.build_bird({
        "info": {"build": 7, "version": "0.0.7", "serial": "DEADDEAD", "model": "Ironwood"},
        "blocks": [{"type": 0, "address": "0x20000000", "payload": {"hex": LOADER_CODE.hex()}}],
        "loader_start": "0x20000400"}))


def serve_recovery(server, payload, **desc):
    """The chip's recovery image (payload at 0x4000 and the 4-byte end marker,
    coded with CHIP_WORDS) and the server's answer for the chip's fingerprint."""
    desc.update(info={"build": CHIP_BUILD, "version": "3.1.0", "serial": CHIP_SERIAL, "model": "Ironwood"},
                blocks=[{"type": 1, "address": "0x4000", "payload": {"hex": payload.hex()}},
                        {"type": 1, "address": "0x20000", "payload": {"hex": "01020304"}}],
                scramble={"key": ["%08X" % w for w in CHIP_WORDS]})
    server.put(CHIP_SERIAL, CHIP_BUILD, birdpack.build_bird(desc))
    fingerprint = " ".join("%08X" % w for w in CHIP_WORDS)
    (server.root / "recovery").write_text("%s %s %d\n" % (fingerprint, CHIP_SERIAL, CHIP_BUILD))


class Modules:
    """tools/virtual_module.py and its state files."""

    def __init__(self, state_dir, ready):
        self.state_dir = state_dir

    def status(self, serial):
        path = self.state_dir / ("%s.status.json" % serial)
        return json.loads(path.read_text()) if path.exists() else None

    def wait_status(self, serial, predicate, timeout=5.0):
        def check():
            status = self.status(serial)
            return status if status is not None and predicate(status) else None
        return wait_for(check, timeout)

    def flash(self, serial):
        """{address: bytes} of each written range."""
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
        path = self.root / serial / ("%d.bird" % build)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def add_build(self, serial, build, version, model="Ironwood", **kw):
        desc = birdpack.sample_description(serial=serial, model=model, build=build, version=version, **kw)
        return self.put(serial, build, birdpack.build_bird(desc))


class Chip:
    def __init__(self, state_dir, port):
        self.state_dir = state_dir
        self.port = port

    def log(self):
        path = self.state_dir / "log.json"
        return json.loads(path.read_text()) if path.exists() else {}

    def flash(self):
        return (self.state_dir / "flash.bin").read_bytes()


class Sims:
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
        """The update server (one per test); tls: certificate and key files."""
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
    """The updater's side (HOST_IP) and the modules' LAN side (MODULE_IPS)."""
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
