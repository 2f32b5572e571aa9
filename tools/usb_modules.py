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

Plumbing facts this rests on:

* umockdev hands ioctls, reads and writes of an attached node to an
  IoctlBase on one worker thread per testbed.  Handlers here never block:
  a URB is accepted at once and finished later, when the device has an
  answer, by making it reapable and ringing the node's doorbell.
* A client polls the node's file.  The node is a FIFO whose capacity is cut
  to one page, so a single byte decides readiness: usbfs clients (libusb)
  poll for POLLOUT, so the byte sits in the FIFO while nothing can be
  reaped; hidraw clients (hidapi) poll for POLLIN, so the byte sits there
  while a report is waiting.  A plain file would always poll ready and make
  libusb spin.
* libusb reads string descriptors with control URBs, not from sysfs, and
  opens a device several times (enumeration, then the link), so URB state is
  kept per client.  hidapi needs HIDIOCGRDESCSIZE to answer and reads the
  report descriptor through the hidraw node's `device` link.
* ioctl numbers and the URB layout below are those of LP64 Linux with the
  generic ioctl encoding (x86_64, aarch64).

Run `usb_modules.py --help` for the command line; tests import UsbBus,
ModuleUsbDevice and ImxHidDevice.
"""

import argparse
import errno
import fcntl
import heapq
import itertools
import os
import platform
import shutil
import struct
import sys
import threading
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import imx_sdp_sim  # noqa: E402
import simpty  # noqa: E402
import toolutil  # noqa: E402
import virtual_module  # noqa: E402

try:
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import GLib, UMockdev
except (ImportError, ValueError) as _e:  # pragma: no cover - depends on the machine
    UMockdev = None
    IMPORT_ERROR = str(_e)
else:
    IMPORT_ERROR = None

PRELOAD_LIBRARY = "libumockdev-preload.so.0"

KEYSTRAND_VENDOR = 0x4B53
IMX_VENDOR = 0x1FC9
IMX_PRODUCT = 0x0130

MODULE_INTERFACE = (0xFF, 0x88, 0x10)
EP_OUT = 0x01
EP_IN = 0x81
MAX_PACKET = 64

# ---------------------------------------------------------------------------
# Kernel interface (LP64, generic ioctl encoding)

_IOC_NONE, _IOC_WRITE, _IOC_READ = 0, 1, 2


def _ioc(direction, kind, nr, size):
    return (direction << 30) | (size << 16) | (ord(kind) << 8) | nr


URB_SIZE = 56           # struct usbdevfs_urb without iso descriptors
URB_STATUS = 4
URB_BUFFER = 16
URB_BUFFER_LENGTH = 24
URB_ACTUAL_LENGTH = 28
URB_TYPE_CONTROL = 2
URB_TYPE_BULK = 3
URB_TYPE_INTERRUPT = 1

USBDEVFS_RESETEP = _ioc(_IOC_READ, "U", 3, 4)
USBDEVFS_SETINTERFACE = _ioc(_IOC_READ, "U", 4, 8)
USBDEVFS_SETCONFIGURATION = _ioc(_IOC_READ, "U", 5, 4)
USBDEVFS_SUBMITURB = _ioc(_IOC_READ, "U", 10, URB_SIZE)
USBDEVFS_DISCARDURB = _ioc(_IOC_NONE, "U", 11, 0)
USBDEVFS_REAPURB = _ioc(_IOC_WRITE, "U", 12, 8)
USBDEVFS_REAPURBNDELAY = _ioc(_IOC_WRITE, "U", 13, 8)
USBDEVFS_DISCSIGNAL = _ioc(_IOC_READ, "U", 14, 16)
USBDEVFS_CLAIMINTERFACE = _ioc(_IOC_READ, "U", 15, 4)
USBDEVFS_RELEASEINTERFACE = _ioc(_IOC_READ, "U", 16, 4)
USBDEVFS_IOCTL = _ioc(_IOC_READ | _IOC_WRITE, "U", 18, 16)
USBDEVFS_RESET = _ioc(_IOC_NONE, "U", 20, 0)
USBDEVFS_CLEAR_HALT = _ioc(_IOC_READ, "U", 21, 4)
USBDEVFS_GET_CAPABILITIES = _ioc(_IOC_READ, "U", 26, 4)
USBDEVFS_GET_SPEED = _ioc(_IOC_NONE, "U", 31, 0)

# One URB per transfer whatever its size; continuation flags understood.
USBFS_CAPS = 0x02 | 0x04
USB_SPEED_HIGH = 3

HIDIOCGRDESCSIZE = _ioc(_IOC_READ, "H", 0x01, 4)
HIDIOCGRDESC = _ioc(_IOC_READ, "H", 0x02, 4 + 4096)
HIDIOCGRAWINFO = _ioc(_IOC_READ, "H", 0x03, 8)
HID_NAME_NR, HID_PHYS_NR, HID_UNIQ_NR = 0x04, 0x05, 0x08
BUS_USB = 3

F_SETPIPE_SZ = 1031

USB_MAJOR = 189
HIDRAW_MAJOR = 240


def platform_supported():
    """Whether the ioctl numbers and structure layouts above apply here."""
    return (sys.platform.startswith("linux") and struct.calcsize("P") == 8
            and platform.machine() in ("x86_64", "aarch64"))


# ---------------------------------------------------------------------------
# Descriptors

def device_descriptor(vendor, product, bcd_device=0x0100, device_class=0, strings=(1, 2, 3)):
    return struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, device_class, 0, 0, MAX_PACKET,
                       vendor, product, bcd_device, strings[0], strings[1], strings[2], 1)


def configuration_descriptor(interfaces):
    """interfaces: list of (class, subclass, protocol, [(address, attributes)], extra)."""
    body = b""
    for number, (cls, sub, proto, endpoints, extra) in enumerate(interfaces):
        body += struct.pack("<BBBBBBBBB", 9, 4, number, 0, len(endpoints), cls, sub, proto, 0)
        body += extra
        for address, attributes in endpoints:
            interval = 1 if attributes == 3 else 0
            body += struct.pack("<BBBBHB", 7, 5, address, attributes, MAX_PACKET, interval)
    return struct.pack("<BBHBBBBB", 9, 2, 9 + len(body), len(interfaces), 1, 0, 0x80, 50) + body


def string_descriptor(text):
    data = text.encode("utf-16-le")
    return bytes([2 + len(data), 3]) + data


LANGUAGES = bytes([4, 3, 0x09, 0x04])

# Vendor-defined HID reports of the serial downloader: 1 command (16 bytes)
# and 2 data (1024 bytes) out, 3 security word (4 bytes) and 4 response (64
# bytes) in.
SDP_REPORT_DESCRIPTOR = bytes([
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x85, 0x01, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x10, 0x91, 0x02,
    0x85, 0x02, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x96, 0x00, 0x04, 0x91, 0x02,
    0x85, 0x03, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x04, 0x81, 0x02,
    0x85, 0x04, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x40, 0x81, 0x02,
    0xC0,
])


def hid_class_descriptor(report_descriptor):
    return struct.pack("<BBHBBBH", 9, 0x21, 0x0111, 0, 1, 0x22, len(report_descriptor))


# ---------------------------------------------------------------------------
# Readiness of a device node

class Doorbell:
    """The FIFO that stands in for a device node, as far as poll() goes.

    Capacity is one page, so one byte makes a writer's POLLOUT go away and a
    reader's POLLIN appear.  usbfs clients poll for POLLOUT (ready_when_empty),
    hidraw clients for POLLIN.
    """

    def __init__(self, path, ready_when_empty):
        os.mkfifo(path, 0o666)
        self.path = path
        self.fd = os.open(path, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC)
        fcntl.fcntl(self.fd, F_SETPIPE_SZ, 4096)
        self.ready_when_empty = ready_when_empty
        self.holds_byte = False
        self.set(False)

    def set(self, ready):
        if self.fd is None:
            return
        want = (not ready) if self.ready_when_empty else ready
        if want and not self.holds_byte:
            os.write(self.fd, b"\0")
            self.holds_byte = True
        elif not want and self.holds_byte:
            os.read(self.fd, 1)
            self.holds_byte = False

    def unlink(self):
        """The node disappears; clients that have it open keep polling the
        FIFO, so its state is still kept until close()."""
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass

    def close(self):
        self.unlink()
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


# ---------------------------------------------------------------------------
# The bus

class UsbBus:
    """A umockdev testbed with devices on bus 1 and a clock for their timers.

    All device state is guarded by `lock`; ioctl handlers take it on the
    testbed's worker thread, timers on the bus clock thread.  Testbed calls
    that add or remove devices are made without holding it.
    """

    BUS = 1

    def __init__(self, log=None):
        if UMockdev is None:
            raise RuntimeError("umockdev bindings are missing: %s" % IMPORT_ERROR)
        if not platform_supported():
            raise RuntimeError("usbfs layout of %s is not known here" % platform.machine())
        self.log = log
        self.lock = threading.RLock()
        self._cond = threading.Condition(self.lock)
        self.testbed = UMockdev.Testbed.new()
        # The testbed exports UMOCKDEV_DIR into this process; only the
        # program under test should see it.
        GLib.unsetenv("UMOCKDEV_DIR")
        self.root = self.testbed.get_root_dir()
        # libusb decides at start-up whether sysfs describes USB, and hidapi
        # whether hidraw exists; both must hold before the first plug.
        for d in ("sys/bus/usb/devices", "sys/class/hidraw", "dev/bus/usb/%03d" % self.BUS):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        self.devices = []
        self.errors = []
        self.events = []
        self._devnums = itertools.count(2)
        self._hidraw = itertools.count(0)
        self._ports = itertools.count(1)
        self._timers = []
        self._seq = itertools.count()
        self._stopping = False
        self._handlers = []     # keeps attached handlers alive
        self._doorbells = []
        self._clock = threading.Thread(target=self._clock_main, name="usb-bus-clock", daemon=True)
        self._clock.start()

    # ---- program environment ---------------------------------------------

    def env(self):
        """Environment for the program under test."""
        return {"UMOCKDEV_DIR": self.root, "LD_PRELOAD": PRELOAD_LIBRARY}

    def env_args(self):
        """The same as `env VAR=value ...` arguments."""
        return ["env"] + ["%s=%s" % kv for kv in sorted(self.env().items())]

    # ---- bookkeeping ---------------------------------------------------------

    def note(self, text):
        with self.lock:
            self.events.append((round(time.time(), 3), text))
            del self.events[:-500]
        if self.log:
            self.log(text)

    def error(self, text):
        with self.lock:
            self.errors.append(text)
        self.note("ERROR " + text)

    def add(self, device, plugged=True):
        """Adds a device to the bus (plugged in at once unless told not to)."""
        with self.lock:
            device.bus = self
            device.port = next(self._ports)
            self.devices.append(device)
        if plugged:
            self.plug(device)
        return device

    def find(self, name):
        with self.lock:
            for d in self.devices:
                if d.name == name:
                    return d
        return None

    # ---- timers ------------------------------------------------------------

    def call_later(self, delay, fn, *args):
        """Runs fn(*args) on the clock thread after delay seconds, unlocked."""
        with self.lock:
            heapq.heappush(self._timers, (time.monotonic() + max(0.0, delay), next(self._seq), fn, args))
            self._cond.notify()

    def wake(self):
        with self.lock:
            self._cond.notify()

    def _clock_main(self):
        while True:
            with self.lock:
                if self._stopping:
                    return
                now = time.monotonic()
                due = []
                while self._timers and self._timers[0][0] <= now:
                    due.append(heapq.heappop(self._timers))
                ticks = [d for d in self.devices if d.deadline() is not None and d.deadline() <= now]
                if not due and not ticks:
                    wake = [now + 0.5] + [t[0] for t in self._timers[:1]]
                    wake += [d.deadline() for d in self.devices if d.deadline() is not None]
                    self._cond.wait(max(0.0, min(wake) - now))
                    continue
            for _, _, fn, args in due:
                self._run(fn, *args)
            for d in ticks:
                self._run(d.tick, time.monotonic())

    def _run(self, fn, *args):
        try:
            fn(*args)
        except Exception:
            self.error("timer %r: %s" % (fn, traceback.format_exc()))

    # ---- plugging ------------------------------------------------------------

    def plug(self, device):
        with self.lock:
            if device.attachment is not None or self._stopping:
                return
            att = Attachment(self, device, next(self._devnums))
            device.attachment = att
        try:
            att.create()
        except Exception:
            self.error("plugging %s: %s" % (device.name, traceback.format_exc()))
            with self.lock:
                device.attachment = None
                att.vanish()
            att.destroy()
            return
        self.note("plugged %s as %03d/%03d" % (device.name, self.BUS, att.devnum))

    def unplug(self, device):
        with self.lock:
            att = device.attachment
            if att is None:
                return
            device.attachment = None
            att.vanish()
            device.unplugged(att)
        att.destroy()
        self.note("unplugged %s (%03d/%03d)" % (device.name, self.BUS, att.devnum))

    def plug_later(self, device, delay):
        self.call_later(delay, self.plug, device)

    def unplug_later(self, device, delay=0.0):
        self.call_later(delay, self.unplug, device)

    # ---- shutdown --------------------------------------------------------------

    def close(self):
        with self.lock:
            if self._stopping:
                return
            # No timer runs and nothing is plugged in from here on.
            self._stopping = True
            self._cond.notify()
            devices = list(self.devices)
        self._clock.join(timeout=5)
        for d in devices:
            self.unplug(d)
            d.save(final=True)
        try:
            self.testbed.clear()
        except Exception:
            pass
        self.testbed = None
        self._handlers = []
        for bell in self._doorbells:
            bell.close()
        self._doorbells = []
        shutil.rmtree(self.root, ignore_errors=True)


class Attachment:
    """One stay of a device on the bus: its device number, sysfs entries,
    device nodes and the clients that opened them."""

    def __init__(self, bus, device, devnum):
        self.bus = bus
        self.device = device
        self.devnum = devnum
        self.name = "%d-%d" % (bus.BUS, device.port)
        self.node = "/dev/bus/usb/%03d/%03d" % (bus.BUS, devnum)
        self.syspaths = []
        self.doorbells = []
        self.gone = False
        self.usbfs = None
        self.hidraw = None

    def path(self, node):
        return os.path.join(self.bus.root, node.lstrip("/"))

    def create(self):
        tb = self.bus.testbed
        dev = self.device
        # Node and handler first: a client reacting to the uevent must find both.
        self.usbfs = UsbfsNode(self)
        self._attach(self.node, self.usbfs, ready_when_empty=True)
        minor = (self.bus.BUS - 1) * 128 + self.devnum - 1
        descriptors = dev.descriptors()
        vendor, product, bcd = struct.unpack_from("<HHH", descriptors, 8)
        attributes = {
            "busnum": "%d" % self.bus.BUS, "devnum": "%d" % self.devnum, "speed": "480",
            "idVendor": "%04x" % vendor, "idProduct": "%04x" % product, "bcdDevice": "%04x" % bcd,
            "bConfigurationValue": "1", "bNumConfigurations": "1", "bNumInterfaces": "%2d" % 1,
            "devpath": "%d" % dev.port, "dev": "%d:%d" % (USB_MAJOR, minor),
            "maxchild": "0", "version": " 2.00",
        }
        for index, text in sorted(dev.strings().items()):
            key = {1: "manufacturer", 2: "product", 3: "serial"}.get(index)
            if key:
                attributes[key] = text
        properties = {
            "BUSNUM": "%03d" % self.bus.BUS, "DEVNUM": "%03d" % self.devnum,
            "DEVNAME": self.node, "DEVTYPE": "usb_device",
            "PRODUCT": "%x/%x/%x" % (vendor, product, bcd), "TYPE": "0/0/0",
            "MAJOR": "%d" % USB_MAJOR, "MINOR": "%d" % minor,
        }
        rel = "usb%d/%s" % (self.bus.BUS, self.name)
        parent = self.add_sysfs("usb", rel, attributes, properties)
        tb.set_attribute_binary(parent, "descriptors", descriptors)
        dev.create_children(self, rel)

    def add_sysfs(self, subsystem, rel, attributes, properties):
        """A device at /sys/devices/rel.  Parents are named by path, not
        passed as such: the testbed checks a parent against the file system
        as this process sees it, which is not redirected."""
        path = self.bus.testbed.add_device(subsystem, rel, None, _flat(attributes, "\n"), _flat(properties))
        if path is None:
            raise RuntimeError("testbed refused %s" % rel)
        self.syspaths.append(path)
        return path

    def _attach(self, node, handler, ready_when_empty):
        path = self.path(node)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        handler.doorbell = Doorbell(path, ready_when_empty)
        self.doorbells.append(handler.doorbell)
        self.bus._doorbells.append(handler.doorbell)
        self.bus.testbed.attach_ioctl(node, handler)
        self.bus._handlers.append(handler)

    def add_hidraw(self, hid_rel, handler):
        """A hidraw node below the HID device at /sys/devices/hid_rel."""
        index = next(self.bus._hidraw)
        node = "/dev/hidraw%d" % index
        self._attach(node, handler, ready_when_empty=False)
        self.hidraw = handler
        raw = self.add_sysfs("hidraw", "%s/hidraw/hidraw%d" % (hid_rel, index),
                             {"dev": "%d:%d" % (HIDRAW_MAJOR, index)},
                             {"DEVNAME": node, "MAJOR": "%d" % HIDRAW_MAJOR, "MINOR": "%d" % index})
        self.bus.testbed.set_attribute_link(raw, "device", "../..")
        return raw

    def vanish(self):
        """The device is gone: whatever a client waits for fails (lock held)."""
        self.gone = True
        for h in (self.usbfs, self.hidraw):
            if h is not None:
                h.vanish()

    def destroy(self):
        tb = self.bus.testbed
        if tb is not None:
            for path in reversed(self.syspaths):
                try:
                    tb.remove_device(path)
                except Exception as e:
                    self.bus.error("remove %s: %s" % (path, e))
        for d in self.doorbells:
            d.unlink()


def _flat(mapping, end=""):
    """{key: value} as the testbed's [key, value, ...]; sysfs attribute
    files end in a newline (libusb warns about those that do not)."""
    out = []
    for k, v in mapping.items():
        out += [k, v + end]
    return out


# ---------------------------------------------------------------------------
# Node handlers

class Urb:
    __slots__ = ("client", "address", "data", "buffer", "type", "endpoint", "length",
                 "status", "payload", "actual", "done", "setup")

    def __init__(self, client, address, data, buffer, kind, endpoint, length):
        self.client = client
        self.address = address
        self.data = data
        self.buffer = buffer
        self.type = kind
        self.endpoint = endpoint
        self.length = length
        self.status = None
        self.payload = b""
        self.actual = 0
        self.done = False
        self.setup = None

    def finish(self, status, payload=b"", actual=None):
        """Ends the transfer: payload is what an IN transfer returns, actual
        the byte count the host is told (default: the payload's)."""
        self.status = status
        self.payload = bytes(payload)
        self.actual = len(self.payload) if actual is None else actual
        self.done = True


class NodeHandler(UMockdev.IoctlBase if UMockdev is not None else object):
    """Base of the node handlers: dispatch under the bus lock, errors kept."""

    def __init__(self, attachment):
        super().__init__()
        self.att = attachment
        self.bus = attachment.bus
        self.device = attachment.device
        self.doorbell = None
        self._completed = False

    def _guard(self, fn, client):
        with self.bus.lock:
            self._completed = False
            try:
                fn(client)
            except Exception:
                self.bus.error("%s on %s: %s" % (fn.__name__, self.device.name, traceback.format_exc()))
                if not self._completed:
                    self.complete(client, -1, errno.EIO)
            self.refresh()
        return True

    def complete(self, client, result, error):
        """Finishes the client's call; exactly once per call."""
        self._completed = True
        client.complete(result, error)

    def do_handle_ioctl(self, client):
        return self._guard(self.ioctl, client)

    def do_handle_read(self, client):
        return self._guard(self.read, client)

    def do_handle_write(self, client):
        return self._guard(self.write, client)

    def do_client_connected(self, client):
        with self.bus.lock:
            self.connected(client)

    def do_client_vanished(self, client):
        with self.bus.lock:
            try:
                self.disconnected(client)
            except Exception:
                self.bus.error("close on %s: %s" % (self.device.name, traceback.format_exc()))
            self.refresh()

    def connected(self, client):
        pass

    def disconnected(self, client):
        pass

    def read(self, client):
        self.complete(client, -1, errno.EINVAL)

    def write(self, client):
        self.complete(client, -1, errno.EINVAL)

    def refresh(self):
        pass

    def vanish(self):
        pass


def _u32(data, offset=0):
    return struct.unpack_from("<I", data.retrieve(), offset)[0]


class UsbfsNode(NodeHandler):
    """/dev/bus/usb/BBB/DDD of one attachment: URBs, claims, halts."""

    def __init__(self, attachment):
        super().__init__(attachment)
        self.clients = {}       # client -> list of Urb in submission order
        self.claims = {}        # interface -> client

    def connected(self, client):
        self.clients.setdefault(client, [])

    def disconnected(self, client):
        self.clients.pop(client, None)
        for interface, owner in list(self.claims.items()):
            if owner is client:
                del self.claims[interface]
                self.device.released(self.att, interface)

    def refresh(self):
        # Only URBs to reap make the node ready.  A real node of a vanished
        # device polls POLLERR for good, which a FIFO cannot: libusb would
        # spin on it, so a client that has reaped its last URB waits instead
        # and learns of the loss from its next submission.
        ready = any(u.done for urbs in self.clients.values() for u in urbs)
        if self.doorbell is not None:
            self.doorbell.set(ready)

    def vanish(self):
        for urbs in self.clients.values():
            for u in urbs:
                if not u.done:
                    u.finish(-errno.ENODEV)
        self.refresh()

    def urbs(self, client):
        return self.clients.setdefault(client, [])

    def pending(self, endpoint):
        """Unfinished URBs for an endpoint, oldest first, over all clients."""
        return [u for urbs in self.clients.values() for u in urbs
                if not u.done and u.endpoint == endpoint]

    # ---- reads: the descriptors, as usbfs gives them ----------------------

    def read(self, client):
        arg = client.get_arg()
        want = len(arg.retrieve())
        data = self.device.descriptors()[:want]
        arg.update(0, data)
        self.complete(client, len(data), 0)

    # ---- ioctls ----------------------------------------------------------------

    def ioctl(self, client):
        request = client.get_request()
        arg = client.get_arg()
        if self.att.gone and request != USBDEVFS_REAPURBNDELAY and request != USBDEVFS_REAPURB:
            self.complete(client, -1, errno.ENODEV)
            return
        if request == USBDEVFS_SUBMITURB:
            self.submit(client, arg)
        elif request in (USBDEVFS_REAPURBNDELAY, USBDEVFS_REAPURB):
            self.reap(client, arg)
        elif request == USBDEVFS_DISCARDURB:
            self.discard(client, arg)
        elif request == USBDEVFS_GET_CAPABILITIES:
            arg.resolve(0, 4).update(0, struct.pack("<I", USBFS_CAPS))
            self.complete(client, 0, 0)
        elif request in (USBDEVFS_CLAIMINTERFACE, USBDEVFS_RELEASEINTERFACE):
            interface = _u32(arg.resolve(0, 4))
            self.claim(client, interface, request == USBDEVFS_CLAIMINTERFACE)
        elif request == USBDEVFS_CLEAR_HALT:
            endpoint = _u32(arg.resolve(0, 4))
            self.device.clear_halt(self.att, endpoint)
            self.complete(client, 0, 0)
        elif request == USBDEVFS_GET_SPEED:
            self.complete(client, USB_SPEED_HIGH, 0)
        elif request in (USBDEVFS_SETCONFIGURATION, USBDEVFS_SETINTERFACE, USBDEVFS_RESET,
                         USBDEVFS_RESETEP, USBDEVFS_DISCSIGNAL):
            self.complete(client, 0, 0)
        elif request == USBDEVFS_IOCTL:
            self.complete(client, -1, errno.ENODATA)       # no kernel driver bound
        else:
            self.complete(client, -1, errno.ENOTTY)

    def claim(self, client, interface, claim):
        owner = self.claims.get(interface)
        if claim:
            if owner is not None and owner is not client:
                self.complete(client, -1, errno.EBUSY)
                return
            if interface >= self.device.interface_count():
                self.complete(client, -1, errno.EINVAL)
                return
            if owner is None:
                self.claims[interface] = client
                self.device.claimed(self.att, interface)
        else:
            if owner is not client:
                self.complete(client, -1, errno.EINVAL)
                return
            del self.claims[interface]
            self.device.released(self.att, interface)
        self.complete(client, 0, 0)

    def submit(self, client, arg):
        head = arg.resolve(0, URB_SIZE)
        raw = head.retrieve()
        kind, endpoint = raw[0], raw[1]
        length = struct.unpack_from("<i", raw, URB_BUFFER_LENGTH)[0]
        address = head.client_addr
        buffer = head.resolve(URB_BUFFER, length) if length > 0 else None
        urb = Urb(client, address, head, buffer, kind, endpoint, length)
        if kind == URB_TYPE_CONTROL:
            if endpoint != 0 or length < 8:
                self.complete(client, -1, errno.EINVAL)
                return
            urb.setup = bytes(buffer.retrieve()[:8])
        elif kind not in (URB_TYPE_BULK, URB_TYPE_INTERRUPT) or not self.device.has_endpoint(endpoint):
            self.complete(client, -1, errno.EINVAL)
            return
        else:
            # usbfs claims an endpoint's interface on first use, as the
            # kernel does; someone else's claim makes it busy.
            interface = self.device.interface_of(endpoint)
            owner = self.claims.get(interface)
            if owner is not None and owner is not client:
                self.complete(client, -1, errno.EBUSY)
                return
            if owner is None:
                self.claims[interface] = client
                self.device.claimed(self.att, interface)
        self.urbs(client).append(urb)
        self.complete(client, 0, 0)
        if kind == URB_TYPE_CONTROL:
            self.device.control(self.att, urb)
        elif endpoint & 0x80:
            self.device.bulk_in(self.att, urb)
        else:
            data = bytes(buffer.retrieve()) if buffer is not None else b""
            self.device.bulk_out(self.att, urb, data)

    def reap(self, client, arg):
        urbs = self.urbs(client)
        for i, urb in enumerate(urbs):
            if urb.done:
                del urbs[i]
                break
        else:
            self.complete(client, -1, errno.ENODEV if self.att.gone else errno.EAGAIN)
            return
        payload = urb.payload
        if payload:
            offset = 8 if urb.type == URB_TYPE_CONTROL else 0
            urb.buffer.update(offset, payload)
        urb.data.update(URB_STATUS, struct.pack("<i", urb.status))
        urb.data.update(URB_ACTUAL_LENGTH, struct.pack("<i", urb.actual))
        arg.resolve(0, 8).set_ptr(0, urb.data)
        self.complete(client, 0, 0)

    def discard(self, client, arg):
        address = struct.unpack_from("<Q", arg.retrieve(), 0)[0]
        for urb in self.urbs(client):
            if urb.address == address and not urb.done:
                urb.finish(-errno.ENOENT)
                self.device.discarded(self.att, urb)
                self.complete(client, 0, 0)
                return
        self.complete(client, -1, errno.EINVAL)


class HidrawNode(NodeHandler):
    """/dev/hidrawN: one output report per write, one input report per read."""

    def __init__(self, attachment, report_descriptor, name):
        super().__init__(attachment)
        self.report_descriptor = report_descriptor
        self.hid_name = name
        self.reports = []

    def queue(self, reports):
        self.reports.extend(reports)

    def refresh(self):
        if self.doorbell is not None:
            self.doorbell.set(bool(self.reports) or self.att.gone)

    def vanish(self):
        self.reports = []
        self.refresh()

    def ioctl(self, client):
        request = client.get_request()
        arg = client.get_arg()
        nr, size = request & 0xFF, (request >> 16) & 0x3FFF
        if self.att.gone:
            self.complete(client, -1, errno.ENODEV)
        elif request == HIDIOCGRDESCSIZE:
            arg.resolve(0, 4).update(0, struct.pack("<i", len(self.report_descriptor)))
            self.complete(client, 0, 0)
        elif request == HIDIOCGRDESC:
            block = arg.resolve(0, 4 + 4096)
            want = min(_u32(block), 4096)
            block.update(4, self.report_descriptor[:want])
            self.complete(client, 0, 0)
        elif request == HIDIOCGRAWINFO:
            dev = self.device
            arg.resolve(0, 8).update(0, struct.pack("<Ihh", BUS_USB, dev.vendor - (dev.vendor >> 15 << 16),
                                                    dev.product - (dev.product >> 15 << 16)))
            self.complete(client, 0, 0)
        elif (request >> 8) & 0xFF == ord("H") and nr in (HID_NAME_NR, HID_PHYS_NR, HID_UNIQ_NR) and size:
            text = {HID_NAME_NR: self.hid_name, HID_PHYS_NR: "usb-emulated-%s/input0" % self.att.name,
                    HID_UNIQ_NR: ""}[nr].encode() + b"\0"
            text = text[:size]
            arg.resolve(0, size).update(0, text)
            self.complete(client, len(text), 0)
        else:
            self.complete(client, -1, errno.ENOTTY)

    def read(self, client):
        if self.att.gone:
            self.complete(client, -1, errno.ENODEV)
            return
        if not self.reports:
            self.complete(client, -1, errno.EAGAIN)
            return
        arg = client.get_arg()
        want = len(arg.retrieve())
        report = self.reports.pop(0)[:want]
        arg.update(0, report)
        self.complete(client, len(report), 0)
        self.device.report_read(self.att)

    def write(self, client):
        if self.att.gone:
            self.complete(client, -1, errno.ENODEV)
            return
        data = bytes(client.get_arg().retrieve())
        self.complete(client, len(data), 0)
        if data:
            self.queue(self.device.output_report(self.att, data))


# ---------------------------------------------------------------------------
# Devices

class UsbDevice:
    """A USB device that can be plugged in and out of a bus repeatedly.

    Subclasses give descriptors and strings and act on URBs; the methods are
    called with the bus lock held and must not block.
    """

    def __init__(self, name, vendor, product):
        self.name = name
        self.vendor = vendor
        self.product = product
        self.bus = None
        self.port = None
        self.attachment = None
        self.counters = {}

    def count(self, what, n=1):
        self.counters[what] = self.counters.get(what, 0) + n

    @property
    def plugged(self):
        return self.attachment is not None

    # ---- what the host sees ----------------------------------------------

    def strings(self):
        return {}

    def interfaces(self):
        return []

    def interface_count(self):
        return len(self.interfaces())

    def descriptors(self):
        return device_descriptor(self.vendor, self.product) + configuration_descriptor(self.interfaces())

    def has_endpoint(self, endpoint):
        return self.interface_of(endpoint) is not None

    def interface_of(self, endpoint):
        for number, interface in enumerate(self.interfaces()):
            if any(endpoint == ep for ep, _ in interface[3]):
                return number
        return None

    def create_children(self, att, rel):
        for number, (cls, sub, proto, endpoints, _) in enumerate(self.interfaces()):
            iface = "%s/%s:1.%d" % (rel, att.name, number)
            att.add_sysfs(
                "usb", iface,
                {"bInterfaceNumber": "%02x" % number, "bAlternateSetting": " 0",
                 "bInterfaceClass": "%02x" % cls, "bInterfaceSubClass": "%02x" % sub,
                 "bInterfaceProtocol": "%02x" % proto, "bNumEndpoints": "%02x" % len(endpoints)},
                {"DEVTYPE": "usb_interface", "INTERFACE": "%d/%d/%d" % (cls, sub, proto),
                 "PRODUCT": "%x/%x/100" % (self.vendor, self.product)})
            self.create_interface_children(att, number, iface)

    def create_interface_children(self, att, number, rel):
        pass

    # ---- endpoint 0 ------------------------------------------------------------

    def control(self, att, urb):
        request_type, request, value, index, length = struct.unpack("<BBHHH", urb.setup)
        if request_type == 0x80 and request == 6:        # GET_DESCRIPTOR
            kind, number = value >> 8, value & 0xFF
            data = None
            if kind == 1:
                data = self.descriptors()[:18]
            elif kind == 2 and number == 0:
                data = self.descriptors()[18:]
            elif kind == 3 and number == 0:
                data = LANGUAGES
            elif kind == 3 and number in self.strings():
                data = string_descriptor(self.strings()[number])
            if data is not None:
                self.count("string_reads" if kind == 3 else "descriptor_reads")
                urb.finish(0, data[:min(length, urb.length - 8)])
                return
        elif request_type == 0x00 and request == 9:      # SET_CONFIGURATION
            urb.finish(0)
            return
        urb.finish(-errno.EPIPE)

    # ---- hooks -------------------------------------------------------------------

    def claimed(self, att, interface):
        pass

    def released(self, att, interface):
        pass

    def clear_halt(self, att, endpoint):
        self.count("clear_halt_%02x" % endpoint)

    def bulk_out(self, att, urb, data):
        urb.finish(-errno.EPIPE)

    def bulk_in(self, att, urb):
        urb.finish(-errno.EPIPE)

    def discarded(self, att, urb):
        self.count("discarded_%02x" % urb.endpoint)

    def unplugged(self, att):
        pass

    def deadline(self):
        return None

    def tick(self, now):
        pass

    def save(self, final=False):
        pass


MODULE_USB_KEYS = {
    "usb_serial": "serial string the device reports (default: the serial number as 8 hex digits)",
    "usb_product": "product id (default 0x0100 + model)",
    "usb_stall_out": "the Nth bulk OUT transfer stalls; the endpoint stays halted until cleared",
    "usb_stall_in": "the Nth bulk IN transfer stalls; the endpoint stays halted until cleared",
    "usb_nak_out": "N[:K]: bulk OUT transfers N to N+K-1 are never acknowledged (host time-out)",
    "usb_vanish_data": "the module leaves the bus for good during the bulk OUT transfer that "
                       "carries its Nth upgrade DATA packet (that transfer fails)",
    "usb_plug_ms": "plug the module in this long after start instead of at once",
}


def split_module_spec(text):
    """'key=value,...' -> (engine keys, USB keys)."""
    raw = virtual_module.parse_module_spec(text)
    usb = {k: raw.pop(k) for k in list(raw) if k in MODULE_USB_KEYS}
    for k in list(raw):
        if k.startswith("usb_"):
            raise virtual_module.ConfigError("unknown USB key %s" % k)
    return raw, usb


class ModuleUsbDevice(UsbDevice):
    """A Keystrand module on USB, bridged to the virtual module's engine."""

    IN_FIFO_LIMIT = 1 << 20

    def __init__(self, module, usb_serial=None, product=None, stall_out=0, stall_in=0,
                 nak_out=None, vanish_data=0, plug_ms=0, name=None):
        cfg = module.cfg
        super().__init__(name or cfg.serial_text, KEYSTRAND_VENDOR,
                         product if product is not None else 0x0100 | cfg.model)
        self.module = module
        self.serial_string = usb_serial if usb_serial is not None else cfg.serial_text
        self.stall_out = stall_out
        self.stall_in = stall_in
        self.nak_out = nak_out          # (first, count) or None
        self.vanish_data = vanish_data
        self.halted = set()
        self.session = None
        self.in_fifo = bytearray()
        self.leaving = None             # DropRequest being carried out
        self.plug_ms = plug_ms

    @classmethod
    def from_spec(cls, text, state_dir=None, log=None):
        raw, usb = split_module_spec(text)
        cfg = virtual_module.ModuleConfig(raw)
        if state_dir:
            os.makedirs(state_dir, exist_ok=True)
        module = virtual_module.VirtualModule(cfg, state_dir, log)
        nak = None
        if "usb_nak_out" in usb:
            first, _, count = usb["usb_nak_out"].partition(":")
            nak = (int(first, 0), int(count, 0) if count else 1)
        dev = cls(module, usb_serial=usb.get("usb_serial"),
                  product=int(usb["usb_product"], 0) if "usb_product" in usb else None,
                  stall_out=int(usb.get("usb_stall_out", "0"), 0),
                  stall_in=int(usb.get("usb_stall_in", "0"), 0),
                  nak_out=nak, vanish_data=int(usb.get("usb_vanish_data", "0"), 0),
                  plug_ms=int(usb.get("usb_plug_ms", "0"), 0))
        return dev

    def strings(self):
        return {1: "Keystrand", 2: "Keystrand module", 3: self.serial_string}

    def interfaces(self):
        return [MODULE_INTERFACE + ([(EP_OUT, 2), (EP_IN, 2)], b"")]

    # ---- link sessions -------------------------------------------------------

    def claimed(self, att, interface):
        now = time.monotonic()
        self.session = virtual_module.LinkSession(self.module, now)
        self.in_fifo = bytearray(self.session.start(now))
        self._after(att, now)

    def released(self, att, interface):
        self._end_session()

    def _end_session(self):
        if self.session is not None:
            now = time.monotonic()
            self.session.end(now)
            self.module.flush(now, force=True)
            self.session = None
        self.in_fifo = bytearray()

    def unplugged(self, att):
        self._end_session()
        self.halted.clear()
        self.leaving = None

    def clear_halt(self, att, endpoint):
        super().clear_halt(att, endpoint)
        self.halted.discard(endpoint)

    # ---- data --------------------------------------------------------------------

    def bulk_out(self, att, urb, data):
        self.count("out_transfers")
        n = self.counters["out_transfers"]
        if urb.endpoint in self.halted:
            urb.finish(-errno.EPIPE)
            return
        if self.stall_out and n == self.stall_out:
            self.count("stalled_out")
            self.halted.add(urb.endpoint)
            urb.finish(-errno.EPIPE)
            return
        if self.nak_out and self.nak_out[0] <= n < self.nak_out[0] + self.nak_out[1]:
            self.count("nak_out")
            return                      # left pending: the host's time-out discards it
        if self.leaving is not None:
            return                      # restarting: nothing is acknowledged any more
        now = time.monotonic()
        data_before = self.module.stats["data_packets"]
        self.in_fifo += self.session.receive(data, now)
        self.count("out_bytes", len(data))
        if (self.vanish_data and data_before < self.vanish_data <= self.module.stats["data_packets"]):
            self.count("vanished")
            urb.finish(-errno.ENODEV)
            self.module.flush(now, force=True)
            att.vanish()
            self.bus.unplug_later(self)
            return
        urb.finish(0, actual=len(data))
        self._after(att, now)

    def bulk_in(self, att, urb):
        self.count("in_transfers")
        if urb.endpoint in self.halted:
            urb.finish(-errno.EPIPE)
            return
        if self.stall_in and self.counters["in_transfers"] == self.stall_in:
            self.count("stalled_in")
            self.halted.add(urb.endpoint)
            urb.finish(-errno.EPIPE)
            return
        self._pump(att)

    def _pump(self, att):
        usbfs = att.usbfs
        for urb in usbfs.pending(EP_IN):
            if not self.in_fifo:
                break
            n = min(len(self.in_fifo), urb.length)
            urb.finish(0, self.in_fifo[:n])
            del self.in_fifo[:n]
            self.count("in_bytes", n)
        if self.leaving is not None and not self.in_fifo:
            self._leave(att)

    def _after(self, att, now):
        if len(self.in_fifo) > self.IN_FIFO_LIMIT:
            self.bus.error("%s: host stopped reading" % self.name)
            del self.in_fifo[:-self.IN_FIFO_LIMIT]
        drop = self.session.drop if self.session is not None else None
        if drop is not None and self.leaving is None:
            self.leaving = drop
            self.count("drops")
            # What the engine answered before leaving still goes out; a host
            # that does not read it loses it after a short while.
            self.bus.call_later(0.2, self._leave_now, att)
        self._pump(att)
        self.module.flush(now)
        self.bus.wake()

    def _leave_now(self, att):
        with self.bus.lock:
            if self.attachment is att and self.leaving is not None:
                self._leave(att)

    def _leave(self, att):
        drop = self.leaving
        self.leaving = None
        if self.attachment is not att:
            return
        self.bus.note("%s leaves the bus (%s) for %.3f s after %d OUT transfers"
                      % (self.name, drop.reason, drop.offline_s, self.counters.get("out_transfers", 0)))
        att.vanish()
        self.bus.unplug_later(self)
        # A restarting module is off the bus for at least a moment.
        self.bus.plug_later(self, max(drop.offline_s, 0.05))

    def deadline(self):
        times = []
        if self.session is not None and self.attachment is not None:
            t = self.session.next_deadline()
            if t is not None:
                times.append(t)
        t = self.module.flush_deadline()
        if t is not None:
            times.append(t)
        return min(times) if times else None

    def tick(self, now):
        with self.bus.lock:
            att = self.attachment
            if self.session is not None and att is not None and not att.gone:
                t = self.session.next_deadline()
                if t is not None and now >= t:
                    self.in_fifo += self.session.poll(now)
                    self._after(att, now)
                    att.usbfs.refresh()
            self.module.flush(now)

    def save(self, final=False):
        with self.bus.lock:
            self.module.flush(time.monotonic(), force=True)


class ImxHidDevice(UsbDevice):
    """An i.MX RT chip in serial-download mode: SDP over USB HID.

    After JUMP_ADDRESS into code it received, the chip leaves the bus and,
    loader_delay_s later, `loader` (a ModuleUsbDevice, normally with the
    serial number DEADDEAD) is plugged in.
    """

    def __init__(self, sdp_args=(), state_dir=None, loader=None, loader_delay_s=0.3, name="imx"):
        super().__init__(name, IMX_VENDOR, IMX_PRODUCT)
        self.opts = imx_sdp_sim.build_parser().parse_args(list(sdp_args))
        self.sdp = imx_sdp_sim.SdpDevice(self.opts)
        self.state = simpty.StateDir(state_dir)
        self.loader = loader
        self.loader_delay_s = loader_delay_s
        self.jumped_to = None
        self.leaving = False
        self.sdp.save(self.state, {"transport": "usb-hid"})

    def strings(self):
        return {1: "NXP SEMICONDUCTOR INC.", 2: "SE Blank RT Family"}

    def descriptors(self):
        return (device_descriptor(self.vendor, self.product, 0x0001, strings=(1, 2, 0))
                + configuration_descriptor(self.interfaces()))

    def interfaces(self):
        return [(3, 0, 0, [(0x81, 3)], hid_class_descriptor(SDP_REPORT_DESCRIPTOR))]

    def create_interface_children(self, att, number, rel):
        hid_rel = "%s/%04X:%04X:%04X.%04X" % (rel, BUS_USB, self.vendor, self.product, att.devnum)
        name = "%s %s" % (self.strings()[1], self.strings()[2])
        hid = att.add_sysfs("hid", hid_rel, {}, {
            "HID_ID": "%04X:%08X:%08X" % (BUS_USB, self.vendor, self.product),
            "HID_NAME": name, "HID_PHYS": "usb-emulated-%s/input0" % att.name, "HID_UNIQ": "",
            "MODALIAS": "hid:b0003g0001v%08Xp%08X" % (self.vendor, self.product)})
        self.bus.testbed.set_attribute_binary(hid, "report_descriptor", SDP_REPORT_DESCRIPTOR)
        att.add_hidraw(hid_rel, HidrawNode(att, SDP_REPORT_DESCRIPTOR, name))

    # ---- reports -------------------------------------------------------------

    def output_report(self, att, data):
        if self.leaving:
            return []
        report_id, body = data[0], data[1:]
        self.count("report_%d" % report_id)
        if report_id == 1 and not self.sdp.data_expected:
            replies = self.sdp.command(body[:imx_sdp_sim.COMMAND_SIZE])
            if self.sdp.jumped and self.jumped_to is None:
                self.jumped_to = self.sdp.log["jump"]["address"]
                self._jumped(att)
        elif report_id == 2 and self.sdp.data_expected:
            replies = self.sdp.data(body)
        else:
            self.sdp.log.setdefault("unexpected_reports", []).append(data[:17].hex())
            self.sdp.dirty = True
            replies = []
        self.sdp.save(self.state, {"transport": "usb-hid"})
        if self.opts.silent:
            return []
        return imx_sdp_sim.hid_reports(replies)

    def report_read(self, att):
        if self.leaving and not att.hidraw.reports:
            self.bus.unplug_later(self, 0.0)

    def _runs_loaded_code(self, address):
        return any(load["complete"] and load["address"] <= address < load["address"] + load["count"]
                   for load in self.sdp.log["loads"])

    def _jumped(self, att):
        if not self._runs_loaded_code(self.jumped_to):
            self.sdp.log["jump"]["result"] = "no code there: the chip hangs"
            return
        self.sdp.log["jump"]["result"] = "running"
        self.leaving = True
        # The security word still goes out; then the ROM is gone.
        self.bus.unplug_later(self, 0.2)
        if self.loader is not None:
            if self.loader.bus is None:
                self.bus.add(self.loader, plugged=False)
            self.bus.plug_later(self.loader, self.loader_delay_s)

    def save(self, final=False):
        self.sdp.save(self.state, {"transport": "usb-hid", "final": final})


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
