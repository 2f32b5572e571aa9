"""A stage for running the real updater with no hardware: a private network
namespace pair with virtual modules on the LAN side and the update server
stand-in on the host side, and a temporary home directory for the updater's
store. Shared by scripts/demo and scripts/bench.

Everything the stage starts is a child of this process and is ended by
Stage.close(), which runs on every way out of a `with Stage(...)` block;
install_exit_signals() turns SIGTERM and SIGHUP into such a way out.
"""
import contextlib
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
UPDATER = Path(os.environ.get("UPDATER_BIN", ROOT / "build" / "bin" / "updater"))

sys.path.insert(0, str(ROOT / "tools"))
from netns import NetNS, private_home_prefix  # noqa: E402
import birdpack  # noqa: E402
import standin  # noqa: E402

HOST_IP = "10.231.0.1"
# The LAN side's addresses, one per module (modules at one address would
# share one link, as modules behind a router do).
LAN_IPS = ["10.231.0.%d" % i for i in range(2, 34)]
SERVER_PORT = 8080          # the host namespace is private, so the port is free

# Effective capability bits (linux/capability.h).
CAP_NET_ADMIN = 12
CAP_SYS_ADMIN = 21


class NoPrivileges(Exception):
    """The namespaces cannot be made; the text says why and what to do."""


def missing_privileges():
    """Why this process cannot make network and mount namespaces, or None."""
    if os.geteuid() != 0:
        return "it runs as an ordinary user (uid %d), not as root" % os.geteuid()
    caps = 0
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("CapEff:"):
                    caps = int(line.split()[1], 16)
    except OSError:
        return None     # cannot tell; `ip netns add` will
    lacking = [name for bit, name in ((CAP_NET_ADMIN, "CAP_NET_ADMIN"), (CAP_SYS_ADMIN, "CAP_SYS_ADMIN"))
               if not caps >> bit & 1]
    if lacking:
        return "root here lacks %s (a restricted container?)" % " and ".join(lacking)
    return None


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived. A BaseException, like KeyboardInterrupt,
    so that it passes every `except Exception` on its way out."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


_holding = 0
_pending = None


def install_exit_signals():
    """SIGINT (as KeyboardInterrupt), SIGTERM and SIGHUP (as Stopped) end
    the program through the normal clean-up path, except inside
    signals_held(), which takes them when it ends."""
    def leave(signum, frame):
        global _pending
        if _holding:
            _pending = _pending or signum
            return
        _raise_for(signum)
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, leave)


def _raise_for(signum):
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Stopped(signum)


@contextlib.contextmanager
def signals_held():
    """Holds the exit signals back while something is made and recorded for
    clean-up (a namespace pair, a started child), so that a signal cannot
    land between the two and leak it. Only bounded steps go inside. (Not a
    signal mask: children would inherit it.)"""
    global _holding, _pending
    _holding += 1
    try:
        yield
    finally:
        _holding -= 1
        if not _holding and _pending:
            signum, _pending = _pending, None
            _raise_for(signum)


