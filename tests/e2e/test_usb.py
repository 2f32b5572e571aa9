"""The updater's libusb and hidapi code against emulated USB devices.

Modules and the i.MX serial downloader sit on a umockdev bus (see
usbmock.py); the unmodified binary finds them through udev and sysfs and
talks to them through usbfs and hidraw ioctls.
"""
import re

import pytest

from server import birdpack
from usbmock import UsbBench, usb_modules

HEADER_USB = "    Device    Module   Router  Model          Firmware Version (Build)"
SERIAL = "0001ABCD"
NO_SERVER = "http://10.231.0.1:9/cgi/u"

if not usb_modules.platform_supported():
    pytest.skip("usbfs structure layout not known for this machine", allow_module_level=True)


@pytest.fixture
def usb(tmp_path):
    bench = UsbBench(tmp_path / "usb")
    yield bench
    bench.close()
    assert bench.errors == []


@pytest.fixture
def run(updater, usb):
    """The updater on the emulated bus."""
    updater.wrapper = usb.env_args()
    return updater


def settings(store, serial=SERIAL):
    path = store / serial / ".settings"
    if not path.exists():
        return {}
    return dict(l.split("=", 1) for l in path.read_text().splitlines())


def firmware(tmp_path, serial=SERIAL, size=8192, build=1200, version="1.2.0", **kw):
    """A BIRD file for the module; returns (path, flash address, payload the
    module should hold afterwards)."""
    data = birdpack.build_bird(birdpack.sample_description(
        serial=serial, model="Ironwood", build=build, version=version, size=size, **kw))
    path = tmp_path / ("%s-%d.bird" % (serial, build))
    path.write_bytes(data)
    fw = birdpack.parse_bird(data).find_blocks(birdpack.BLOCK_FIRMWARE)[0]
    return path, fw.address, bytes(fw.payload)


# ---------------------------------------------------------------------------
# Discovery


def test_discover_two_modules(run, usb):
    usb.module("0001ABCD", model=19, address=2, version="1.2.0", build=1200)
    usb.module("0002BEEF", model=13, address=4, version="2.0.7", build=77, build_error=29)
    r = run("-D")
    assert r.status == 0
    assert r.stderr == ""
    assert r.out_lines[:4] == ["Updater (Version: 1.1 Apr 26 2023)", "Searching for Keystrand devices",
                               "Discovered Devices: (USB)", HEADER_USB]
    assert sorted(r.out_lines[4:]) == [
        "    0001ABCD  02       02      Ironwood       1.2.0 (1200)",
        "    0002BEEF  04       04      Cedar          2.0.7 (0)",
    ]
    # Each was opened for its serial string and then linked once.
    for serial in ("0001ABCD", "0002BEEF"):
        stats = usb.status(serial)["stats"]
        assert stats["connections_accepted"] == 1
        assert stats["link_starts"] == stats["link_stops"] == 1
        assert usb.counters(serial)["string_reads"] >= 4


def test_serial_strings_that_are_not_eight_characters_are_not_listed(run, usb):
    usb.module("0012ABCD", model=19, usb_serial="12ABCD")
    usb.module("0A2B3C4D", model=19, usb_serial="0A2B3C4D0")
    usb.module("1A2B3C4D", model=0x13, usb_product=0x0113, version="1.0.3", build=3)
    r = run("-D")
    assert r.status == 0
    assert r.out_lines[2:] == ["Discovered Devices: (USB)", HEADER_USB,
                               "    1A2B3C4D  02       02      Ironwood       1.0.3 (3)"]
    # The others were asked for their serial string, never linked.
    assert usb.status("0012ABCD")["stats"]["connections_accepted"] == 0
    assert usb.status("0A2B3C4D")["stats"]["connections_accepted"] == 0


def test_no_module_on_the_bus(run, usb):
    r = run("-D")
    assert r.status == 0
    assert r.out_lines[2:] == ["Discovered Devices: (USB)", "    No devices found."]


# ---------------------------------------------------------------------------
# Update


