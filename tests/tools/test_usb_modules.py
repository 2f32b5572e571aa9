"""Self-tests of tools/usb_modules.py: the emulated bus as plain libusb and
hidapi hosts see it (tests/tools/usb_client.py under umockdev's preload)."""
import json
import os
import select
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("UPDATER_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "tests"))
import usb_modules  # noqa: E402
from netns import SYSTEM_PYTHON, private_home_prefix  # noqa: E402

pytestmark = pytest.mark.skipif(not usb_modules.platform_supported(),
                                reason="usbfs structure layout not known for this machine")


def test_ioctl_numbers_are_the_kernels():
    # As <linux/usbdevice_fs.h> and <linux/hidraw.h> define them on LP64.
    assert usb_modules.USBDEVFS_SUBMITURB == 0x8038550A
    assert usb_modules.USBDEVFS_DISCARDURB == 0x0000550B
    assert usb_modules.USBDEVFS_REAPURBNDELAY == 0x4008550D
    assert usb_modules.USBDEVFS_CLAIMINTERFACE == 0x8004550F
    assert usb_modules.USBDEVFS_RELEASEINTERFACE == 0x80045510
    assert usb_modules.USBDEVFS_CLEAR_HALT == 0x80045515
    assert usb_modules.USBDEVFS_GET_CAPABILITIES == 0x8004551A
    assert usb_modules.HIDIOCGRDESCSIZE == 0x80044801
    assert usb_modules.HIDIOCGRDESC == 0x90044802
    assert usb_modules.HIDIOCGRAWINFO == 0x80084803


def test_doorbell_readiness(tmp_path):
    def polls(path, events):
        fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        try:
            p = select.poll()
            p.register(fd, events)
            return bool(p.poll(0))
        finally:
            os.close(fd)

    usbfs = usb_modules.Doorbell(str(tmp_path / "usbfs"), ready_when_empty=True)
    hidraw = usb_modules.Doorbell(str(tmp_path / "hidraw"), ready_when_empty=False)
    try:
        assert not polls(usbfs.path, select.POLLOUT)
        assert not polls(hidraw.path, select.POLLIN)
        usbfs.set(True)
        hidraw.set(True)
        assert polls(usbfs.path, select.POLLOUT)
        assert polls(hidraw.path, select.POLLIN)
        usbfs.set(False)
        assert not polls(usbfs.path, select.POLLOUT)
    finally:
        usbfs.close()
        hidraw.close()
    assert not os.path.exists(usbfs.path)


def test_module_keys_are_split_from_engine_keys():
    engine, usb = usb_modules.split_module_spec("serial=0001ABCD,model=19,usb_stall_out=3,usb_serial=12AB")
    assert engine == {"serial": "0001ABCD", "model": "19"}
    assert usb == {"usb_stall_out": "3", "usb_serial": "12AB"}
    with pytest.raises(Exception):
        usb_modules.split_module_spec("serial=1,usb_bogus=1")


def test_help_lists_the_usb_keys():
    out = subprocess.run([SYSTEM_PYTHON, os.path.join(SOURCE, "tools", "usb_modules.py"), "--help"],
                         capture_output=True, text=True, timeout=30, check=True).stdout
    for word in ("--module", "--imx", "--imx-loader", "READY", "usb_stall_out", "usb_nak_out",
                 "usb_vanish_data", "usb_serial"):
        assert word in out


# ---------------------------------------------------------------------------
# Through libusb and hidapi


@pytest.fixture
def bus(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("the client runs in a private mount namespace (root)")
    b = usb_modules.UsbBus()
    yield b
    b.close()
    assert b.errors == []


class Client:
    """usb_client.py under the preload, with the machine's USB hidden."""

    def __init__(self, env_args, tmp_path, scenario, product):
        home = tmp_path / "home"
        home.mkdir(exist_ok=True)
        cmd = (private_home_prefix(home) + env_args
               + [SYSTEM_PYTHON, os.path.join(HERE, "usb_client.py"), scenario, "0x%x" % product])
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def step(self, timeout=10):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        assert ready, "client silent"
        line = self.proc.stdout.readline()
        assert line, self.proc.stderr.read()
        return json.loads(line)

    def finish(self):
        # Lines step() buffered are still in the reader: read through it,
        # with a client that stops answering killed.
        guard = threading.Timer(30, self.proc.kill)
        guard.start()
        try:
            out = self.proc.stdout.read()
            err = self.proc.stderr.read()
        finally:
            guard.cancel()
        assert self.proc.wait(timeout=10) == 0, err
        return [json.loads(l) for l in out.splitlines()]


def module(bus, tmp_path, spec):
    dev = usb_modules.ModuleUsbDevice.from_spec(spec, str(tmp_path / "state"))
    bus.add(dev)
    return dev


def test_a_link_round_trip(bus, tmp_path):
    dev = module(bus, tmp_path, "serial=0001ABCD,model=19,address=4")
    steps = Client(bus.env_args(), tmp_path, "link", 0x0113).finish()
    assert steps == [
        {"step": "open", "ok": True},
        {"step": "serial", "serial": "0001ABCD"},
        {"step": "claim", "result": 0},
        {"step": "write", "result": [0, 5]},
        # The address query answered with an empty packet from address 4.
        {"step": "read", "result": [0, "0400"]},
        # Nothing more: a 100 ms read times out (LIBUSB_ERROR_TIMEOUT).
        {"step": "quiet", "result": [-7, ""]},
        {"step": "release", "result": 0},
    ]
    stats = dev.module.status()["stats"]
    assert (stats["connections_accepted"], stats["link_starts"], stats["address_queries_answered"]) == (1, 1, 1)
    assert dev.counters["discarded_81"] == 1


def test_a_stalled_endpoint_stays_halted_until_cleared(bus, tmp_path):
    dev = module(bus, tmp_path, "serial=0001ABCD,model=19,usb_stall_in=1")
    steps = Client(bus.env_args(), tmp_path, "stall", 0x0113).finish()
    assert [s["result"] for s in steps] == [[-9, ""], [-9, ""], 0, [0, "0200"]]
    assert dev.counters["clear_halt_81"] == 1


def test_a_pending_read_fails_when_the_device_is_pulled(bus, tmp_path):
    dev = module(bus, tmp_path, "serial=0001ABCD,model=19")
    client = Client(bus.env_args(), tmp_path, "vanish", 0x0113)
    assert client.step() == {"step": "reading"}
    deadline = time.time() + 5
    while time.time() < deadline:
        with bus.lock:
            if dev.attachment is not None and dev.attachment.usbfs.pending(0x81):
                break
        time.sleep(0.01)
    start = time.time()
    bus.unplug(dev)
    # LIBUSB_ERROR_NO_DEVICE at once, for the pending read and what follows.
    assert client.step() == {"step": "read", "result": [-4, ""]}
    assert time.time() - start < 2
    assert client.finish() == [{"step": "write", "result": [-4, 0]}]


def test_the_serial_downloader_answers_one_report_per_read(bus, tmp_path):
    chip = usb_modules.ImxHidDevice(state_dir=str(tmp_path / "imx"))
    bus.add(chip)
    steps = Client(bus.env_args(), tmp_path, "hid", 0).finish()
    assert steps == [
        {"step": "open", "ok": True},
        {"step": "write", "result": 17},
        {"step": "read", "reports": ["0356787856", "04f0f0f0f0" + "00" * 60]},
    ]
    assert chip.sdp.log["commands"][0]["type"] == "ERROR_STATUS"


def test_command_line_bus(tmp_path):
    if os.geteuid() != 0:
        pytest.skip("the client runs in a private mount namespace (root)")
    state, ready = tmp_path / "state", tmp_path / "ready.json"
    proc = subprocess.Popen([SYSTEM_PYTHON, os.path.join(SOURCE, "tools", "usb_modules.py"),
                             "--module", "serial=0001ABCD,model=19,address=4", "--state-dir", str(state),
                             "--ready-file", str(ready), "--max-runtime", "60"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.time() + 10
        while not ready.exists():
            assert proc.poll() is None and time.time() < deadline, proc.stderr.read()
            time.sleep(0.02)
        info = json.loads(ready.read_text())
        assert info["devices"] == ["0001ABCD"]
        assert info["env"]["LD_PRELOAD"] == "libumockdev-preload.so.0"
        env_args = ["env"] + ["%s=%s" % kv for kv in sorted(info["env"].items())]
        steps = Client(env_args, tmp_path, "link", 0x0113).finish()
        assert {"step": "read", "result": [0, "0400"]} in steps
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err
    assert out.startswith("READY ")
    status = json.loads((state / "0001ABCD.status.json").read_text())
    assert status["stats"]["connections_accepted"] == 1
    # The testbed is gone with the bus.
    assert not os.path.exists(info["env"]["UMOCKDEV_DIR"])