def guarded(name, body):
    """Runs body() (a benchmark on stages) and returns its exit status; the
    failures of a stage become one line on standard error and a status."""
    install_exit_signals()
    try:
        why = missing_privileges()
        if why:
            raise NoPrivileges(why)
        if not UPDATER.exists():
            print("%s: no %s; build it first (scripts/demo or scripts/test)" % (name, UPDATER), file=sys.stderr)
            return 1
        return body()
    except NoPrivileges as e:
        print("%s: cannot make network namespaces: %s; run it as root" % (name, e), file=sys.stderr)
        return 2
    except RuntimeError as e:
        print("%s: FAILED: %s" % (name, e), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\n%s: interrupted; cleaned up" % name, file=sys.stderr)
        return 130
    except Stopped as e:
        print("\n%s: stopped by %s; cleaned up" % (name, e), file=sys.stderr)
        return 128 + e.signum


def module_spec(serial, ip, model, version, build, **keys):
    """A --module spec for tools/virtual_module.py."""
    keys = dict(serial=serial, model=model, address=2, version=version, build=build, ip=ip, port=0, **keys)
    return ",".join("%s=%s" % kv for kv in keys.items())


class Run:
    """One finished updater run."""

    def __init__(self, status, lines, wall_s, user_s, sys_s):
        self.status = status
        self.lines = lines          # [(seconds since start, line)]; None when it wrote to the terminal
        self.wall_s = wall_s
        self.user_s = user_s        # CPU time of the process
        self.sys_s = sys_s

    @property
    def output(self):
        return None if self.lines is None else "".join(line for _, line in self.lines)


class Stage:
    def __init__(self, modules, keep=False):
        """modules: --module specs (see module_spec), one LAN address each.
        keep: leave the temporary directory behind (for inspection)."""
        self.keep = keep
        self.tmp = Path(tempfile.mkdtemp(prefix="ks-stage."))
        self.home = self.tmp / "home"
        self.tree = self.tmp / "server"
        self.vm_dir = self.tmp / "modules"
        for d in (self.home, self.tree, self.vm_dir):
            d.mkdir()
        self.ns = None
        self.children = []
        self.standins = []
        try:
            self._make_namespaces()
            self._start_modules(modules)
            self._start_server()
        except BaseException:
            self.close()
            raise

    # ---- setting up ----------------------------------------------------

    def _make_namespaces(self):
        try:
            with signals_held():
                self.ns = NetNS(addresses=(HOST_IP + "/24",), peer_addresses=tuple(ip + "/24" for ip in LAN_IPS))
        except subprocess.CalledProcessError as e:
            detail = (e.stderr or b"").decode(errors="replace").strip()
            raise NoPrivileges("`%s` failed: %s" % (" ".join(e.cmd), detail or "exit status %d" % e.returncode))

    def _start(self, script, args, ready_file, log, prefix):
        """A stand-in, recorded for close() before any signal is taken
        (start() is bounded: it gives up after standin.START_TIMEOUT_S)."""
        with signals_held():
            self.standins.append(standin.start(script, args, ready_file, log, prefix))

    def _start_modules(self, specs):
        ready = self.vm_dir / "ready.json"
        args = ["--state-dir", self.vm_dir, "--ready-file", ready, "--max-runtime", "3600"]
        for spec in specs:
            args += ["--module", spec]
        self._start("virtual_module.py", args, ready, self.vm_dir / "virtual_module.log", self.ns.peer_prefix())
        self.modules = json.loads(ready.read_text())["modules"]

    def _start_server(self):
        port_file = self.tmp / "server.port"
        self.server_log = self.tmp / "server.log"
        args = ["--root", self.tree, "--host", HOST_IP, "--port", SERVER_PORT, "--port-file", port_file, "--quiet",
                "--log", self.server_log, "--exit-after", "3600"]
        self._start("update_server.py", args, port_file, self.tmp / "server.out", self.ns.prefix())
        self.url = "http://%s:%d/cgi/u" % (HOST_IP, SERVER_PORT)

    def add_build(self, serial, build, version, model, **kw):
        """Writes a sample build (tools/birdpack.py) into the server's tree."""
        path = self.tree / serial / ("%d.bird" % build)
        path.parent.mkdir(parents=True, exist_ok=True)
        desc = birdpack.sample_description(serial=serial, model=model, build=build, version=version, **kw)
        path.write_bytes(birdpack.build_bird(desc))
        return path

    # ---- running the updater -------------------------------------------

    def updater_cmd(self, args):
        """The updater in the host namespace, in a private mount namespace
        with the stage's home over the password database's home."""
        return self.ns.prefix() + private_home_prefix(self.home) + [str(UPDATER)] + [str(a) for a in args]

    def run_updater(self, args, timeout, capture=True, on_line=None):
        """Runs the updater to its end (killed after timeout seconds).
        capture=True collects standard output and error as lines stamped
        with their arrival (the updater writes unbuffered); capture=False
        leaves both on the terminal, so that progress bars draw.
        on_line(seconds, line) is called for each captured line as it comes
        (on another thread; while it runs, the updater's later lines wait).
        ip netns exec, unshare and sh all exec into the next program, so the
        process reaped here is the updater and its rusage is the updater's
        (plus the two or three mount commands sh ran first)."""
        lines = [] if capture else None
        start = time.monotonic()
        with signals_held():
            proc = subprocess.Popen(self.updater_cmd(args), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE if capture else None,
                                    stderr=subprocess.STDOUT if capture else None, start_new_session=True)
            self.children.append(proc)
        reader, failed = None, []
        if capture:
            def read():
                for raw in proc.stdout:
                    line = (time.monotonic() - start, raw.decode("utf-8", "replace"))
                    lines.append(line)
                    if on_line is not None and not failed:
                        try:
                            on_line(*line)
                        except Exception as e:      # reported below; reading goes on
                            failed.append(e)
            reader = threading.Thread(target=read, daemon=True)
            reader.start()
        try:
            deadline = start + timeout
            while True:
                pid, wstatus, usage = os.wait4(proc.pid, os.WNOHANG)
                if pid == proc.pid:
                    break
                if time.monotonic() > deadline:
                    raise RuntimeError("updater %s: no end within %d s" % (" ".join(map(str, args)), timeout))
                time.sleep(0.005)
            wall = time.monotonic() - start
            proc.returncode = os.waitstatus_to_exitcode(wstatus)
            if reader is not None:
                reader.join(timeout=5)   # the pipe ends with the process
            if failed:
                raise failed[0]
            return Run(proc.returncode, lines, wall, usage.ru_utime, usage.ru_stime)
        finally:
            if proc.returncode is None:
                self._kill(proc)
            self.children.remove(proc)
            if proc.stdout is not None:
                proc.stdout.close()

    @staticmethod
    def _kill(proc):
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=5)
        except (subprocess.TimeoutExpired, ChildProcessError):
            pass

    # ---- the modules' side ---------------------------------------------

    def status(self, serial):
        path = self.vm_dir / ("%s.status.json" % serial)
        return json.loads(path.read_text()) if path.exists() else None

    def wait_status(self, serial, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            status = self.status(serial)
            if status is not None and predicate(status):
                return status
            if time.monotonic() > deadline:
                return None
            time.sleep(0.05)

    # ---- tearing down --------------------------------------------------

    def close(self):
        for proc in self.children:
            if proc.returncode is None:
                self._kill(proc)
        self.children = []
        for s in self.standins:     # the modules and the server
            s.stop()
        self.standins = []
        if self.ns is not None:
            self.ns.close()         # deletes both namespaces
            self.ns = None
        if not self.keep:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