def test_update_over_usb_with_the_loader_coming_back_late(run, usb, tmp_path):
    path, address, payload = firmware(tmp_path, serial_offsets=True)
    usb.module(SERIAL, model=19, version="1.1.0", build=1100, load_offline_ms=1500, reboot_offline_ms=300)
    # A second module on the bus is looked at for its serial string only.
    usb.module("0002BEEF", model=13, address=4)
    r = run("-U", "-d", SERIAL, "-f", path, "-u", NO_SERVER)
    assert r.status == 0, r.stdout + r.stderr
    assert r.out_lines[1:-1] == [
        "Updating from Birdfile: %s" % path,
        "Transferring loader to device",
        "Transferring loader block 1 of 1, 4100 bytes",
        "Transferred 1 blocks, 4100 total bytes",
        "Starting Load on Device",
        "Transferring firmware block 1 of 1, 8196 bytes",
        "Transferred 1 blocks, 8196 total bytes",
    ]
    assert re.match(r"^Update time: \d+\.\d{4} sec$", r.out_lines[-1])
    # The loader was off the bus for 1.5 s: the module was found again by
    # USB discovery on a later attempt, after it had been plugged in anew.
    assert float(r.out_lines[-1].split()[2]) > 1.5
    assert usb.flash(SERIAL) == {address: patched(payload, address, 0x0001ABCD)}
    status = usb.status(SERIAL)
    assert (status["version"], status["build"]) == ("1.2.0", 1200)
    assert status["stats"]["connections_accepted"] == 2
    assert status["stats"]["load_count"] == 1 and status["stats"]["reboots"] == 1
    assert "announcing the started loader" in [e["event"] for e in status["events"]]
    # Plugged in at the start, after the loader started, after the reboot.
    assert usb.wait(lambda: usb.plugged_times(SERIAL) == 3)
    assert usb.status("0002BEEF")["stats"]["connections_accepted"] == 0
    assert settings(run.store)["LATEST_TRANSFER"] == str(path)
    # After its restart the module runs the new firmware.
    r = run("-D")
    assert sorted(r.out_lines[4:]) == ["    0001ABCD  02       02      Ironwood       1.2.0 (1200)",
                                       "    0002BEEF  04       04      Cedar          1.0.0 (1)"]


def patched(payload, address, serial_number):
    """The firmware payload with the serial number written in as the updater
    does for a file with serial-number offsets."""
    out = bytearray(payload)
    word, text = 0x200, 0x210
    out[word:word + 4] = serial_number.to_bytes(4, "little")
    for i, ch in enumerate("%08X" % serial_number):
        out[text + 2 * i] = ord(ch)
    return bytes(out)


# ---------------------------------------------------------------------------
# Transfer faults. Transfer 300 falls into the firmware transfer: the loader
# and what precedes it take about 170 bulk OUT transfers, the 8 KiB firmware
# about 350 more.

RECOVERED = [
    # A stalled OUT endpoint is cleared and the chunk sent again.
    ("usb_stall_out=300", {"stalled_out": 1, "clear_halt_01": 1}),
    # A stalled IN endpoint is cleared; the bytes it held come with the next read.
    ("usb_stall_in=300", {"stalled_in": 1, "clear_halt_81": 1}),
    # An OUT transfer the device never acknowledges times out after 50 ms,
    # is cancelled, and the chunk goes out again at once.
    ("usb_nak_out=300", {"nak_out": 1, "discarded_01": 1}),
]


@pytest.mark.parametrize("fault,expected", RECOVERED, ids=[f[0].split("=")[0] for f in RECOVERED])
def test_transfer_faults_the_host_gets_over(run, usb, tmp_path, fault, expected):
    path, address, payload = firmware(tmp_path)
    key, value = fault.split("=")
    usb.module(SERIAL, model=19, load_offline_ms=100, reboot_offline_ms=300, **{key: value})
    r = run("-U", "-d", SERIAL, "-f", path, "-u", NO_SERVER)
    assert r.status == 0, r.stdout + r.stderr
    counters = usb.counters(SERIAL)
    assert {k: counters.get(k) for k in expected} == expected
    assert usb.flash(SERIAL) == {address: payload}
    status = usb.status(SERIAL)
    assert status["protocol_errors"] == []
    assert settings(run.store)["LATEST_TRANSFER"] == str(path)


