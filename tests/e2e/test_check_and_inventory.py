"""-C (check a BIRD file) and -I (store inventory) through the binary."""
import copy

import pytest

from conftest import BANNER, STORE, birdpack

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
FAILED = "BIRD file check failed: "
NO_INFLATE = FAILED + "the compressed data does not inflate (damaged, cut short, or larger than 8 times its stream)"


def bird(extra_block=None, **faults):
    """GOOD with faults (and a block) added, packed."""
    desc = copy.deepcopy(GOOD)
    desc["faults"].update(faults)
    if extra_block:
        desc["blocks"].append(extra_block)
    return birdpack.build_bird(desc)


def test_check_reports_a_good_file(updater, tmp_path):
    path = tmp_path / "good.bird"
    path.write_bytes(bird())
    r = updater("-C", "-f", path)
    assert (r.status, r.stderr) == (0, "")
    assert r.out_lines == [BANNER, "Checking BIRD file: %s" % path, "Header: valid"] + GOOD_TABLE + [
        "Block count: consistent (6)",
        "Data size: consistent (4477 bytes inflated)",
        "BIRD file is valid",
    ]


BAD = [
    # file, lines standard output shows in this order, standard error
    (bird(signature="bord"), ['Header: invalid (signature 62 6F 72 64 is not "bird")'] + GOOD_TABLE,
     [FAILED + 'invalid header: signature 62 6F 72 64 is not "bird"']),
    (bird(format_version="0100"), ["Header: invalid (format version 01 00 has a zero byte)"] + GOOD_TABLE,
     [FAILED + "invalid header: format version 01 00 has a zero byte"]),
    (bird(block_count=7), ["Blocks: 6", "Block count: mismatch (6 found, file reports 7)",
                           "Data size: consistent (4477 bytes inflated)"],
     [FAILED + "block count mismatch (6 found, file reports 7)"]),
    (bird(extra_before_checksum={"hex": "AA BB"}),
     ["Data size: mismatch (4479 bytes inflated, blocks and checksum take 4477)"],
     [FAILED + "data size mismatch (4479 bytes inflated, blocks and checksum take 4477)"]),
    # A block whose length runs past the end of the data.
    (bird({"type": 1, "address": "0x8000", "payload": {"hex": "00 11"}, "length_override": "0xFFFFFFFF"}),
     ["Blocks: 6", "File checksum: 00000000"],
     [FAILED + "block count mismatch (6 found, file reports 7)",
      FAILED + "data size mismatch (4488 bytes inflated, blocks and checksum take 4477)"]),
    (bird(truncate_file=100), ["Header: valid"], [NO_INFLATE]),
    (b"bir", ["Header: invalid (the file holds 3 bytes, a header needs 6)"],
     [FAILED + "invalid header: the file holds 3 bytes, a header needs 6", NO_INFLATE]),
]


@pytest.mark.parametrize("content,out,err", BAD, ids=["signature", "version", "count", "size", "length", "cut",
                                                      "short"])
def test_check_reports_a_bad_file(updater, tmp_path, content, out, err):
    path = tmp_path / "bad.bird"
    path.write_bytes(content)
    r = updater("-C", "-f", path)
    assert r.status == 1
    assert r.err_lines == err
    assert r.out_lines[:2] == [BANNER, "Checking BIRD file: %s" % path]
    # The expected lines come in this order (others may come between).
    lines = iter(r.out_lines[2:])
    assert all(line in lines for line in out), r.stdout
    if NO_INFLATE in err:
        # Nothing but the header can be described.
        assert r.out_lines[2:] == out


def sample(serial, build, version):
    desc = birdpack.sample_description(serial, "Ironwood", build, version, size=2048, loader_size=256)
    return birdpack.build_bird(desc)


SETTINGS = ("CREATED_TIME=Sat Dec  5 15:46:33 2026\nLATEST_DOWNLOAD=1300.bird\nLATEST_TRANSFER=1200.bird\n"
            "UPDATED_TIME=Sun Dec  6 10:00:00 2026\n")
INVENTORY = [
    # store contents, arguments, exit status, standard output after the banner, standard error
    ({"0001ABCD/.settings": SETTINGS, "0001ABCD/1300.bird": sample("0001ABCD", 1300, "1.3.0"),
      "0001ABCD/1200.bird": sample("0001ABCD", 1200, "1.2.0"), "0001ABCD/99.bird": sample("0001ABCD", 99, "0.9.9"),
      "0001ABCD/notes.txt": "not firmware",
      # A decoy that contains the serial text is not chosen over the device.
      "0001ABCD.old/.settings": "LATEST_DOWNLOAD=1.bird\n"},
     ["-I", "-d", "1ABCD"], 0,
     ["Device 0001ABCD", "Directory: %s/0001ABCD" % STORE, "Settings:",
      "  CREATED_TIME = Sat Dec  5 15:46:33 2026", "  LATEST_DOWNLOAD = 1300.bird", "  LATEST_TRANSFER = 1200.bird",
      "  UPDATED_TIME = Sun Dec  6 10:00:00 2026", "Builds:",
      "  File         Build  Version          Model",
      "  99.bird         99  0.9.9            Ironwood",
      "  1200.bird     1200  1.2.0            Ironwood",
      "  1300.bird     1300  1.3.0            Ironwood",
      "  notes.txt not a loadable BIRD file (Invalid bird %s/0001ABCD/notes.txt)" % STORE], []),
    ({"00000042/.settings": "LATEST_DOWNLOAD=\n"}, ["-I", "-d", "42"], 0,
     ["Device 00000042", "Directory: %s/00000042" % STORE, "Settings:", "  LATEST_DOWNLOAD = ", "Builds: none"], []),
    ({"00000001/.settings": ""}, ["-I", "-d", "2"], 1, [],
     ["Device 00000002 has no entry in the store at %s" % STORE]),
    ({"DEADDEAD/.settings": "LATEST_DOWNLOAD=7.bird\n", "00000005/": "",
      "0001ABCD/.settings": "LATEST_DOWNLOAD=1300.bird\nLATEST_TRANSFER=/tmp/my file.bird\n", "stray-file": ""},
     ["-I"], 0,
     ["Devices in the store at %s:" % STORE,
      "  Device       LATEST_DOWNLOAD      LATEST_TRANSFER",
      "  00000005     -                    -",
      "  0001ABCD     1300.bird            /tmp/my file.bird",
      "  DEADDEAD     7.bird               -"], []),
    ({}, ["-I"], 0, ["No devices in the store at %s" % STORE], []),
    # A failed check still lets the inventory run, and fails the run.
    ({}, ["-C", "-f", "/nonexistent.bird", "-I"], 1,
     ["Checking BIRD file: /nonexistent.bird", "No devices in the store at %s" % STORE],
     [FAILED + "/nonexistent.bird cannot be opened"]),
]


@pytest.mark.parametrize("files,args,status,out,err", INVENTORY,
                         ids=["device", "no-builds", "unknown", "all", "empty", "after-check"])
def test_inventory(updater, files, args, status, out, err):
    for name, content in files.items():
        path = updater.store / name
        if name.endswith("/"):
            path.mkdir(parents=True)
        else:
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
    before = sorted(updater.store.rglob("*"))
    r = updater(*args)
    assert (r.status, r.out_lines, r.err_lines) == (status, [BANNER] + out, err)
    # Listing creates nothing.
    assert sorted(updater.store.rglob("*")) == before
