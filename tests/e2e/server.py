"""The update server stand-in and BIRD fixtures for end-to-end tests."""
import sys
import time
from pathlib import Path

from conftest import SYSTEM_PYTHON, TOOLS_DIR

sys.path.insert(0, str(TOOLS_DIR))
import birdpack  # noqa: E402
import update_server  # noqa: E402

SERVER_IP = "10.231.0.1"


class UpdateServer:
    """Runs tools/update_server.py in the updater's own namespace on a free
    port and reads back the requests it logged."""

    def __init__(self, ns, root, state_dir, faults=(), tls=None):
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        state_dir = Path(state_dir)
        state_dir.mkdir(parents=True, exist_ok=True)
        port_file = state_dir / "port"
        self.log_path = state_dir / "requests.log"
        self.faults_file = state_dir / "faults.json"
        self.faults_file.write_text("[]")
        cmd = [SYSTEM_PYTHON, str(TOOLS_DIR / "update_server.py"), "--root", str(self.root), "--host", SERVER_IP,
               "--port", "0", "--port-file", str(port_file), "--log", str(self.log_path), "--quiet",
               "--faults-file", str(self.faults_file), "--exit-after", "600"]
        for f in faults:
            cmd += ["--fault", f]
        if tls:
            cmd += ["--tls", *map(str, tls)]
        self.out = open(state_dir / "server.out", "w")
        self.proc = ns.popen(cmd, stdout=self.out, stderr=self.out)
        deadline = time.time() + 10
        while not port_file.exists():
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("update server did not start")
            time.sleep(0.02)
        self.port = int(port_file.read_text().strip())
        self.url = "%s://%s:%d/cgi/u" % ("https" if tls else "http", SERVER_IP, self.port)

    def set_faults(self, faults):
        import json
        self.faults_file.write_text(json.dumps(list(faults)))

    def requests(self):
        if not self.log_path.exists():
            return []
        return [update_server.parse_log_line(l) for l in self.log_path.read_text().splitlines() if l.strip()]

    def ops(self):
        return [r["op"] for r in self.requests()]

    def add_build(self, serial, build, version, model="Ironwood", **kw):
        """Writes a sample build into the server's tree; returns its path."""
        out = self.root / serial / ("%d.bird" % build)
        out.parent.mkdir(parents=True, exist_ok=True)
        desc = birdpack.sample_description(serial=serial, model=model, build=build, version=version, **kw)
        out.write_bytes(birdpack.build_bird(desc))
        return out

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except Exception:
                self.proc.kill()
        self.out.close()