def stored_build(store, tmp_path):
    """Build 1200 in the device's store entry, remembered as the last
    download; returns the settings text, address and payload."""
    path, address, payload = firmware(tmp_path)
    entry = store / SERIAL
    entry.mkdir(parents=True)
    (entry / "1200.bird").write_bytes(path.read_bytes())
    text = "LAST_DOWNLOAD_DATE=Mon Jan  5 10:00:00 2026\nLATEST_DOWNLOAD=1200.bird\n"
    (entry / ".settings").write_text(text)
    return text, address, payload


FAILING = [
    # Pulled out during the firmware transfer, never back.
    ("usb_vanish_data=300", 10),
    # Stops acknowledging anything during the firmware transfer: the write
    # of one packet gives up after 100 rounds of two 50 ms time-outs.
    ("usb_nak_out=300:1000000", 30),
]


@pytest.mark.parametrize("fault,limit", FAILING, ids=["vanish", "hang"])
def test_transfer_faults_that_end_the_update(run, usb, tmp_path, fault, limit):
    before, address, payload = stored_build(run.store, tmp_path)
    key, value = fault.split("=")
    usb.module(SERIAL, model=19, load_offline_ms=100, reboot_offline_ms=300, **{key: value})
    r = run("-U", "-d", SERIAL, "-b", "1200", "-u", NO_SERVER, timeout=limit + 30)
    assert r.status == 1, r.stdout + r.stderr
    assert r.out_lines[1:-1] == [
        "Updating firmware with build: 1200",
        "Transferring loader to device",
        "Transferring loader block 1 of 1, 4100 bytes",
        "Transferred 1 blocks, 4100 total bytes",
        "Starting Load on Device",
        "Transferring firmware block 1 of 1, 8196 bytes",
        "Transferred 0 blocks, 0 total bytes",
    ]
    assert r.err_lines == ["NETWORK: Failed to transfer firmware"]
    assert float(r.out_lines[-1].split()[2]) < limit
    assert (run.store / SERIAL / ".settings").read_text() == before
    status = usb.status(SERIAL)
    assert status["stats"]["reboots"] == 0
    assert status["firmware_blocks"] == []
    # Only whole blocks written before the fault reached the flash.
    written = usb.flash(SERIAL).get(address, b"")
    assert len(written) < len(payload) and payload.startswith(written)
    # Plugged in at the start and after the loader started, then gone
    # (vanish) or kept but deaf (hang).
    assert usb.plugged_times(SERIAL) == 2
    assert usb.bus.find(SERIAL).plugged == ("vanish" not in fault)


# ---------------------------------------------------------------------------
# i.MX recovery: SDP over HID, then the loader as a module on USB

# The loader's system option 0x27, indexes 0 to 3.
LOADER_WORDS = [0x5A1C3E07, 0x9B2D4F61, 0x00000042, 0x1F0A2B3C]
# The fingerprint as the updater keeps it: index i in word 3 - i.
FINGERPRINT = " ".join("%08X" % w for w in reversed(LOADER_WORDS))
LOADER_BUILD = 7
RECOVERED_SERIAL = "0042F00D"
RECOVERED_BUILD = 3100


def serve_loader(server):
    """The default recovery loader image: one loader block for RAM at
    0x20000000 and its start address."""
    code = birdpack.pseudo_random_bytes(2500, 5)
    desc = {"info": {"build": LOADER_BUILD, "version": "0.0.7", "serial": "DEADDEAD", "model": "Ironwood"},
            "blocks": [{"type": 0, "address": "0x20000000", "payload": {"hex": code.hex()}}],
            "loader_start": "0x20000400"}
    (server.root / "DEADDEAD").mkdir(parents=True)
    (server.root / "DEADDEAD" / ("%d.bird" % LOADER_BUILD)).write_bytes(birdpack.build_bird(desc))
    return code


def loader_keys(**keys):
    keys.setdefault("fingerprint", ":".join("0x%08X" % w for w in LOADER_WORDS))
    keys.setdefault("model", 19)
    keys.setdefault("reboot_offline_ms", 300)
    return keys


