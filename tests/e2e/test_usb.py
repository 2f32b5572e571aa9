"""The updater's libusb and hidapi code against emulated USB devices: a
umockdev bus owned by the test process (tools/usb_modules.py) answers the
usbfs and hidraw ioctls of the updater, which runs with umockdev's preload
library. Each test has a testbed of its own.
"""
import pytest

from conftest import BANNER, LOADER_CODE, UPDATE_TIME, birdpack, serve_loader, wait_for
import usb_modules

HEADER_USB = "    Device    Module   Router  Model          Firmware Version (Build)"
SERIAL = "0001ABCD"
NO_SERVER = "http://10.231.0.1:9/cgi/u"
LOADED = ["Transferring loader to device", "Transferring loader block 1 of 1, 4100 bytes",
          "Transferred 1 blocks, 4100 total bytes", "Starting Load on Device",
          "Transferring firmware block 1 of 1, 8196 bytes"]

if not usb_modules.platform_supported():
    pytest.skip("usbfs structure layout not known for this machine", allow_module_level=True)


class UsbBench:
    def __init__(self, state_dir):
        self.state_dir = str(state_dir)
        self.bus = usb_modules.UsbBus()
        self.devices = {}

    def module(self, serial, plug=True, **keys):
        """keys: virtual_module.py keys and usb_modules.py usb_* keys."""
        spec = ",".join(["serial=%s" % serial] + ["%s=%s" % kv for kv in keys.items()])
        self.devices[serial] = usb_modules.ModuleUsbDevice.from_spec(spec, self.state_dir)
        if plug:
            self.bus.add(self.devices[serial])
        return self.devices[serial]

    def imx(self, **loader_keys):
        """An i.MX chip whose loader, once started, is the module DEADDEAD."""
        loader = self.module("DEADDEAD", plug=False, **loader_keys)
        chip = usb_modules.ImxHidDevice((), self.state_dir + "/imx", loader, 0.3)
        self.bus.add(chip)
        return chip

    def status(self, serial):
        with self.bus.lock:
            return self.devices[serial].module.status()

    def stats(self, serial):
        return self.status(serial)["stats"]

    def flash(self, serial):
        with self.bus.lock:
            return {start: bytes(data) for start, data in self.devices[serial].module.flash.segments}

    def plugged_times(self, name):
        with self.bus.lock:
            return sum(1 for _, e in self.bus.events if e.startswith("plugged %s " % name))


@pytest.fixture
def usb(tmp_path):
    bench = UsbBench(tmp_path / "usb")
    yield bench
    bench.bus.close()
    assert bench.bus.errors == []


@pytest.fixture
def run(updater, usb):
    updater.wrapper = usb.bus.env_args()
    return updater


def firmware(tmp_path):
    """Build 1200 as a file: (path, flash address, payload)."""
    data = birdpack.build_bird(birdpack.sample_description(SERIAL, "Ironwood", 1200, "1.2.0", size=8192))
    path = tmp_path / "1200.bird"
    path.write_bytes(data)
    fw = birdpack.parse_bird(data).find_blocks(birdpack.BLOCK_FIRMWARE)[0]
    return path, fw.address, bytes(fw.payload)


def test_discovery_lists_modules_with_eight_character_serial_strings(run, usb, server):
    usb.module(SERIAL, model=19, address=2, version="1.2.0", build=1200)
    usb.module("0002BEEF", model=13, address=4, version="2.0.7", build=77, build_error=29)
    # A serial string longer than eight characters is no module's.
    usb.module("0A2B3C4D", model=19, usb_serial="0A2B3C4D0")
    r = run("-D")
    assert (r.status, r.stderr) == (0, "")
    assert r.out_lines[:4] == [BANNER, "Searching for Keystrand devices", "Discovered Devices: (USB)", HEADER_USB]
    assert sorted(r.out_lines[4:]) == ["    0001ABCD  02       02      Ironwood       1.2.0 (1200)",
                                       "    0002BEEF  04       04      Cedar          2.0.7 (0)"]
    # No i.MX chip among them.
    serve_loader(server)
    r = run("-N", "-s", "USB", "-u", server.url)
    assert (r.status, r.err_lines) == (1, ["Got no response from chip",
                                           "  no i.MX chip in serial download mode on USB (1FC9:0130)"])
    # Each listed one was linked once; the others only asked for their serial string.
    for serial, links in ((SERIAL, 1), ("0002BEEF", 1), ("0A2B3C4D", 0)):
        stats = usb.stats(serial)
        assert (stats["connections_accepted"], stats["link_starts"], stats["link_stops"]) == (links,) * 3


