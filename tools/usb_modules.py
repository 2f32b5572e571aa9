#!/usr/bin/python3
"""Keystrand modules and an i.MX serial downloader on an emulated USB bus.

The devices live in a umockdev testbed.  A program started with umockdev's
preload library (LD_PRELOAD=libumockdev-preload.so.0) and UMOCKDEV_DIR set
to the testbed's root sees them in sysfs, through udev and under /dev as
libusb and hidapi expect, and every ioctl, read and write on their device
nodes is answered here, in this process:

* A module (vendor 0x4B53, product id = 0x0100 + model, serial string of 8
  hexadecimal digits): a usbfs node.  Control URBs on endpoint 0 serve the
  descriptors and strings; the bulk OUT (0x01) and IN (0x81) endpoints of the
  vendor interface (class 0xFF, subclass 0x88, protocol 0x10) carry the
  module protocol into and out of virtual_module.py's engine (VirtualModule,
  LinkSession), the same engine that serves TCP there.  Claiming the
  interface opens a link session, releasing it (or closing the device) ends
  it.  When the engine leaves the link (LOAD, REBOOT, reset, drop faults)
  the module falls off the bus and enumerates again, with a new device
  number, once its offline time is over.
* The i.MX RT ROM in serial-download mode (1FC9:0130, HID): a hidraw node
  backed by imx_sdp_sim.py's SdpDevice.  Every write is one output report
  (report 1 a command, report 2 data); every read returns exactly one input
  report (3 the security word, 4 a response).  After JUMP_ADDRESS into
  loaded code the chip leaves the bus and, a moment later, the loader it
  runs appears as a module with the serial number DEADDEAD.

The bus is in usb_bus.py, its device nodes in usb_nodes.py, the devices in
usb_devices.py and the byte layouts in usb_layout.py; this file holds the
command line, and everything those modules define can be imported from here
as before.  Run `usb_modules.py --help` for the command line; tests import
UsbBus, ModuleUsbDevice and ImxHidDevice.
"""

import argparse
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import toolutil  # noqa: E402
import virtual_module  # noqa: E402
from usb_bus import *  # noqa: E402,F401,F403
from usb_devices import *  # noqa: E402,F401,F403
from usb_layout import *  # noqa: E402,F401,F403
from usb_nodes import *  # noqa: E402,F401,F403
from usb_bus import UsbBus  # noqa: E402
from usb_devices import MODULE_USB_KEYS, ImxHidDevice, ModuleUsbDevice  # noqa: E402
from usb_nodes import IMPORT_ERROR, UMockdev  # noqa: E402


# ---------------------------------------------------------------------------
# Command line

HELP_EPILOG = """\
--module takes virtual_module.py's module keys (see virtual_module.py
--help; the TCP keys ip, port, listen and discovery are ignored here) plus:
%s

--imx SDP_ARGS puts an i.MX chip in serial-download mode on the bus; SDP_ARGS
are imx_sdp_sim.py options in one string (e.g. "--cfg0 0x1 --cfg1 0x2").
--imx-loader SPEC is the module (keys as for --module) that appears after
the chip jumps into the code it received; default serial=DEADDEAD.

Once the bus is up, a READY line with the environment for the program under
test is printed (and written to --ready-file), for example:
  env $(jq -r '.env|to_entries[]|"\\(.key)=\\(.value)"' ready.json) build/bin/updater -D
State files: per module as in virtual_module.py; the chip's log.json and
load_*.bin under STATE_DIR/imx.
"""


def build_parser():
    keys = "\n".join("  %-16s %s" % kv for kv in MODULE_USB_KEYS.items())
    p = argparse.ArgumentParser(
        prog="usb_modules.py", allow_abbrev=False,
        description="Keystrand modules and an i.MX serial downloader on a umockdev USB bus.",
        formatter_class=argparse.RawDescriptionHelpFormatter, epilog=HELP_EPILOG % keys)
    p.add_argument("--module", action="append", default=[], metavar="SPEC",
                   help="a module, e.g. serial=0001ABCD,model=19,version=1.2.0,build=1200")
    p.add_argument("--imx", metavar="SDP_ARGS", help="an i.MX chip in serial-download mode")
    p.add_argument("--imx-loader", metavar="SPEC", default="serial=DEADDEAD",
                   help="the loader module that appears after the jump")
    p.add_argument("--state-dir", metavar="DIR", help="directory for the state files")
    p.add_argument("--ready-file", metavar="FILE", help="JSON with the environment, written when up")
    p.add_argument("--max-runtime", type=float, default=3600.0, metavar="S",
                   help="exit after this many seconds (default 3600)")
    p.add_argument("-v", "--verbose", action="store_true", help="trace events on standard error")
    return p


def main(argv=None):
    args = build_parser().parse_args(argv)
    if UMockdev is None:
        sys.stderr.write("usb_modules: umockdev bindings missing (python3-gi, "
                         "gir1.2-umockdev-1.0): %s\n" % IMPORT_ERROR)
        return 2
    log = toolutil.stderr_log if args.verbose else None
    try:
        devices = [ModuleUsbDevice.from_spec(s, args.state_dir, log) for s in args.module]
        imx = None
        if args.imx is not None:
            loader = ModuleUsbDevice.from_spec(args.imx_loader, args.state_dir, log)
            imx_state = os.path.join(args.state_dir, "imx") if args.state_dir else None
            imx = ImxHidDevice(args.imx.split(), imx_state, loader)
    except (virtual_module.ConfigError, ValueError) as e:
        sys.stderr.write("usb_modules: %s\n" % e)
        return 2
    if args.state_dir:
        os.makedirs(args.state_dir, exist_ok=True)
    bus = UsbBus(log)
    stop = threading.Event()
    toolutil.on_stop_signals(lambda *a: stop.set())
    try:
        for d in devices:
            bus.add(d, plugged=not d.plug_ms)
            if d.plug_ms:
                bus.plug_later(d, d.plug_ms / 1000.0)
        if imx is not None:
            bus.add(imx)
        ready = {"pid": os.getpid(), "env": bus.env(), "devices": [d.name for d in bus.devices]}
        toolutil.announce_ready(args.ready_file, ready)
        stop.wait(args.max_runtime)
    finally:
        bus.close()
    for e in bus.errors:
        sys.stderr.write("usb_modules: %s\n" % e)
    return 1 if bus.errors else 0


if __name__ == "__main__":
    sys.exit(main())
