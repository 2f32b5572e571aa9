#!/usr/bin/python3
"""Virtual Keystrand modules: a stand-in for real instrument modules.

One process runs one or more simulated modules.  Each top-level module
listens on its own TCP port and speaks the module protocol on it: packet
framing, link start/stop, address query and synchronisation, heartbeats, the
system entity UEIs the updater reads and writes, the build query, the debug
echo and the upgrade loader conversation (command 0x5F) into a simulated
flash.  A module can act as a router for child modules on its I2C network,
can answer the UDP discovery request, and can be told to misbehave through
fault switches.  Everything it saw is kept as JSON files in a state
directory, so tests can check what the host really did.

The protocol engine (`VirtualModule`, `LinkSession`) only turns bytes from
the host into bytes for the host and timer ticks into bytes; it knows
nothing about sockets.  `TcpTransport` puts it on TCP (and UDP discovery);
another transport (for example an emulated USB device) can drive the same
engine through `LinkSession.start/receive/poll/end` and `LinkSession.drop`.

The protocol is in vmod_protocol.py, the configuration in vmod_config.py,
the module in vmod_module.py, the engine of a connection in vmod_link.py and
the TCP transport in vmod_tcp.py; this file holds the command line, and
everything those modules define can be imported from here as before.  Run
`virtual_module.py --help` for the configuration reference.
"""

import argparse
import json
import os
import sys
import textwrap
import time

from toolutil import announce_ready, on_stop_signals, stderr_log
from vmod_config import *  # noqa: F401,F403
from vmod_link import *  # noqa: F401,F403
from vmod_module import *  # noqa: F401,F403
from vmod_protocol import *  # noqa: F401,F403
from vmod_tcp import *  # noqa: F401,F403
from vmod_config import MODULE_KEYS, ConfigError, build_configs, parse_module_spec
from vmod_module import VirtualModule
from vmod_tcp import TcpTransport


# --------------------------------------------------------------------------
# Command line

HELP_EPILOG = """\
module keys (--module/--child 'key=value,...' or JSON objects in --config):
%s

Numbers are decimal or 0x hexadecimal; serial numbers are always hexadecimal.
--child adds a child (a module on the router's I2C network) to the --module
before it; in JSON a module has a "children" list.  Children answer packets
addressed to their module address over the router's TCP link.

JSON config example:
  {"modules": [
     {"serial": "0001ABCD", "model": 19, "address": 2, "version": "1.2.0",
      "build": 1200, "port": 0, "fingerprint": [1, 2, 3, 4], "hb_ms": 0,
      "answer_absent": 3, "silent_addresses": [10],
      "uei_error": ["3:7:5"],
      "children": [{"serial": "0002BEEF", "address": 4, "model": 13}]}]}

Link behaviour:
  Leaving the link (LOAD in drop mode, REBOOT, system reset, the
  drop_after_data fault) resets every TCP connection of the module (RST,
  never FIN) and, for a non-zero offline time, closes its listening socket
  so that reconnects are refused, then listens on the same port again.
  After LOAD in drop mode the next connection starts with an unsolicited
  5F 02.  A child behind a router instead goes quiet for the offline time
  (and then announces 5F 02 over the router's link after LOAD).  After a
  restart the module reports the version and build of an ASCII marker
  KSFW-VERSION=x.y.z;BUILD=n; found in its flash, if any.
  Address queries (AD 00): of a run of queries read in one chunk, the first
  two are answered with an empty packet, so a lone query gets one answer and
  the 12-byte synchronisation request gets exactly "addr 0 addr 0".

State directory files (per module, serial as 8 upper-case hex digits),
rewritten atomically at most every 20 ms (memory files 250 ms) and always
before the module leaves a link or a connection ends:
  SERIAL.status.json  version, build, running (application/loader), stats
                      (host_packets total and host_packets_by_kind, data,
                      PREPARE/SUM/WRITE counts, link starts/stops, syncs,
                      heartbeats, connections, reboots, ...), route_to_me
                      and router_sets histories, loader_blocks,
                      firmware_blocks, protocol_errors, recent events
  SERIAL.flash.json   written flash: {"ranges": [{"address", "length",
                      "hex"}], "total_bytes"}
  SERIAL.ram.json     loader blocks (PREPARE and DATA never written to flash)
A router's host_packets counts everything on its link; a child's counts the
packets addressed to it.
Ready file: {"pid": ..., "discovery": bool, "modules": [{"serial",
"address", "host", "port", "ip", "children": [...]}, ...]}, written once
every port listens (also printed as a READY line on standard output).
"""


