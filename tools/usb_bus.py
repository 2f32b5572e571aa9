"""The emulated bus itself: a umockdev testbed with a clock thread for the
devices' timers (UsbBus), one stay of a device on it with its device number,
sysfs entries and nodes (Attachment), and the FIFO that makes a node poll
ready (Doorbell).

A client polls the node's file.  The node is a FIFO whose capacity is cut
to one page, so a single byte decides readiness: usbfs clients (libusb)
poll for POLLOUT, so the byte sits in the FIFO while nothing can be
reaped; hidraw clients (hidapi) poll for POLLIN, so the byte sits there
while a report is waiting.  A plain file would always poll ready and make
libusb spin.
"""

import fcntl
import heapq
import itertools
import os
import platform
import shutil
import struct
import threading
import time
import traceback

from usb_layout import F_SETPIPE_SZ, HIDRAW_MAJOR, USB_MAJOR, platform_supported
from usb_nodes import IMPORT_ERROR, GLib, UMockdev, UsbfsNode

PRELOAD_LIBRARY = "libumockdev-preload.so.0"


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
