"""ROM bootloader simulators on pseudo-terminals for end-to-end tests."""
import json
import time
from pathlib import Path

from conftest import SYSTEM_PYTHON, TOOLS_DIR


class BootSim:
    """tools/lpc_isp_sim.py or tools/imx_sdp_sim.py on a pty of its own."""

    def __init__(self, script, state_dir, args=()):
        self.state_dir = Path(state_dir)
        self.state_dir.mkdir(parents=True, exist_ok=True)
        port_file = self.state_dir / "port"
        self.out = open(self.state_dir / "sim.out", "w")
        import subprocess
        self.proc = subprocess.Popen([SYSTEM_PYTHON, str(TOOLS_DIR / script), "--port-file", str(port_file),
                                      "--state-dir", str(self.state_dir)] + list(args),
                                     stdout=self.out, stderr=self.out, start_new_session=True)
        deadline = time.time() + 10
        while not port_file.exists():
            if self.proc.poll() is not None or time.time() > deadline:
                raise RuntimeError("simulator did not start: %s" % (self.state_dir / "sim.out").read_text())
            time.sleep(0.02)
        self.port = port_file.read_text().strip()

    def log(self):
        path = self.state_dir / "log.json"
        return json.loads(path.read_text()) if path.exists() else {}

    def flash(self):
        return (self.state_dir / "flash.bin").read_bytes()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except Exception:
                self.proc.kill()
        self.out.close()