def _keys_help():
    lines = []
    for key, (_, default, text) in MODULE_KEYS.items():
        d = "" if default is None else " [%s]" % (
            ":".join(str(x) for x in default) if isinstance(default, list) else default)
        lines.append(textwrap.fill(text + d, width=79, initial_indent="  %-18s " % key,
                                   subsequent_indent=" " * 21))
    return "\n".join(lines)


def build_parser():
    p = argparse.ArgumentParser(
        prog="virtual_module.py",
        allow_abbrev=False,
        description="Simulated Keystrand modules on TCP (with UDP discovery), "
                    "for tests of the updater.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=HELP_EPILOG % _keys_help())
    p.add_argument("--module", action="append", default=[], metavar="SPEC",
                   help="a top-level module, e.g. serial=0001ABCD,model=19,address=2,"
                        "version=1.2.0,build=1200,port=0")
    p.add_argument("--child", action="append", default=[], metavar="SPEC",
                   help="a child of the preceding --module (router mode)")
    p.add_argument("--config", metavar="FILE", help="JSON file with a \"modules\" list")
    p.add_argument("--state-dir", metavar="DIR", help="directory for the state files")
    p.add_argument("--ready-file", metavar="FILE",
                   help="JSON with the actual ports, written once everything listens")
    p.add_argument("--no-discovery", action="store_true",
                   help="do not listen for UDP discovery requests")
    p.add_argument("--max-runtime", type=float, default=3600.0, metavar="S",
                   help="exit after this many seconds (default 3600)")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="trace packets and events on standard error")
    return p


def collect_raw_modules(argv, args):
    """--module/--child in command-line order, plus the --config file."""
    raw = []
    if args.config:
        try:
            with open(args.config) as f:
                doc = json.load(f)
        except (OSError, ValueError) as e:
            raise ConfigError("cannot read %s: %s" % (args.config, e))
        mods = doc.get("modules") if isinstance(doc, dict) else None
        if not isinstance(mods, list) or set(doc) != {"modules"}:
            raise ConfigError("%s: expected {\"modules\": [...]}" % args.config)
        for mod in mods:
            if not isinstance(mod, dict) or not isinstance(mod.get("children", []), list) \
                    or not all(isinstance(c, dict) for c in mod.get("children", [])):
                raise ConfigError("%s: a module is an object, children a list of objects"
                                  % args.config)
        raw.extend(mods)
    # argparse loses the interleaving of --module and --child; recover it.
    i = 0
    while i < len(argv):
        a = argv[i]
        opt, val = a, None
        if "=" in a and a.startswith("--"):
            opt, val = a.split("=", 1)
        if opt in ("--module", "--child"):
            if val is None:
                i += 1
                val = argv[i] if i < len(argv) else ""
            spec = parse_module_spec(val)
            if opt == "--module":
                raw.append(spec)
            else:
                if not raw:
                    raise ConfigError("--child before any --module")
                raw[-1].setdefault("children", []).append(spec)
        i += 1
    return raw


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        configs = build_configs(collect_raw_modules(argv, args))
    except ConfigError as e:
        parser.error(str(e))
    if args.max_runtime <= 0:
        parser.error("--max-runtime must be positive")
    if args.state_dir:
        os.makedirs(args.state_dir, exist_ok=True)

    log = stderr_log if args.verbose else None

    modules = [VirtualModule(c, args.state_dir, log) for c in configs]
    transport = TcpTransport(modules, log, discovery=not args.no_discovery)

    def stop(signum, frame_):
        transport.request_stop()
    on_stop_signals(stop)

    try:
        transport.open()
    except OSError as e:
        sys.stderr.write("virtual_module: cannot listen: %s\n" % e)
        transport.close()
        return 1
    now = time.monotonic()
    for m in modules:
        m.flush(now, force=True)
    ready = {"pid": os.getpid(), "discovery": transport.discovery_sock is not None,
             "modules": transport.describe()}
    announce_ready(args.ready_file, ready)
    transport.run(now + args.max_runtime)
    return 0


if __name__ == "__main__":
    sys.exit(main())
