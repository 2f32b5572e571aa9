"""The device nodes of the emulated bus: umockdev ioctl handlers for a
device's usbfs node (URBs, interface claims, halts) and for an i.MX chip's
hidraw node (one report per read or write), and the URB record they keep.

* umockdev hands ioctls, reads and writes of an attached node to an
  IoctlBase on one worker thread per testbed.  Handlers here never block:
  a URB is accepted at once and finished later, when the device has an
  answer, by making it reapable and ringing the node's doorbell.
* libusb reads string descriptors with control URBs, not from sysfs, and
  opens a device several times (enumeration, then the link), so URB state is
  kept per client.  hidapi needs HIDIOCGRDESCSIZE to answer and reads the
  report descriptor through the hidraw node's `device` link.
"""

import errno
import struct
import traceback

from usb_layout import (BUS_USB, HID_NAME_NR, HID_PHYS_NR, HID_UNIQ_NR, HIDIOCGRAWINFO, HIDIOCGRDESC,
                        HIDIOCGRDESCSIZE, URB_ACTUAL_LENGTH, URB_BUFFER, URB_BUFFER_LENGTH, URB_SIZE,
                        URB_STATUS, URB_TYPE_BULK, URB_TYPE_CONTROL, URB_TYPE_INTERRUPT, USB_SPEED_HIGH,
                        USBDEVFS_CLAIMINTERFACE, USBDEVFS_CLEAR_HALT, USBDEVFS_DISCARDURB,
                        USBDEVFS_DISCSIGNAL, USBDEVFS_GET_CAPABILITIES, USBDEVFS_GET_SPEED, USBDEVFS_IOCTL,
                        USBDEVFS_REAPURB, USBDEVFS_REAPURBNDELAY, USBDEVFS_RELEASEINTERFACE,
                        USBDEVFS_RESET, USBDEVFS_RESETEP, USBDEVFS_SETCONFIGURATION, USBDEVFS_SETINTERFACE,
                        USBDEVFS_SUBMITURB, USBFS_CAPS)

try:
    import gi
    gi.require_version("UMockdev", "1.0")
    from gi.repository import GLib, UMockdev
except (ImportError, ValueError) as _e:  # pragma: no cover - depends on the machine
    UMockdev = GLib = None
    IMPORT_ERROR = str(_e)
else:
    IMPORT_ERROR = None


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