def test_update_with_the_loader_coming_back_late(run, usb, tmp_path):
    path, address, payload = firmware(tmp_path)
    usb.module(SERIAL, model=19, version="1.1.0", build=1100, load_offline_ms=1500, reboot_offline_ms=300)
    # A second module on the bus is looked at for its serial string only.
    usb.module("0002BEEF", model=13, address=4)
    r = run("-U", "-d", SERIAL, "-f", path, "-u", NO_SERVER)
    assert r.status == 0, r.stdout + r.stderr
    assert r.out_lines[1:-1] == ["Updating from Birdfile: %s" % path] + LOADED + [
        "Transferred 1 blocks, 8196 total bytes"]
    # The loader was off the bus for 1.5 s: the module was found again by
    # USB discovery on a later attempt, after it had been plugged in anew.
    assert UPDATE_TIME.match(r.out_lines[-1]) and float(r.out_lines[-1].split()[2]) > 1.5
    assert usb.flash(SERIAL) == {address: payload}
    status = usb.status(SERIAL)
    assert (status["version"], status["build"]) == ("1.2.0", 1200)
    stats = status["stats"]
    assert (stats["connections_accepted"], stats["load_count"], stats["reboots"]) == (2, 1, 1)
    # Plugged in at the start, after the loader started, after the reboot.
    assert wait_for(lambda: usb.plugged_times(SERIAL) == 3)
    assert usb.stats("0002BEEF")["connections_accepted"] == 0


# Transfer 300 falls into the firmware transfer: the loader and what
# precedes it take about 170 bulk OUT transfers, the 8 KiB firmware about
# 350 more. (Stalls and time-outs the host gets over are unit-tested.)
@pytest.mark.parametrize("fault,limit", [
    # Pulled out during the firmware transfer, never back.
    ("usb_vanish_data=300", 10),
    # Stops acknowledging anything during the firmware transfer: the write
    # of one packet gives up after 100 rounds of two 50 ms time-outs.
    ("usb_nak_out=300:1000000", 30),
], ids=["vanish", "hang"])
def test_transfer_faults_that_end_the_update(run, usb, tmp_path, fault, limit):
    path, address, payload = firmware(tmp_path)
    entry = run.store / SERIAL
    entry.mkdir(parents=True)
    (entry / "1200.bird").write_bytes(path.read_bytes())
    before = "LAST_DOWNLOAD_DATE=Mon Jan  5 10:00:00 2026\nLATEST_DOWNLOAD=1200.bird\n"
    (entry / ".settings").write_text(before)
    key, value = fault.split("=")
    usb.module(SERIAL, model=19, load_offline_ms=100, reboot_offline_ms=300, **{key: value})
    r = run("-U", "-d", SERIAL, "-b", "1200", "-u", NO_SERVER, timeout=limit + 30)
    assert r.status == 1, r.stdout + r.stderr
    assert r.out_lines[1:-1] == ["Updating firmware with build: 1200"] + LOADED + [
        "Transferred 0 blocks, 0 total bytes"]
    assert r.err_lines[:2] == ["NETWORK: Failed to transfer firmware", "Update failed while transferring the firmware"]
    assert float(r.out_lines[-1].split()[2]) < limit
    assert (entry / ".settings").read_text() == before
    status = usb.status(SERIAL)
    assert (status["stats"]["reboots"], status["firmware_blocks"]) == (0, [])
    # Only whole blocks written before the fault reached the flash.
    written = usb.flash(SERIAL).get(address, b"")
    assert len(written) < len(payload) and payload.startswith(written)
    # Plugged in at the start and after the loader started, then gone
    # (vanish) or kept but deaf (hang).
    assert usb.plugged_times(SERIAL) == 2
    assert usb.bus.find(SERIAL).plugged == ("vanish" not in fault)


