"""Fixtures shared by the end-to-end tests of the updater binary.

`updater` runs the real binary inside a fresh network namespace and a private
mount namespace whose password-database home directory is a temporary
directory, and returns exit status, stdout and stderr separately.
"""
import os
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from netns import NetNS, private_home_prefix, SYSTEM_PYTHON  # noqa: E402

SOURCE_DIR = Path(os.environ.get("UPDATER_SOURCE_DIR", Path(__file__).resolve().parents[2]))
UPDATER_BIN = Path(os.environ.get("UPDATER_BIN", SOURCE_DIR / "build" / "bin" / "updater"))
TOOLS_DIR = SOURCE_DIR / "tools"
GOLDEN_DIR = Path(__file__).resolve().parent / "golden"


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

    def __call__(self, *args, timeout=120, stdin=subprocess.DEVNULL, binary=None, store=None):
        """store: None, or "ro" / "full" for a read-only or full store
        (see netns.private_home_prefix)."""
        cmd = (self.ns.prefix() + private_home_prefix(self.home, store) + list(self.wrapper) +
               [str(binary or UPDATER_BIN)])
        cmd += [str(a) for a in args]
        proc = subprocess.run(cmd, capture_output=True, timeout=timeout, stdin=stdin)
        return Result(proc.returncode, proc.stdout.decode("utf-8", "replace"),
                      proc.stderr.decode("utf-8", "replace"))


@pytest.fixture
def netns():
    """The updater's host (10.231.0.1) and, on the other end of a veth pair,
    the LAN side where simulated modules listen (10.231.0.2 and up)."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    ns = NetNS(addresses=("10.231.0.1/24",),
               peer_addresses=tuple("10.231.0.%d/24" % i for i in range(2, 6)))
    try:
        yield ns
    finally:
        ns.close()


@pytest.fixture
def home(tmp_path):
    h = tmp_path / "home"
    h.mkdir()
    return h


@pytest.fixture
def modules(netns, tmp_path):
    """Starts virtual modules on the LAN side: modules(spec, ...) -> VirtualModules."""
    from vmodule import VirtualModules
    started = []

    def start(*specs, extra_args=()):
        vm = VirtualModules(netns, tmp_path / ("vm%d" % len(started)), list(specs), extra_args)
        started.append(vm)
        return vm

    yield start
    for vm in started:
        vm.stop()


@pytest.fixture
def updater(netns, home):
    assert UPDATER_BIN.exists(), "build the updater first (%s)" % UPDATER_BIN
    return UpdaterRunner(netns, home)


@pytest.fixture
def server(netns, tmp_path):
    """The update server stand-in on 10.231.0.1 serving tmp_path/tree."""
    from server import UpdateServer
    s = UpdateServer(netns, tmp_path / "tree", tmp_path / "server")
    yield s
    s.stop()
