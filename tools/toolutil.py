"""Small pieces the stand-ins of this directory all need: files replaced
atomically (state, ready and port files that tests poll, so a reader never
sees half of one), integers from the command line in any base Python
reads, the READY announcement of a stand-in that is up, the time-stamped
trace its -v writes to standard error, and SIGTERM/SIGINT as a request to
stop.
"""
import json
import os
import signal
import sys
import time


def atomic_write(path, data):
    """Replace path with data so that readers never see a partial file."""
    if isinstance(data, str):
        data = data.encode()
    tmp = "%s.tmp%d" % (path, os.getpid())
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def write_json_atomic(path, obj):
    atomic_write(path, json.dumps(obj, indent=1, sort_keys=True) + "\n")


def parse_int(text):
    """Integer in decimal or with a 0x/0o/0b prefix (argparse type)."""
    return int(str(text).strip(), 0)


def parse_u32(text):
    value = parse_int(text)
    if not 0 <= value <= 0xFFFFFFFF:
        raise ValueError("not a 32-bit unsigned value: %s" % text)
    return value


def announce_ready(ready_file, ready):
    """Writes ready to ready_file (when given) and prints it as a READY line."""
    if ready_file:
        write_json_atomic(ready_file, ready)
    sys.stdout.write("READY %s\n" % json.dumps(ready, sort_keys=True))
    sys.stdout.flush()


def stderr_log(text):
    sys.stderr.write("%.3f %s\n" % (time.monotonic(), text))
    sys.stderr.flush()


def on_stop_signals(handler):
    signal.signal(signal.SIGTERM, handler)
    signal.signal(signal.SIGINT, handler)