# The loader's system option 0x27, indexes 0 to 3, and the fingerprint as
# the updater keeps it: index i in word 3 - i.
LOADER_WORDS = [0x5A1C3E07, 0x9B2D4F61, 0x00000042, 0x1F0A2B3C]
FINGERPRINT = " ".join("%08X" % w for w in reversed(LOADER_WORDS))
LOADER_KEYS = dict(fingerprint=":".join("0x%08X" % w for w in LOADER_WORDS), model=19, reboot_offline_ms=300)


def test_fingerprint_of_an_imx_chip_on_usb(run, usb, server):
    serve_loader(server)
    chip = usb.imx(**LOADER_KEYS)
    r = run("-N", "-s", "USB", "-u", server.url)
    assert r.status == 0, r.stdout + r.stderr
    # The loader image was downloaded without a word on the console.
    assert r.out_lines == [BANNER, "[ %s ]" % FINGERPRINT]
    assert (run.store / "DEADDEAD" / "7.bird").exists()
    # SDP over HID: the loader went to RAM whole, then the chip jumped into it.
    log = chip.sdp.log
    assert [(l["address"], l["count"], l["complete"]) for l in log["loads"]] == [(0x20000000, 2500, True)]
    assert bytes(chip.sdp.memory[0][1]) == LOADER_CODE
    assert (log["jump"]["address"], log["jump"]["result"]) == (0x20000400, "running")
    # The loader on USB: asked for its four identification words, then reset
    # (-N leaves no loader running).
    stats = usb.stats("DEADDEAD")
    assert (stats["connections_accepted"], stats["host_packets_by_kind"]["uei_get"], stats["resets"]) == (1, 4, 1)
    assert usb.plugged_times("imx") == 1 and not chip.plugged


def test_recovery_of_an_imx_chip_on_usb(run, usb, server):
    serve_loader(server)
    image = birdpack.pseudo_random_bytes(8192, 6)
    server.put("0042F00D", 3100, birdpack.build_bird({
        "info": {"build": 3100, "version": "3.1.0", "serial": "0042F00D", "model": "Ironwood"},
        "blocks": [{"type": 1, "address": "0x4000", "payload": {"hex": image.hex()}}]}))
    (server.root / "recovery").write_text("%s 0042F00D 3100\n" % FINGERPRINT)
    chip = usb.imx(**LOADER_KEYS)
    r = run("-U", "-t", "RECOVER", "-s", "USB", "-u", server.url)
    assert (r.status, r.stderr) == (0, ""), r.stdout
    assert r.out_lines[1:-1] == [
        "Recovering firmware with build: 3100", "Downloading firmware build 3100", "Retrieving build 3100",
        "Validating build 3100 with server", "Build 3100 is valid",
        "Transferring firmware block 1 of 1, 8196 bytes", "Transferred 1 blocks, 8196 total bytes"]
    assert UPDATE_TIME.match(r.out_lines[-1])
    # The chip's words went to the server in the order the updater keeps them.
    assert [q["query"]["fp"] for q in server.requests() if q["op"] == "fix"] == [FINGERPRINT]
    assert server.ops() == ["hi", "qu", "builds", "bird", "fix", "hi", "qu", "builds", "bird"]
    assert chip.sdp.log["jump"]["result"] == "running"
    # The running loader took the firmware and rebooted; it was not reset
    # between the fingerprint and the transfer.
    assert usb.flash("DEADDEAD") == {0x4000: image}
    status = usb.status("DEADDEAD")
    assert (status["stats"]["connections_accepted"], status["stats"]["resets"], status["stats"]["reboots"]) == (2, 0, 1)
    assert [b["address"] for b in status["firmware_blocks"]] == [0x4000]
    assert (run.store / "0042F00D" / "3100.bird").exists()
