"""-B, -G, -U and -G -U: the flows that end well and the choices they make;
faults are the fault matrix's."""
import re
import time

import pytest

from conftest import STORE, birdpack, module_spec, settings

SERIAL = "0001ABCD"
CTIME = re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$")
NEWER = "New firmware is available.  Updater will proceed if valid firmware is found locally."


def test_list_builds_ordered_by_version_text(updater, server):
    for build, version in ((1200, "1.2.0"), (1100, "1.10.0"), (990, "1.1.9")):
        server.add_build(SERIAL, build, version)
    r = updater("-B", "-d", SERIAL, "-u", server.url)
    assert (r.status, r.stderr) == (0, "")
    # Ordered by version text as plain bytes; the fault matrix pins the layout.
    assert [line.split()[0] for line in r.out_lines[4:]] == ["990", "1100", "1200"]
    assert server.ops() == ["hi", "builds"]


def test_get_the_newest_build_makes_the_store_entry(updater, server):
    server.add_build(SERIAL, 1100, "1.1.0")
    server.add_build(SERIAL, 1200, "1.2.0")
    r = updater("-G", "-d", SERIAL, "-u", server.url)
    assert (r.status, r.stderr) == (0, "")
    # The file's bytes and the requests are test_https's good row's.
    values = settings(updater.store, SERIAL)
    assert sorted(values) == ["CREATED_TIME", "LAST_DOWNLOAD_DATE", "LATEST_DOWNLOAD", "UPDATED_TIME"]
    assert values.pop("LATEST_DOWNLOAD") == "1200.bird"
    assert all(CTIME.match(v) for v in values.values())


def test_get_a_build_not_offered(updater, server):
    server.add_build(SERIAL, 1200, "1.2.0")
    r = updater("-G", "-d", SERIAL, "-b", "999", "-u", server.url)
    assert (r.status, r.err_lines) == (1, ["No valid build 999", "  not among the 1 builds the server lists"])
    # With -OVERRIDE the list is not consulted and the download is tried.
    r = updater("-G", "-d", SERIAL, "-b", "999", "-OVERRIDE", "-u", server.url)
    assert r.status == 1
    assert "Override specified, skipping validation of build 999" in r.out_lines
    assert r.err_lines == ["Download failed",
                           '  the server answered "error: unknown build 999 for 0001ABCD" instead of "ok"',
                           "Failed to retreive a valid BIRD file"]
    assert server.ops()[-3:] == ["hi", "qu", "bird"]
    assert not (updater.store / SERIAL / "999.bird").exists()


def with_module(sims, server, model="Ironwood", serial_offsets=True):
    """Build 1200 on the server, the module running 1100: (path, modules)."""
    path = server.add_build(SERIAL, 1200, "1.2.0", model=model, serial_offsets=serial_offsets)
    keys = dict(model=19, address=2, version="1.1.0", build=1100, load_offline_ms=300, reboot_offline_ms=500)
    return path, sims.modules(module_spec(SERIAL, 0, **keys))


def settle():
    """Waits out the module's restart after an update."""
    time.sleep(0.8)


def test_update_from_a_file_patches_the_serial_number(updater, server, sims, tmp_path):
    path, vm = with_module(sims, server)
    local = tmp_path / "fw.bird"
    local.write_bytes(path.read_bytes())
    r = updater("-U", "-d", SERIAL, "-f", local, "-u", server.url)
    assert (r.status, r.stderr) == (0, ""), r.stdout
    # The transfer's lines are the fault matrix's.
    assert r.out_lines[1] == "Updating from Birdfile: %s" % local
    # The firmware as the module holds it: the serial number written in as
    # a word at +0x200 and as UTF-16 text at +0x210.
    fw = birdpack.parse_bird(path.read_bytes()).find_blocks(birdpack.BLOCK_FIRMWARE)[0]
    payload = bytearray(fw.payload)
    payload[0x200:0x204] = (0x0001ABCD).to_bytes(4, "little")
    payload[0x210:0x220:2] = b"0001ABCD"
    assert vm.flash(SERIAL) == {fw.address: bytes(payload)}
    assert vm.wait_status(SERIAL, lambda s: s["version"] == "1.2.0")["build"] == 1200
    # The device had no store entry: it got one.
    values = settings(updater.store, SERIAL)
    assert values["LATEST_TRANSFER"] == str(local)
    assert CTIME.match(values["LAST_TRANSFER_DATE"])


