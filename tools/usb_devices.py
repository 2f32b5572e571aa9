"""The devices on the emulated bus: UsbDevice, the base that serves the
descriptors and endpoint 0; ModuleUsbDevice, a Keystrand module whose bulk
endpoints carry the module protocol into virtual_module's engine, with the
usb_* keys that make it misbehave on the bus; and ImxHidDevice, an i.MX
chip in serial-download mode backed by imx_sdp_sim's SdpDevice.
"""

import errno
import os
import struct
import time

import imx_sdp_sim
import simpty
import virtual_module
from usb_layout import (BUS_USB, EP_IN, EP_OUT, IMX_PRODUCT, IMX_VENDOR, KEYSTRAND_VENDOR, LANGUAGES,
                        MODULE_INTERFACE, SDP_REPORT_DESCRIPTOR, configuration_descriptor, device_descriptor,
                        hid_class_descriptor, string_descriptor)
from usb_nodes import HidrawNode


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
