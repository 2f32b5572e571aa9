"""tools/usb_modules.py's ioctl numbers, as <linux/usbdevice_fs.h> and
<linux/hidraw.h> define them on LP64."""
import pytest

import usb_modules


@pytest.mark.parametrize("name,number", [
    ("USBDEVFS_SUBMITURB", 0x8038550A),
    ("USBDEVFS_DISCARDURB", 0x0000550B),
    ("USBDEVFS_REAPURBNDELAY", 0x4008550D),
    ("USBDEVFS_CLAIMINTERFACE", 0x8004550F),
    ("USBDEVFS_RELEASEINTERFACE", 0x80045510),
    ("USBDEVFS_CLEAR_HALT", 0x80045515),
    ("USBDEVFS_GET_CAPABILITIES", 0x8004551A),
    ("HIDIOCGRDESCSIZE", 0x80044801),
    ("HIDIOCGRDESC", 0x90044802),
    ("HIDIOCGRAWINFO", 0x80084803),
])
def test_ioctl_number(name, number):
    if not usb_modules.platform_supported():
        pytest.skip("usbfs structure layout not known for this machine")
    assert getattr(usb_modules, name) == number
