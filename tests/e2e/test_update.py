"""-B, -G, -U and -G -U against virtual modules and the update server."""
import os
import re
import time

import pytest

from server import birdpack
from vmodule import module_spec

SERIAL = "0001ABCD"
CTIME = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$")


def settings(store, serial=SERIAL):
    path = store / serial / ".settings"
    lines = path.read_text().splitlines()
    return dict(l.split("=", 1) for l in lines), [l.split("=", 1)[0] for l in lines]


def expected_flash(bird_bytes, serial_number=None):
    """Firmware payload as the module should hold it, with the serial number
    patched in when the file carries serial offsets."""
    bird = birdpack.parse_bird(bird_bytes)
    fw = bird.find_blocks(birdpack.BLOCK_FIRMWARE)[0]
    payload = bytearray(fw.payload)
    if bird.serial_offsets and serial_number is not None:
        word, descriptor = bird.serial_offsets
        payload[word - fw.address:word - fw.address + 4] = serial_number.to_bytes(4, "little")
        text = "%08X" % serial_number
        for i, ch in enumerate(text):
            payload[descriptor - fw.address + 2 * i] = ord(ch)
    return fw.address, bytes(payload)


def test_list_builds(updater, server):
    server.add_build(SERIAL, 1200, "1.2.0")
    server.add_build(SERIAL, 1100, "1.10.0")
    server.add_build(SERIAL, 990, "1.1.9")
    r = updater("-B", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    # Ordered by version text as plain bytes.
    assert r.out_lines[1:] == [
        "Build List for device [0001ABCD]:", "",
        "Build          \tVersion        ",
        "990            \t1.1.9          ",
        "1100           \t1.10.0         ",
        "1200           \t1.2.0          ",
    ]
    assert server.ops() == ["hi", "builds"]


def test_list_builds_of_an_unknown_device_and_an_unreachable_server(updater, server):
    r = updater("-B", "-d", "00000042", "-u", server.url)
    assert r.status == 0
    assert r.err_lines == ["Failed to retrieve builds for 00000042"]
    assert r.out_lines[-1] == "No builds found for device [00000042]"
    r = updater("-B", "-d", "00000042", "-u", "http://10.231.0.1:9/cgi/u")
    assert r.err_lines == ["Server request failed for http://10.231.0.1:9/cgi/u"]


def test_get_newest_build_stores_file_and_settings(updater, server):
    server.add_build(SERIAL, 1100, "1.1.0")
    path = server.add_build(SERIAL, 1200, "1.2.0")
    r = updater("-G", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert r.out_lines[1:] == [
        "Retrieving firmware for device with serial number 0001ABCD",
        "No build specified", "Using Latest build",
        "Retrieving build 1200", "Validating build 1200 with server", "Build 1200 is valid",
    ]
    assert (updater.store / SERIAL / "1200.bird").read_bytes() == path.read_bytes()
    values, order = settings(updater.store)
    assert order == sorted(order)
    assert values["LATEST_DOWNLOAD"] == "1200.bird"
    assert CTIME.match(values["LAST_DOWNLOAD_DATE"])
    assert CTIME.match(values["CREATED_TIME"]) and CTIME.match(values["UPDATED_TIME"])
    assert server.ops() == ["hi", "qu", "builds", "bird"]


def test_get_a_build_not_offered(updater, server):
    server.add_build(SERIAL, 1200, "1.2.0")
    r = updater("-G", "-d", SERIAL, "-b", "999", "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["No valid build 999"]
    assert not (updater.store / SERIAL / "999.bird").exists()
    # With -OVERRIDE the list is not consulted and the download is tried.
    r = updater("-G", "-d", SERIAL, "-b", "999", "-OVERRIDE", "-u", server.url)
    assert r.status == 1
    assert "Override specified, skipping validation of build 999" in r.out_lines
    assert r.err_lines == ["Download failed", "Failed to retreive a valid BIRD file"]
    assert server.ops()[-3:] == ["hi", "qu", "bird"]


def test_get_with_undecodable_data_keeps_the_last_good_download(updater, server):
    server.add_build(SERIAL, 1100, "1.1.0")
    assert updater("-G", "-d", SERIAL, "-b", "1100", "-u", server.url).status == 0
    before = (updater.store / SERIAL / ".settings").read_text()
    server.add_build(SERIAL, 1200, "1.2.0")
    server.set_faults(["bird:bad-base64=alphabet"])
    r = updater("-G", "-d", SERIAL, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Failed to retreive a valid BIRD file"]
    assert (updater.store / SERIAL / ".settings").read_text() == before
    assert not (updater.store / SERIAL / "1200.bird").exists()


def test_get_with_server_failures(updater, server):
    server.add_build(SERIAL, 1200, "1.2.0")
    server.set_faults(["qu:first-line"])
    r = updater("-G", "-d", SERIAL, "-b", "1200", "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["No build information for device"]
    # A build argument that is not all digits reads as 0, the newest build.
    r = updater("-G", "-d", SERIAL, "-b", "12x", "-u", server.url)
    assert r.status == 1
    assert "Retrieving firmware build 0" in r.out_lines
    assert r.err_lines == ["No build information for device"]
    assert not (updater.store / SERIAL / "1200.bird").exists()


def settle():
    """Waits out the module's restart after an update (reboot_offline_ms)."""
    time.sleep(0.8)


def update_setup(server, modules, tmp_path, serial_offsets=True, model="Ironwood", **module_keys):
    path = server.add_build(SERIAL, 1200, "1.2.0", model=model, serial_offsets=serial_offsets)
    keys = dict(model=19, address=2, version="1.1.0", build=1100, load_offline_ms=300, reboot_offline_ms=500)
    keys.update(module_keys)
    vm = modules(module_spec(SERIAL, 0, **keys))
    return path, vm


def test_update_from_a_file_patches_the_serial_number(updater, server, modules, tmp_path):
    path, vm = update_setup(server, modules, tmp_path)
    local = tmp_path / "fw.bird"
    local.write_bytes(path.read_bytes())
    r = updater("-U", "-d", SERIAL, "-f", local, "-u", server.url, timeout=120)
    assert r.status == 0, r.stdout + r.stderr
    out = r.out_lines
    assert out[1] == "Updating from Birdfile: %s" % local
    assert "Transferring loader to device" in out
    assert "Transferring loader block 1 of 1, 4100 bytes" in out
    assert "Starting Load on Device" in out
    assert "Transferring firmware block 1 of 1, 65540 bytes" in out
    assert re.match(r"^Update time: \d+\.\d{4} sec$", out[-1])
    address, payload = expected_flash(path.read_bytes(), 0x0001ABCD)
    assert vm.flash(SERIAL) == {address: payload}
    status = vm.wait_status(SERIAL, lambda s: s["version"] == "1.2.0")
    assert status["build"] == 1200
    # The device had no store entry: it got one, and nothing was written to
    # a settings file in the working directory.
    values, _ = settings(updater.store)
    assert values["LATEST_TRANSFER"] == str(local)
    assert CTIME.match(values["LAST_TRANSFER_DATE"])
    assert not os.path.exists(".settings")
    # The module runs the new firmware once its restart is over: discovery
    # shows it.
    time.sleep(1.0)
    r = updater("-D", "-t", "TCPIP")
    assert r.out_lines[-1].startswith("    0001ABCD  02       02      Ironwood       1.2.0 (1200)")


def test_update_chooses_newest_stored_then_remembered_builds(updater, server, modules, tmp_path):
    path, vm = update_setup(server, modules, tmp_path)
    # Nothing stored and nothing remembered.
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 1
    assert r.out_lines[1:] == ["New firmware is available.  Updater will proceed if valid firmware is found locally."]
    assert r.err_lines == ["Could not find valid build for this device."]
    # The newest build is stored: it is installed.
    assert updater("-G", "-d", SERIAL, "-u", server.url).status == 0
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert "Updating firmware with build: 1200" in r.out_lines
    settle()
    # A newer build on the server that is not stored: the last download is used.
    server.add_build(SERIAL, 1300, "1.3.0", serial_offsets=True)
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert r.out_lines[1:4] == ["New firmware is available.  Updater will proceed if valid firmware is found locally.",
                                "Updating with the Latest Download", "Updating firmware with build: 1200"]
    settle()
    # Without a server and without LATEST_DOWNLOAD: the last transfer.
    settings_file = updater.store / SERIAL / ".settings"
    settings_file.write_text("\n".join(l for l in settings_file.read_text().splitlines()
                                       if not l.startswith("LATEST_DOWNLOAD")) + "\n")
    r = updater("-U", "-d", SERIAL, "-u", "http://10.231.0.1:9/cgi/u")
    assert r.status == 0, r.stderr
    assert r.out_lines[1:3] == ["Updating with the Latest Transfer", "Updating firmware with build: 1200"]


def test_get_then_update(updater, server, modules, tmp_path):
    path, vm = update_setup(server, modules, tmp_path)
    r = updater("-G", "-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert "Build 1200 is valid" in r.out_lines
    assert "Updating firmware with build: 1200" in r.out_lines
    values, _ = settings(updater.store)
    assert values["LATEST_TRANSFER"] == "1200.bird"
    assert values["LATEST_DOWNLOAD"] == "1200.bird"


def test_a_build_that_is_not_stored_is_not_downloaded(updater, server, modules, tmp_path):
    update_setup(server, modules, tmp_path)
    r = updater("-U", "-d", SERIAL, "-b", "1200", "-u", server.url)
    assert r.status == 1
    assert r.out_lines[1:] == ["Updating firmware with build: 1200"]
    assert r.err_lines == ["Failed to load bird file"]
    assert "bird" not in server.ops()


def test_model_and_serial_checks_and_override(updater, server, modules, tmp_path):
    path, vm = update_setup(server, modules, tmp_path, serial_offsets=False, model="Cedar")
    assert updater("-G", "-d", SERIAL, "-u", server.url).status == 0
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Connected device model and Bird file model do not match [Ironwood]",
                           "Birdfile failed validation"]
    assert "LATEST_TRANSFER" not in settings(updater.store)[0]
    r = updater("-U", "-d", SERIAL, "-OVERRIDE", "-u", server.url)
    assert r.status == 0, r.stderr
    settle()
    # A file made for another device fails the serial number check silently.
    other = tmp_path / "other.bird"
    other.write_bytes(birdpack.build_bird(birdpack.sample_description(
        serial="0001ABCE", model="Ironwood", build=5, version="0.0.5")))
    r = updater("-U", "-d", SERIAL, "-f", other, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Birdfile failed validation"]


def test_module_not_found(updater, server):
    path = server.add_build(SERIAL, 1200, "1.2.0")
    r = updater("-U", "-d", SERIAL, "-f", path, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Failed to connect to module [0001ABCD]"]
    assert r.out_lines[-1].startswith("Update time: ")


def test_indirect_update_needs_a_module_address(updater, server, modules, tmp_path):
    path, vm = update_setup(server, modules, tmp_path)
    r = updater("-U", "-d", SERIAL, "-r", "D272031D", "-f", path, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Module address required for indirect firmware update"]


FAULTS = [
    ("bad_ack=always", 30),
    ("bad_sum=once", 30),
    ("prepare_status=3", 30),
    ("write_status=4", 30),
    ("block_size=0", 30),
    ("no_reboot_drop=1", 60),
    ("drop_after_data=40,drop_offline_ms=60000", 60),
]


@pytest.mark.parametrize("fault,limit", FAULTS, ids=[f[0].split("=")[0] for f in FAULTS])
def test_update_faults_fail_in_bounded_time_and_leave_settings(updater, server, modules, tmp_path, fault, limit):
    path, vm = update_setup(server, modules, tmp_path)
    assert updater("-G", "-d", SERIAL, "-u", server.url).status == 0
    before = (updater.store / SERIAL / ".settings").read_text()
    name, value = fault.split("=", 1)
    extra = dict(kv.split("=") for kv in fault.split(","))
    vm.stop()
    vm = modules(module_spec(SERIAL, 0, model=19, address=2, load_offline_ms=300, reboot_offline_ms=500, **extra))
    start = time.time()
    r = updater("-U", "-d", SERIAL, "-u", server.url, timeout=limit + 30)
    elapsed = time.time() - start
    assert r.status == 1, r.stdout
    assert elapsed < limit
    assert r.out_lines[-1].startswith("Update time: ")
    assert (updater.store / SERIAL / ".settings").read_text() == before
    if name in ("bad_ack", "bad_sum", "prepare_status", "write_status", "block_size"):
        # The transfer stopped at the failing block: the module was never
        # told to start the new image.
        status = vm.status(SERIAL)
        assert status["stats"]["reboots"] == 0


def test_heartbeats_are_answered_during_an_update(updater, server, modules, tmp_path):
    path, vm = update_setup(server, modules, tmp_path, hb_ms=20)
    r = updater("-U", "-d", SERIAL, "-f", path, "-u", server.url)
    assert r.status == 0, r.stderr
    status = vm.status(SERIAL)
    hb = status["stats"]
    assert hb["heartbeats_sent"] > 10
    assert hb["heartbeats_wrong"] == 0
    assert hb["heartbeats_answered"] >= hb["heartbeats_sent"] - 3