def test_fingerprint_of_an_imx_chip_on_usb(run, usb, server):
    code = serve_loader(server)
    chip = usb.imx(**loader_keys())
    r = run("-N", "-s", "USB", "-u", server.url)
    assert r.status == 0, r.stdout + r.stderr
    # The loader image was downloaded without a word on the console.
    assert r.out_lines == ["Updater (Version: 1.1 Apr 26 2023)", "[ %s ]" % FINGERPRINT]
    assert (run.store / "DEADDEAD" / ("%d.bird" % LOADER_BUILD)).exists()
    # SDP over HID: the loader went to RAM whole, then the chip jumped into it.
    log = chip.sdp.log
    assert [(l["address"], l["count"], l["complete"]) for l in log["loads"]] == [(0x20000000, 2500, True)]
    assert bytes(chip.sdp.memory[0][1]) == code
    assert (log["jump"]["address"], log["jump"]["result"]) == (0x20000400, "running")
    assert not chip.plugged
    # The loader on USB: asked for its four identification words, then reset
    # (-N leaves no loader running).
    stats = usb.status("DEADDEAD")["stats"]
    assert (stats["connections_accepted"], stats["host_packets_by_kind"]["uei_get"], stats["resets"]) == (1, 4, 1)
    assert usb.plugged_times("imx") == 1


def test_recovery_of_an_imx_chip_on_usb(run, usb, server, tmp_path):
    serve_loader(server)
    image = birdpack.pseudo_random_bytes(8192, 6)
    desc = {"info": {"build": RECOVERED_BUILD, "version": "3.1.0", "serial": RECOVERED_SERIAL, "model": "Ironwood"},
            "blocks": [{"type": 1, "address": "0x4000", "payload": {"hex": image.hex()}}]}
    (server.root / RECOVERED_SERIAL).mkdir(parents=True)
    (server.root / RECOVERED_SERIAL / ("%d.bird" % RECOVERED_BUILD)).write_bytes(birdpack.build_bird(desc))
    (server.root / "recovery").write_text("%s %s %d\n" % (FINGERPRINT, RECOVERED_SERIAL, RECOVERED_BUILD))
    chip = usb.imx(**loader_keys())
    bystander = usb.module("0002BEEF", model=13)
    r = run("-U", "-t", "RECOVER", "-s", "USB", "-u", server.url)
    assert r.status == 0, r.stdout + r.stderr
    assert r.stderr == ""
    assert r.out_lines[1:-1] == [
        "Recovering firmware with build: %d" % RECOVERED_BUILD,
        "Downloading firmware build %d" % RECOVERED_BUILD,
        "Retrieving build %d" % RECOVERED_BUILD,
        "Validating build %d with server" % RECOVERED_BUILD,
        "Build %d is valid" % RECOVERED_BUILD,
        "Transferring firmware block 1 of 1, 8196 bytes",
        "Transferred 1 blocks, 8196 total bytes",
    ]
    assert re.match(r"^Update time: \d+\.\d{4} sec$", r.out_lines[-1])
    # The chip's words went to the server in the order the updater keeps them.
    fix = [q["query"] for q in server.requests() if q["op"] == "fix"]
    assert [q["fp"] for q in fix] == [FINGERPRINT]
    assert server.ops() == ["hi", "qu", "builds", "bird", "fix", "hi", "qu", "builds", "bird"]
    assert chip.sdp.log["jump"]["result"] == "running"
    # The running loader took the firmware and rebooted; it was not reset
    # between the fingerprint and the transfer.
    assert usb.flash("DEADDEAD") == {0x4000: image}
    status = usb.status("DEADDEAD")
    stats = status["stats"]
    assert (stats["connections_accepted"], stats["resets"], stats["reboots"]) == (2, 0, 1)
    assert [b["address"] for b in status["firmware_blocks"]] == [0x4000]
    assert usb.status("0002BEEF")["stats"]["connections_accepted"] == 0
    assert bystander.plugged
    assert (run.store / RECOVERED_SERIAL / ("%d.bird" % RECOVERED_BUILD)).exists()


def test_no_imx_chip_on_usb(run, usb, server):
    serve_loader(server)
    usb.module(SERIAL, model=19)
    r = run("-N", "-s", "USB", "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Got no response from chip"]
    assert usb.status(SERIAL)["stats"]["connections_accepted"] == 0
