"""Virtual modules for end-to-end tests, run on the LAN side of a NetNS."""
import json
import os
import time
from pathlib import Path

from conftest import SYSTEM_PYTHON, TOOLS_DIR

# Addresses of the LAN side; each module gets its own, as real modules have.
MODULE_IPS = ["10.231.0.%d" % i for i in range(2, 6)]


class VirtualModules:
    def __init__(self, ns, state_dir, modules, extra_args=()):
        """modules: list of spec strings for --module, or (spec, [child specs])."""
        self.state_dir = Path(state_dir)
        self.state_dir.mkdir(parents=True, exist_ok=True)
        ready = self.state_dir / "ready.json"
        cmd = [SYSTEM_PYTHON, str(TOOLS_DIR / "virtual_module.py"), "--state-dir", str(self.state_dir),
               "--ready-file", str(ready), "--max-runtime", "600"]
        for m in modules:
            spec, children = (m, []) if isinstance(m, str) else m
            cmd += ["--module", spec]
            for c in children:
                cmd += ["--child", c]
        cmd += list(extra_args)
        self.log = open(self.state_dir / "virtual_module.log", "w")
        self.proc = ns.peer_popen(cmd, stdout=self.log, stderr=self.log)
        deadline = time.time() + 10
        while not ready.exists():
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("virtual module did not start: %s" %
                                   (self.state_dir / "virtual_module.log").read_text())
            time.sleep(0.02)
        self.ready = json.loads(ready.read_text())

    def status(self, serial):
        path = self.state_dir / ("%s.status.json" % serial)
        return json.loads(path.read_text()) if path.exists() else None

    def wait_status(self, serial, predicate, timeout=5.0):
        """Polls the module's status file until predicate(status) holds."""
        deadline = time.time() + timeout
        status = None
        while time.time() < deadline:
            status = self.status(serial)
            if status is not None and predicate(status):
                return status
            time.sleep(0.05)
        return status

    def flash(self, serial):
        """The module's written flash as {address: bytes} of contiguous ranges."""
        path = self.state_dir / ("%s.flash.json" % serial)
        if not path.exists():
            return {}
        data = json.loads(path.read_text())
        return {r["address"]: bytes.fromhex(r["hex"]) for r in data["ranges"]}

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except Exception:
                self.proc.kill()
        self.log.close()


def module_spec(serial, ip_index=0, **keys):
    """A --module spec with the module on its own LAN address."""
    keys.setdefault("ip", MODULE_IPS[ip_index])
    keys.setdefault("port", 0)
    return ",".join(["serial=%s" % serial] + ["%s=%s" % (k, v) for k, v in keys.items()])