def test_update_chooses_the_newest_stored_then_the_remembered_builds(updater, server, sims):
    with_module(sims, server)
    # Nothing stored and nothing remembered.
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert (r.status, r.out_lines[1:], r.err_lines) == (1, [NEWER], ["Could not find valid build for this device."])
    # The newest build is stored: it is installed.
    assert updater("-G", "-d", SERIAL, "-u", server.url).status == 0
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert r.out_lines[1] == "Updating firmware with build: 1200"
    settle()
    # A newer build on the server that is not stored: the last download is used.
    server.add_build(SERIAL, 1300, "1.3.0", serial_offsets=True)
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert r.out_lines[1:4] == [NEWER, "Updating with the Latest Download", "Updating firmware with build: 1200"]
    settle()
    # Without a server and without LATEST_DOWNLOAD: the last transfer.
    path = updater.store / SERIAL / ".settings"
    path.write_text("".join(l for l in path.read_text().splitlines(True) if not l.startswith("LATEST_DOWNLOAD")))
    r = updater("-U", "-d", SERIAL, "-u", "http://10.231.0.1:9/cgi/u")
    assert r.status == 0, r.stderr
    assert r.out_lines[1:3] == ["Updating with the Latest Transfer", "Updating firmware with build: 1200"]


def test_get_then_update(updater, server, sims):
    with_module(sims, server)
    r = updater("-G", "-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 0, r.stderr
    assert r.out_lines[6:9] == ["Build 1200 is valid", "Updating firmware with build: 1200", "Transferring loader to device"]
    values = settings(updater.store, SERIAL)
    assert (values["LATEST_DOWNLOAD"], values["LATEST_TRANSFER"]) == ("1200.bird", "1200.bird")


@pytest.mark.parametrize("args,out,err", [
    # A build that is not stored is not downloaded.
    (["-b", "1200"], ["Updating firmware with build: 1200"],
     ["Failed to load bird file", "  %s/0001ABCD/1200.bird: No such file or directory" % STORE]),
    (["-r", "D272031D", "-f", "{file}"], ["Updating from Birdfile: {file}"],
     ["Module address required for indirect firmware update"]),
], ids=["not-stored", "indirect"])
def test_update_refused(updater, server, sims, args, out, err):
    path, _ = with_module(sims, server)
    r = updater("-U", "-d", SERIAL, "-u", server.url, *[a.format(file=path) for a in args])
    assert (r.status, r.out_lines[1:], r.err_lines) == (1, [o.format(file=path) for o in out], err)
    assert "bird" not in server.ops()
    assert "LATEST_TRANSFER" not in settings(updater.store, SERIAL)


def test_model_and_serial_checks_and_override(updater, server, sims, tmp_path):
    with_module(sims, server, model="Cedar", serial_offsets=False)
    assert updater("-G", "-d", SERIAL, "-u", server.url).status == 0
    r = updater("-U", "-d", SERIAL, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Connected device model and Bird file model do not match [Ironwood]",
                           "Birdfile failed validation", "  the file is made for model Cedar"]
    assert "LATEST_TRANSFER" not in settings(updater.store, SERIAL)
    r = updater("-U", "-d", SERIAL, "-OVERRIDE", "-u", server.url)
    assert r.status == 0, r.stderr
    settle()
    # A file made for another device fails the serial number check silently.
    other = tmp_path / "other.bird"
    other.write_bytes(birdpack.build_bird(birdpack.sample_description("0001ABCE", "Ironwood", 5, "0.0.5")))
    r = updater("-U", "-d", SERIAL, "-f", other, "-u", server.url)
    assert (r.status, r.err_lines) == (1, ["Birdfile failed validation", "  the file is made for device 0001ABCE"])
