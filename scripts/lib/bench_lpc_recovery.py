"""scripts/bench lpc-recovery: recovery of an LPC chip through its ROM
bootloader, timed against the serial line.

The updater writes a 64 KiB image (scrambled with the chip's identification
words, as recovery images are) into the LPC17xx ISP simulator on a
pseudo-terminal at 115200 bits per second. The figures: the wall time of the
whole recovery (identification, unlock, erase, the uuencoded writes with
their checksums, the copies to flash, the start), the serial line time of the
bytes the updater actually sent (10 bits per byte: start, 8 data, stop), and
their ratio. A pseudo-terminal has no line rate of its own, so the line time
is what a real port at that rate would need; the rest is the updater's own
pacing (sleeps computed from the rate, polls of 1 ms) and the chip's replies.
"""
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
import birdpack  # noqa: E402
from netns import private_home_prefix  # noqa: E402
import standin  # noqa: E402

HELP = "LPC recovery of a 64 KiB image at 115200 against the simulator: wall time against the serial line time"

WORDS = [0x1F0A2B3C, 0x8C4D5E6F, 0x00000042, 0xFEDCBA98]
BAUD = 115200


def add_arguments(p):
    p.add_argument("--size", type=int, default=64 * 1024, help="image payload bytes, a multiple of 4 (default 65536)")
    p.add_argument("--baud", type=int, default=BAUD, help="line rate of the transfer (default 115200)")
    p.add_argument("--runs", type=int, default=1, help="recoveries to run (default 1)")


def run(opts):
    if os.geteuid() != 0:
        print("scripts/bench lpc-recovery needs root (a private mount namespace keeps your home untouched)")
        return 2
    updater = Path(os.environ.get("UPDATER_BIN", ROOT / "build" / "bin" / "updater"))
    if not updater.exists():
        print("build the updater first (scripts/test or cmake --build build)")
        return 2
    status = 0
    for n in range(opts.runs):
        with tempfile.TemporaryDirectory(prefix="bench-lpc-") as tmp:
            tmp = Path(tmp)
            image = tmp / "recovery.bird"
            payload = birdpack.pseudo_random_bytes(opts.size, 11)
            image.write_bytes(birdpack.build_bird({
                "info": {"build": 1, "version": "1.0.0", "serial": "00000001", "model": "Ironwood"},
                "blocks": [{"type": 1, "address": "0x0", "payload": {"hex": payload.hex()}}],
                "scramble": {"key": ["%08X" % w for w in WORDS]},
            }))
            state = tmp / "sim"
            port_file = tmp / "port"
            sim = standin.start("lpc_isp_sim.py", ["--port-file", port_file, "--state-dir", state, "--device-id",
                                                   ",".join("0x%08X" % w for w in WORDS)], port_file, tmp / "sim.log")
            try:
                port = sim.ready
                home = tmp / "home"
                home.mkdir()
                cmd = private_home_prefix(home) + [str(updater), "-U", "-t", "RECOVER", "-s", port, "-o",
                                                   str(opts.baud), "-f", str(image)]
                start = time.monotonic()
                r = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
                wall = time.monotonic() - start
                log = json.loads((state / "log.json").read_text())
                flash = (state / "flash.bin").read_bytes()
            finally:
                sim.stop()
        sent = log["port"]["bytes_in"]
        line = sent * 10 / opts.baud
        ok = r.returncode == 0 and flash[:opts.size] == payload
        print("run %d: %s" % (n + 1, "recovered" if ok else "FAILED (exit %d)" % r.returncode))
        print("  wall time                  %8.3f s" % wall)
        print("  bytes sent by the updater  %8d" % sent)
        print("  serial line time at %6d %8.3f s (10 bits per byte)" % (opts.baud, line))
        print("  wall / line time           %8.3f" % (wall / line if line else float("nan")))
        if not ok:
            status = 1
            sys.stdout.write(r.stdout[-2000:] + r.stderr[-2000:])
    return status
