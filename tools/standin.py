"""Starting and stopping the stand-ins of this directory from tests and scripts.

Every stand-in says it is ready by writing a file once it listens: the port
file of the update server and the bootloader simulators, the ready file of
the virtual modules. start() runs one in a process group of its own (behind
an optional command prefix such as `ip netns exec NAME`, which execs into
it), waits for that file and gives up after a bounded time; stop() ends the
whole group, with SIGKILL when SIGTERM is not enough. A stand-in whose
starter dies without stopping it (a test process killed on a time-out, say)
gets SIGTERM from the kernel. Standard library only (and util-linux's
setpriv).
"""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

TOOLS = Path(__file__).resolve().parent
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
START_TIMEOUT_S = 10
# Command words that make the kernel send SIGTERM to the rest of the command
# when the process that started it dies; setpriv, ip netns exec, unshare and
# sh -c "exec ..." exec into what follows, so the signal reaches the program.
DIE_WITH_PARENT = ["setpriv", "--pdeathsig", "TERM"]


def stop_group(proc, timeout=5):
    """Ends proc's process group (SIGTERM, then SIGKILL after timeout seconds)
    and reaps proc; returns its exit status."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if proc.poll() is not None:
            break
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            continue
    return proc.wait(timeout=timeout)


class StandIn:
    """One running stand-in: its process, ready file and output log."""

    def __init__(self, proc, ready_file, log_path):
        self.proc = proc
        self.ready_file = Path(ready_file)
        self.log_path = Path(log_path)

    @property
    def ready(self):
        """What the stand-in wrote into its ready file."""
        return self.ready_file.read_text().strip()

    def stop(self, timeout=5):
        return stop_group(self.proc, timeout)


def start(script, args, ready_file, log_path, prefix=(), timeout=START_TIMEOUT_S):
    """Runs tools/<script> with args, standard output and error to log_path,
    and returns its StandIn once ready_file exists. A stand-in that exits or
    is not ready within timeout seconds is stopped and RuntimeError raised
    with its log."""
    ready_file, log_path = Path(ready_file), Path(log_path)
    cmd = DIE_WITH_PARENT + list(prefix) + [PYTHON, str(TOOLS / script)] + [str(a) for a in args]
    with open(log_path, "w") as log:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    standin = StandIn(proc, ready_file, log_path)
    deadline = time.monotonic() + timeout
    while not ready_file.exists():
        if proc.poll() is not None or time.monotonic() > deadline:
            standin.stop()
            raise RuntimeError("%s did not start:\n%s" % (script, log_path.read_text()))
        time.sleep(0.02)
    return standin
