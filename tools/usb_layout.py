"""Byte layouts of the emulated USB bus: the Keystrand and i.MX ids, the
usbfs and hidraw ioctl numbers, the fields of struct usbdevfs_urb, and the
device, configuration, string and HID descriptors the devices serve.  The
ioctl numbers and the URB layout are those of LP64 Linux with the generic
ioctl encoding (x86_64, aarch64); platform_supported() says whether they
apply here.
"""

import platform
import struct
import sys

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
