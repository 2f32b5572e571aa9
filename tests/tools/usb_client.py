"""A minimal libusb / hidapi host for the self-tests of tools/usb_modules.py.

Run under umockdev's preload library against a bus; one scenario per run,
one JSON object per step on standard output (flushed), so that the test can
act on the bus between steps.
"""
import ctypes
import json
import sys

VENDOR = 0x4B53


def say(**fields):
    sys.stdout.write(json.dumps(fields) + "\n")
    sys.stdout.flush()


class Libusb:
    def __init__(self):
        self.lib = ctypes.CDLL("libusb-1.0.so.0")
        self.lib.libusb_open_device_with_vid_pid.restype = ctypes.c_void_p
        self.ctx = ctypes.c_void_p()
        assert self.lib.libusb_init(ctypes.byref(self.ctx)) == 0

    def open(self, product):
        handle = self.lib.libusb_open_device_with_vid_pid(self.ctx, VENDOR, product)
        return ctypes.c_void_p(handle) if handle else None

    def string(self, handle, index):
        buf = ctypes.create_string_buffer(64)
        n = self.lib.libusb_get_string_descriptor_ascii(handle, index, buf, 64)
        return buf.raw[:n].decode() if n >= 0 else n

    def bulk(self, handle, endpoint, data=b"", length=0, timeout=100):
        buf = ctypes.create_string_buffer(bytes(data), max(len(data), length, 1))
        done = ctypes.c_int(0)
        r = self.lib.libusb_bulk_transfer(handle, endpoint, buf, len(data) or length,
                                          ctypes.byref(done), timeout)
        return r, buf.raw[:done.value].hex() if endpoint & 0x80 else done.value


def link(product):
    """Open, read the serial string, claim, start the link and ask the
    module's address, read until quiet, stop, release."""
    usb = Libusb()
    h = usb.open(product)
    say(step="open", ok=h is not None)
    say(step="serial", serial=usb.string(h, 3))
    say(step="claim", result=usb.lib.libusb_claim_interface(h, 0))
    say(step="write", result=usb.bulk(h, 0x01, bytes.fromhex("AF0101AD00")))
    say(step="read", result=usb.bulk(h, 0x81, length=800))
    say(step="quiet", result=usb.bulk(h, 0x81, length=800))
    say(step="release", result=usb.lib.libusb_release_interface(h, 0))
    usb.lib.libusb_close(h)


def stall(product):
    """A read on a halted IN endpoint, cleared, then read again."""
    usb = Libusb()
    h = usb.open(product)
    usb.lib.libusb_claim_interface(h, 0)
    usb.bulk(h, 0x01, bytes.fromhex("AF0101AD00"))
    say(step="stalled", result=usb.bulk(h, 0x81, length=800))
    say(step="still", result=usb.bulk(h, 0x81, length=800))
    say(step="clear", result=usb.lib.libusb_clear_halt(h, 0x81))
    say(step="read", result=usb.bulk(h, 0x81, length=800))
    usb.lib.libusb_close(h)


def vanish(product):
    """A long read pending while the device is pulled."""
    usb = Libusb()
    h = usb.open(product)
    usb.lib.libusb_claim_interface(h, 0)
    say(step="reading")
    say(step="read", result=usb.bulk(h, 0x81, length=800, timeout=10000))
    say(step="write", result=usb.bulk(h, 0x01, b"\xaf\x01\x00"))
    usb.lib.libusb_close(h)


def hid(_):
    """The serial downloader's status command over hidraw."""
    lib = ctypes.CDLL("libhidapi-hidraw.so.0")
    lib.hid_open.restype = ctypes.c_void_p
    lib.hid_init()
    dev = lib.hid_open(0x1FC9, 0x0130, None)
    say(step="open", ok=bool(dev))
    dev = ctypes.c_void_p(dev)
    command = bytes([1, 5, 5]) + bytes(14)
    say(step="write", result=lib.hid_write(dev, command, len(command)))
    reports = []
    for _ in range(10):
        buf = ctypes.create_string_buffer(65)
        n = lib.hid_read_timeout(dev, buf, 65, 100)
        if n <= 0:
            break
        reports.append(buf.raw[:n].hex())
    say(step="read", reports=reports)
    lib.hid_close(dev)
    lib.hid_exit()


if __name__ == "__main__":
    {"link": link, "stall": stall, "vanish": vanish, "hid": hid}[sys.argv[1]](int(sys.argv[2], 0))
