"""-C (check a BIRD file) and -I (store inventory) through the binary."""
import json
import subprocess

import pytest

from conftest import TOOLS_DIR
from netns import passwd_home, SYSTEM_PYTHON

BANNER = "Updater (Version: 1.1 Apr 26 2023)"
STORE = passwd_home().rstrip("/") + "/.orvantis/updater"


def pack(path, desc):
    """Writes the .bird file that desc describes with the packer tool."""
    subprocess.run([SYSTEM_PYTHON, str(TOOLS_DIR / "birdpack.py"), "build", "-o", str(path), "-"],
                   input=json.dumps(desc).encode(), check=True, capture_output=True, timeout=60)
    return path


def sample(tree, serial, builds, model="Ironwood"):
    """Stored builds of one device, as the packer lays out a tree."""
    cmd = [SYSTEM_PYTHON, str(TOOLS_DIR / "birdpack.py"), "sample", "--serial", serial, "--model", model,
           "--size", "2048", "--loader-size", "256", "--tree", str(tree)]
    for build, version in builds:
        cmd += ["--build", str(build), "--version", version]
    subprocess.run(cmd, check=True, capture_output=True, timeout=60)


GOOD = {
    "info": {"build": 1200, "version": "1.2.0", "serial": "0001ABCD", "model": "Ironwood"},
    "serial_offsets": {"serial_word": "0x4200", "descriptor": "0x4210"},
    "loader_start": "0x10000101",
    "blocks": [
        {"type": 0, "address": "0x10000000", "payload": {"size": 256, "seed": 1}},
        {"type": 1, "flags": 2, "address": "0x4000", "payload": {"size": 4096, "seed": 2}},
        {"type": 3, "flags": 7, "payload": {"hex": "01 02 03"}},
    ],
    "faults": {"checksum": "0x0BADF00D"},
}

GOOD_TABLE = [
    "Information block:",
    "  Build:         1200",
    "  Version:       1.2.0",
    "  Serial number: 0001ABCD",
    "  Model:         Ironwood",
    "Blocks: 6",
    "  #   Type               Flags     Length  Address",
    "  0   INFO(4)                0         64  -",
    "  1   SERIAL_OFFSETS(2)      0          8  -",
    "  2   LOADER_START(5)        0          4  -",
    "  3   LOADER(0)              0        260  0x10000000",
    "  4   FIRMWARE(1)            2       4100  0x00004000",
    "  5   UNKNOWN(3)             7          3  -",
    "Serial number offsets: serial word 0x00004200, descriptor 0x00004210",
    "File checksum: 0BADF00D",
]


def with_faults(**faults):
    desc = json.loads(json.dumps(GOOD))
    desc["faults"].update(faults)
    return desc


def test_check_reports_a_good_file(updater, tmp_path):
    path = pack(tmp_path / "good.bird", GOOD)
    r = updater("-C", "-f", path)
    assert r.status == 0
    assert r.stderr == ""
    assert r.out_lines == [BANNER, "Checking BIRD file: %s" % path, "Header: valid"] + GOOD_TABLE + [
        "Block count: consistent (6)",
        "Data size: consistent (4477 bytes inflated)",
        "BIRD file is valid",
    ]


def test_check_needs_a_file(updater):
    r = updater("-C")
    assert r.status == 1
    assert r.out_lines == [BANNER]
    assert r.stderr == "-C must specify a BIRD file via -f\n"


def test_check_of_a_missing_file(updater, tmp_path):
    r = updater("-C", "-f", tmp_path / "nope.bird")
    assert r.status == 1
    assert r.err_lines == ["BIRD file check failed: %s cannot be opened" % (tmp_path / "nope.bird")]


@pytest.mark.parametrize("faults,verdict,reason", [
    ({"signature": "bord"}, 'Header: invalid (signature 62 6F 72 64 is not "bird")',
     'invalid header: signature 62 6F 72 64 is not "bird"'),
    ({"format_version": "0100"}, "Header: invalid (format version 01 00 has a zero byte)",
     "invalid header: format version 01 00 has a zero byte"),
])
def test_check_of_a_bad_header_still_describes_the_contents(updater, tmp_path, faults, verdict, reason):
    path = pack(tmp_path / "bad.bird", with_faults(**faults))
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert r.out_lines[1:3] == ["Checking BIRD file: %s" % path, verdict]
    assert r.out_lines[3:3 + len(GOOD_TABLE)] == GOOD_TABLE
    assert r.err_lines == ["BIRD file check failed: " + reason]


def test_check_of_a_block_count_mismatch(updater, tmp_path):
    path = pack(tmp_path / "count.bird", with_faults(block_count=7))
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert "Blocks: 6" in r.out_lines
    assert "Block count: mismatch (6 found, file reports 7)" in r.out_lines
    assert "Data size: consistent (4477 bytes inflated)" in r.out_lines
    assert r.err_lines == ["BIRD file check failed: block count mismatch (6 found, file reports 7)"]


def test_check_of_stray_bytes_before_the_checksum(updater, tmp_path):
    path = pack(tmp_path / "extra.bird", with_faults(extra_before_checksum={"hex": "AA BB"}))
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert "Data size: mismatch (4479 bytes inflated, blocks and checksum take 4477)" in r.out_lines
    assert r.err_lines == [
        "BIRD file check failed: data size mismatch (4479 bytes inflated, blocks and checksum take 4477)"]


