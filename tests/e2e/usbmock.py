"""Emulated USB devices for end-to-end tests.

The bus (tools/usb_modules.py) is a umockdev testbed owned by the test
process: its ioctl handlers run on a worker thread here while the updater,
started with umockdev's preload library and the testbed directory, uses
libusb and hidapi on it as on real hardware.  The updater itself still runs
through the usual harness (network namespace, private mount namespace with
the temporary home and the machine's USB hidden); only the final command is
prefixed with the umockdev environment.
"""
import sys
import time
from pathlib import Path

from conftest import TOOLS_DIR

sys.path.insert(0, str(TOOLS_DIR))
import usb_modules  # noqa: E402


class UsbBench:
    """Devices on one emulated bus, with access to their engines' state."""

    def __init__(self, state_dir):
        self.state_dir = Path(state_dir)
        self.state_dir.mkdir(parents=True, exist_ok=True)
        self.bus = usb_modules.UsbBus()
        self.modules = {}

    def env_args(self):
        return self.bus.env_args()

    def module(self, serial, plugged=True, **keys):
        """A module on USB; keys are virtual_module.py module keys and
        usb_modules.py usb_* keys."""
        spec = ",".join(["serial=%s" % serial] + ["%s=%s" % kv for kv in keys.items()])
        dev = usb_modules.ModuleUsbDevice.from_spec(spec, str(self.state_dir))
        self.modules[dev.module.serial_text] = dev
        self.bus.add(dev, plugged=plugged)
        return dev

    def imx(self, sdp_args=(), loader_delay_s=0.3, **loader_keys):
        """An i.MX chip in serial-download mode whose loader, once started,
        is a module with serial DEADDEAD and the given keys."""
        loader_keys.setdefault("serial", "DEADDEAD")
        spec = ",".join("%s=%s" % kv for kv in loader_keys.items())
        loader = usb_modules.ModuleUsbDevice.from_spec(spec, str(self.state_dir))
        self.modules[loader.module.serial_text] = loader
        chip = usb_modules.ImxHidDevice(sdp_args, str(self.state_dir / "imx"), loader, loader_delay_s)
        self.bus.add(chip)
        return chip

    # ---- state of the engines -------------------------------------------------

    def status(self, serial):
        with self.bus.lock:
            return self.modules[serial].module.status()

    def flash(self, serial):
        """The module's written flash as {address: bytes}."""
        with self.bus.lock:
            return {start: bytes(data) for start, data in self.modules[serial].module.flash.segments}

    def counters(self, serial):
        with self.bus.lock:
            return dict(self.modules[serial].counters)

    def plugged_times(self, name):
        """How often the device was plugged in."""
        with self.bus.lock:
            return sum(1 for _, e in self.bus.events if e.startswith("plugged %s " % name))

    def wait(self, predicate, timeout=5.0):
        deadline = time.time() + timeout
        while time.time() < deadline:
            with self.bus.lock:
                if predicate():
                    return True
            time.sleep(0.02)
        return False

    @property
    def errors(self):
        with self.bus.lock:
            return list(self.bus.errors)

    def close(self):
        self.bus.close()