def test_check_of_a_block_length_running_past_the_end(updater, tmp_path):
    desc = with_faults()
    desc["blocks"].append({"type": 1, "address": "0x8000", "payload": {"hex": "00 11"},
                           "length_override": "0xFFFFFFFF"})
    path = pack(tmp_path / "long.bird", desc)
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert "Blocks: 6" in r.out_lines
    assert "File checksum: 00000000" in r.out_lines
    assert r.err_lines == [
        "BIRD file check failed: block count mismatch (6 found, file reports 7)",
        "BIRD file check failed: data size mismatch (4488 bytes inflated, blocks and checksum take 4477)",
    ]


@pytest.mark.parametrize("content,header", [
    (b"bir", "Header: invalid (the file holds 3 bytes, a header needs 6)"),
    (b"bird\x01\x01", "Header: valid"),
    (b"bird\x01\x01 this is not a zlib stream", "Header: valid"),
])
def test_check_of_files_that_do_not_inflate(updater, tmp_path, content, header):
    path = tmp_path / "short.bird"
    path.write_bytes(content)
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert r.out_lines == [BANNER, "Checking BIRD file: %s" % path, header]
    assert r.err_lines[-1] == ("BIRD file check failed: the compressed data does not inflate "
                               "(damaged, cut short, or larger than 8 times its stream)")


def test_check_of_a_cut_file(updater, tmp_path):
    path = pack(tmp_path / "cut.bird", with_faults(truncate_file=100))
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert r.out_lines[2] == "Header: valid"
    assert r.err_lines == ["BIRD file check failed: the compressed data does not inflate "
                           "(damaged, cut short, or larger than 8 times its stream)"]


def write_settings(directory, text):
    directory.mkdir(parents=True, exist_ok=True)
    (directory / ".settings").write_text(text)


def test_inventory_of_one_device(updater, home, tmp_path):
    store = home / ".orvantis" / "updater"
    sample(store, "0001ABCD", [(1300, "1.3.0"), (1200, "1.2.0"), (99, "0.9.9")])
    device = store / "0001ABCD"
    write_settings(device, "CREATED_TIME=Sat Dec  5 15:46:33 2026\nLATEST_DOWNLOAD=1300.bird\n"
                           "LATEST_TRANSFER=1200.bird\nUPDATED_TIME=Sun Dec  6 10:00:00 2026\n")
    (device / "notes.txt").write_text("not firmware")
    # A decoy that contains the serial text must not be chosen over the device.
    write_settings(store / "0001ABCD.old", "LATEST_DOWNLOAD=1.bird\n")
    r = updater("-I", "-d", "1ABCD")
    assert r.status == 0, r.stderr
    assert r.stderr == ""
    assert r.out_lines == [
        BANNER,
        "Device 0001ABCD",
        "Directory: %s/0001ABCD" % STORE,
        "Settings:",
        "  CREATED_TIME = Sat Dec  5 15:46:33 2026",
        "  LATEST_DOWNLOAD = 1300.bird",
        "  LATEST_TRANSFER = 1200.bird",
        "  UPDATED_TIME = Sun Dec  6 10:00:00 2026",
        "Builds:",
        "  File         Build  Version          Model",
        "  99.bird         99  0.9.9            Ironwood",
        "  1200.bird     1200  1.2.0            Ironwood",
        "  1300.bird     1300  1.3.0            Ironwood",
        "  notes.txt not a loadable BIRD file (Invalid bird %s/0001ABCD/notes.txt)" % STORE,
    ]


def test_inventory_of_a_device_without_builds(updater, home):
    write_settings(home / ".orvantis" / "updater" / "00000042", "LATEST_DOWNLOAD=\n")
    r = updater("-I", "-d", "42")
    assert r.status == 0
    assert r.out_lines[1:] == [
        "Device 00000042",
        "Directory: %s/00000042" % STORE,
        "Settings:",
        "  LATEST_DOWNLOAD = ",
        "Builds: none",
    ]


def test_inventory_of_an_unknown_device(updater, home):
    write_settings(home / ".orvantis" / "updater" / "00000001", "")
    r = updater("-I", "-d", "2")
    assert r.status == 1
    assert r.out_lines == [BANNER]
    assert r.err_lines == ["Device 00000002 has no entry in the store at %s" % STORE]


def test_inventory_lists_every_device(updater, home):
    store = home / ".orvantis" / "updater"
    write_settings(store / "DEADDEAD", "LATEST_DOWNLOAD=7.bird\n")
    write_settings(store / "0001ABCD", "LATEST_DOWNLOAD=1300.bird\nLATEST_TRANSFER=/tmp/my file.bird\n")
    (store / "00000005").mkdir()
    (store / "stray-file").write_text("")
    r = updater("-I")
    assert r.status == 0
    assert r.out_lines == [
        BANNER,
        "Devices in the store at %s:" % STORE,
        "  Device       LATEST_DOWNLOAD      LATEST_TRANSFER",
        "  00000005     -                    -",
        "  0001ABCD     1300.bird            /tmp/my file.bird",
        "  DEADDEAD     7.bird               -",
    ]
    # Listing creates nothing.
    assert not (store / "00000005" / ".settings").exists()


def test_inventory_of_an_empty_store(updater):
    r = updater("-I")
    assert r.status == 0
    assert r.out_lines == [BANNER, "No devices in the store at %s" % STORE]


def test_check_runs_before_inventory(updater, tmp_path):
    path = pack(tmp_path / "good.bird", GOOD)
    r = updater("-I", "-C", "-f", path)
    assert r.status == 0
    assert r.out_lines[1] == "Checking BIRD file: %s" % path
    assert r.out_lines[-2:] == ["BIRD file is valid", "No devices in the store at %s" % STORE]


def test_failed_check_still_runs_inventory_and_fails(updater, tmp_path):
    r = updater("-C", "-f", tmp_path / "missing.bird", "-I")
    assert r.status == 1
    assert r.out_lines[-1] == "No devices in the store at %s" % STORE
