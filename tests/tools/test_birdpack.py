"""Self-tests of tools/birdpack.py: file bytes are checked against hand-written
layouts and an independent zlib/struct decode, not against birdpack's own
parser."""
import base64
import hashlib
import json
import os
import struct
import subprocess
import sys
import zlib

import pytest

TOOLS = os.path.join(os.environ.get("UPDATER_SOURCE_DIR",
                                    os.path.join(os.path.dirname(__file__), "..", "..")),
                     "tools")
sys.path.insert(0, TOOLS)
import birdpack  # noqa: E402

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
BIRDPACK = os.path.join(TOOLS, "birdpack.py")


def run(*args, cwd=None):
    return subprocess.run([PYTHON, BIRDPACK] + list(args), capture_output=True, text=True,
                          timeout=30, cwd=cwd)


def inflate(file_bytes):
    assert file_bytes[:6] == b"bird\x01\x01"
    return zlib.decompress(file_bytes[6:])


def split_blocks(inflated):
    """Independent walk: (count, [(header, data)], checksum)."""
    count = struct.unpack(">I", inflated[:4])[0]
    pos, blocks = 4, []
    while len(inflated) - pos > 4:
        header, length = struct.unpack(">BI", inflated[pos:pos + 5])
        blocks.append((header, inflated[pos + 5:pos + 5 + length]))
        pos += 5 + length
    assert len(inflated) - pos == 4
    return count, blocks, struct.unpack(">I", inflated[pos:])[0]


def unscramble(data, words):
    # Decoding as the updater does it, written from the relation alone.
    key = [(w >> s) & 0xFF for w in words for s in (24, 16, 8, 0)]
    out, prev = bytearray(), 0
    for j, c in enumerate(data):
        prev = c ^ key[j % 16] ^ prev
        out.append(prev)
    return bytes(out)


INFO = {"build": 1234, "version": "2.4.1", "serial": "0001ABCD", "model": "Ironwood"}
INFO_BYTES = (b"1234" + b" " * 12 + b"2.4.1" + b" " * 11 + b"0001ABCD" + b" " * 8
              + b"Ironwood" + b" " * 8)


class TestLayout:
    def test_single_firmware_block_exact_bytes(self):
        data = birdpack.build_bird({"blocks": [
            {"type": 1, "flags": 2, "address": "0x00001000", "payload": {"hex": "AA BB CC"}}]})
        assert data[:6] == b"bird\x01\x01"
        # count 1 | header 0x41 (type 1, flags 2) | length 7 | address | payload |
        # checksum = 1 + 0x41 + 7 + 0x10 + 0xAA + 0xBB + 0xCC = 0x28A
        assert inflate(data) == bytes.fromhex(
            "00000001" "41" "00000007" "00001000" "AABBCC" "0000028A")

    def test_generated_blocks_come_first_in_fixed_order(self):
        data = birdpack.build_bird({
            "blocks": [{"type": 3, "flags": 7, "payload": {"text": "x"}}],
            "loader_start": "0x10000400",
            "serial_offsets": {"serial_word": 0x4200, "descriptor": "0x4210"},
            "info": INFO,
        })
        count, blocks, checksum = split_blocks(inflate(data))
        assert count == 4
        assert blocks == [
            (0x04, INFO_BYTES),
            (0x02, bytes.fromhex("00004200 00004210")),
            (0x05, bytes.fromhex("10000400")),
            (0xE3, b"x"),
        ]
        assert checksum == sum(inflate(data)[:-4]) & 0xFFFFFFFF

    def test_info_fields_are_space_padded_to_16(self):
        assert birdpack.info_block_data(1234, "2.4.1", "0001ABCD", "Ironwood") == INFO_BYTES
        # A numeric serial is written as eight upper-case hex digits.
        assert birdpack.info_block_data("1234", "2.4.1", 0x1ABCD, "Ironwood") == INFO_BYTES
        full = birdpack.info_block_data("1" * 16, "v" * 16, "s" * 16, "m" * 16)
        assert full == b"1" * 16 + b"v" * 16 + b"s" * 16 + b"m" * 16
        with pytest.raises(birdpack.DescriptionError, match="longer than 16"):
            birdpack.info_block_data(1, "1.0.0", 1, "M" * 17)

    def test_flags_and_info_flags(self):
        data = birdpack.build_bird({"info": dict(INFO, flags=5), "blocks": [
            {"type": 0, "flags": 1, "address": 0, "payload": None},
            {"type": 31, "flags": 7}]})
        _, blocks, _ = split_blocks(inflate(data))
        assert [h for h, _ in blocks] == [0xA4, 0x20, 0xFF]
        assert blocks[1][1] == b"\x00\x00\x00\x00"
        assert blocks[2][1] == b""

    @pytest.mark.parametrize("block, message", [
        ({"type": 1, "payload": {"hex": "00"}}, "needs an address"),
        ({"type": 0}, "needs an address"),
        ({"type": 4, "address": 0}, "has no address"),
        ({"type": 32}, "not 0..31"),
        ({"type": 1, "flags": 8, "address": 0}, "not 0..7"),
        ({"flags": 0}, "has no type"),
        ({"type": 3, "payload": {"nothing": 1}}, "has none of"),
        ({"type": 3, "payload": {"hex": "0"}}, "bad hex"),
    ])
    def test_bad_blocks_are_refused(self, block, message):
        with pytest.raises(birdpack.DescriptionError, match=message):
            birdpack.build_bird({"blocks": [block]})

    def test_unknown_keys_are_refused(self):
        with pytest.raises(birdpack.DescriptionError, match="unknown description keys: blcks"):
            birdpack.build_bird({"blcks": []})
        with pytest.raises(birdpack.DescriptionError, match="unknown faults: sig"):
            birdpack.build_bird({"faults": {"sig": "x"}})


class TestPayloads:
    def test_payload_forms(self, tmp_path):
        (tmp_path / "code.bin").write_bytes(b"\x01\x02\x03")
        items = [{"hex": "de ad"}, {"text": "hi"}, {"file": "code.bin"},
                {"fill": "0x5A", "size": 3}, {"size": 5, "seed": 9}]
        got = birdpack.payload_bytes(items, str(tmp_path))
        assert got[:10] == b"\xde\xadhi\x01\x02\x03ZZZ"
        assert got[10:] == hashlib.sha256(b"birdpack:9:0").digest()[:5]

    def test_pseudo_random_bytes_are_deterministic_and_seeded(self):
        a = birdpack.pseudo_random_bytes(100, 1)
        assert len(a) == 100
        assert a == birdpack.pseudo_random_bytes(100, 1)
        assert a != birdpack.pseudo_random_bytes(100, 2)
        assert a[32:64] == hashlib.sha256(b"birdpack:1:1").digest()
        assert birdpack.pseudo_random_bytes(0, 1) == b""

    def test_file_payload_relative_to_description(self, tmp_path):
        (tmp_path / "sub").mkdir()
        (tmp_path / "sub" / "fw.bin").write_bytes(b"FIRMWARE")
        (tmp_path / "sub" / "d.json").write_text(json.dumps({"blocks": [
            {"type": 1, "address": 0, "payload": {"file": "fw.bin"}}]}))
        r = run("build", "sub/d.json", "-o", "out.bird", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        _, blocks, _ = split_blocks(inflate((tmp_path / "out.bird").read_bytes()))
        assert blocks == [(0x01, b"\x00\x00\x00\x00FIRMWARE")]


class TestScramble:
    WORDS = [0xA0B0C0D0, 0x01020304, 0xFFFFFFFF, 0x00000000]

    def test_key_bytes_most_significant_first(self):
        assert birdpack.key_bytes(["A0B0C0D0", "0x01020304", 0xFFFFFFFF, 0]) == bytes.fromhex(
            "A0B0C0D0 01020304 FFFFFFFF 00000000")

    def test_hand_computed_vector(self):
        # c0 = 0x10 ^ 0xA0 ^ 0 = 0xB0; c1 = 0x20 ^ 0xB0 ^ 0x10 = 0x80
        assert birdpack.scramble(b"\x10\x20", self.WORDS) == b"\xB0\x80"

    def test_every_firmware_block_scrambled_independently(self):
        p1 = birdpack.pseudo_random_bytes(40, 1)
        p2 = birdpack.pseudo_random_bytes(33, 2)
        loader = birdpack.pseudo_random_bytes(20, 3)
        data = birdpack.build_bird({
            "scramble": {"key": ["%08X" % w for w in self.WORDS]},
            "blocks": [
                {"type": 0, "address": "0x10000000", "payload": {"size": 20, "seed": 3}},
                {"type": 1, "address": "0x00000000", "payload": {"size": 40, "seed": 1}},
                {"type": 1, "address": "0x00008000", "payload": {"size": 33, "seed": 2}},
            ]})
        _, blocks, _ = split_blocks(inflate(data))
        assert blocks[0] == (0x00, bytes.fromhex("10000000") + loader)
        assert blocks[1][1][:4] == bytes.fromhex("00000000")
        assert blocks[2][1][:4] == bytes.fromhex("00008000")
        assert blocks[1][1][4:] != p1
        # The chain restarts per block: each block decodes on its own.
        assert unscramble(blocks[1][1][4:], self.WORDS) == p1
        assert unscramble(blocks[2][1][4:], self.WORDS) == p2
        assert birdpack.descramble(birdpack.scramble(p2, self.WORDS), self.WORDS) == p2

    def test_key_needs_four_words(self):
        with pytest.raises(birdpack.DescriptionError, match="four words"):
            birdpack.scramble(b"x", [1, 2, 3])
        with pytest.raises(birdpack.DescriptionError, match="32 bits"):
            birdpack.scramble(b"x", [1, 2, 3, 0x100000000])


class TestVersionMarker:
    def test_marker_text(self):
        assert birdpack.version_marker("1.2.0", 1200) == b"KSFW-VERSION=1.2.0;BUILD=1200;"

    def test_marker_goes_into_first_firmware_block_at_256(self):
        data = birdpack.build_bird({
            "info": {"build": 77, "version": "3.1.4", "serial": 1, "model": "M"},
            "version_marker": True,
            "blocks": [
                {"type": 0, "address": 0, "payload": {"fill": 0, "size": 400}},
                {"type": 1, "address": 0, "payload": {"fill": 0, "size": 400}},
                {"type": 1, "address": 0, "payload": {"fill": 0, "size": 400}},
            ]})
        _, blocks, _ = split_blocks(inflate(data))
        marker = b"KSFW-VERSION=3.1.4;BUILD=77;"
        assert blocks[2][1][4:] == bytes(256) + marker + bytes(400 - 256 - len(marker))
        assert marker not in blocks[1][1] and marker not in blocks[3][1]

    def test_short_payload_puts_marker_at_0_and_explicit_offset_grows(self):
        marker = b"KSFW-VERSION=1.0.0;BUILD=5;"
        assert birdpack.put_marker(b"\xff" * 40, marker) == marker + b"\xff" * 13
        assert birdpack.put_marker(b"\xff" * 4, marker, offset=2) == b"\xff\xff" + marker
        payload = birdpack.make_firmware_payload(1024, 4, "1.0.0", 5)
        assert payload[256:256 + len(marker)] == marker and len(payload) == 1024

    def test_marker_is_written_before_scrambling(self):
        words = [1, 2, 3, 4]
        desc = {"version_marker": {"version": "9.8.7", "build": 42, "offset": 3},
                "scramble": {"key": words},
                "blocks": [{"type": 1, "address": 0, "payload": {"size": 64, "seed": 0}}]}
        _, blocks, _ = split_blocks(inflate(birdpack.build_bird(desc)))
        assert b"KSFW-VERSION" not in blocks[0][1]
        plain = unscramble(blocks[0][1][4:], words)
        marker = b"KSFW-VERSION=9.8.7;BUILD=42;"
        assert plain[:3] + plain[3 + len(marker):] == \
            birdpack.pseudo_random_bytes(64, 0)[:3] + birdpack.pseudo_random_bytes(64, 0)[31:]
        assert plain[3:3 + len(marker)] == marker

    def test_marker_needs_version_and_firmware(self):
        with pytest.raises(birdpack.DescriptionError, match="needs a version"):
            birdpack.build_bird({"version_marker": True, "blocks": [
                {"type": 1, "address": 0}]})
        with pytest.raises(birdpack.DescriptionError, match="needs a firmware block"):
            birdpack.build_bird({"version_marker": True, "info": INFO})


class TestFaults:
    BLOCKS = [{"type": 1, "address": 0, "payload": {"hex": "0102"}},
              {"type": 3, "payload": {"hex": "FF"}}]
    GOOD = bytes.fromhex("00000002" "01 00000006 00000000 0102" "03 00000001 FF")

    def build(self, **faults):
        return birdpack.build_bird({"blocks": self.BLOCKS, "faults": faults})

    def test_header_faults(self):
        assert self.build(signature="bord")[:6] == b"bord\x01\x01"
        assert self.build(format_version="0100")[:6] == b"bird\x01\x00"
        assert self.build(signature={"hex": "00"}, format_version="")[:1] == b"\x00"
        assert zlib.decompress(self.build(signature="bord")[6:])[:-4] == self.GOOD

    def test_inflated_faults(self):
        checksum = struct.pack(">I", sum(self.GOOD))
        assert zlib.decompress(self.build()[6:]) == self.GOOD + checksum
        count3 = bytes.fromhex("00000003") + self.GOOD[4:]
        assert zlib.decompress(self.build(block_count=3)[6:]) == \
            count3 + struct.pack(">I", sum(count3))
        assert zlib.decompress(self.build(checksum="0xDEADBEEF")[6:]) == \
            self.GOOD + bytes.fromhex("DEADBEEF")
        assert zlib.decompress(self.build(extra_inflated={"hex": "EEEE"})[6:]) == \
            self.GOOD + checksum + b"\xee\xee"
        assert zlib.decompress(self.build(extra_before_checksum={"hex": "07"})[6:]) == \
            self.GOOD + b"\x07" + struct.pack(">I", sum(self.GOOD) + 7)
        assert zlib.decompress(self.build(truncate_inflated=5)[6:]) == self.GOOD[:-1]

    def test_lying_block_length(self):
        blocks = [dict(self.BLOCKS[0], length_override=100)]
        inflated = zlib.decompress(birdpack.build_bird({"blocks": blocks})[6:])
        assert inflated[:15] == bytes.fromhex("00000001 01 00000064 00000000 0102")
        assert len(inflated) == 4 + 5 + 6 + 4

    def test_file_level_faults(self):
        plain = self.build()
        with_tail = self.build(trailing_bytes={"text": "TAIL"})
        assert with_tail == plain + b"TAIL"
        assert self.build(truncate_file=3) == plain[:-3]


class TestParse:
    def test_parse_reads_what_build_wrote(self):
        data = birdpack.build_bird({
            "info": INFO, "serial_offsets": {"serial_word": 0x10FC, "descriptor": 0x2000},
            "loader_start": 0x10000400,
            "blocks": [{"type": 1, "flags": 2, "address": 0x1000,
                        "payload": {"size": 300, "seed": 3}}],
            "version_marker": True})
        bird = birdpack.parse_bird(data)
        assert bird.header_valid and bird.consistent
        assert bird.info == {"build": 1234, "version": "2.4.1", "serial": 0x1ABCD,
                             "model": "Ironwood"}
        assert bird.serial_offsets == (0x10FC, 0x2000)
        assert bird.loader_start == 0x10000400
        fw = bird.find_blocks(birdpack.BLOCK_FIRMWARE)[0]
        assert (fw.header, fw.type, fw.flags, fw.address, fw.length) == (0x41, 1, 2, 0x1000, 304)
        assert bird.version_marker() == (3, 256, "2.4.1", 1234)

    def test_parse_reports_faults(self):
        blocks = [{"type": 1, "address": 0, "payload": {"size": 10, "seed": 1}}]
        bad = birdpack.parse_bird(birdpack.build_bird(
            {"blocks": blocks, "faults": {"format_version": "0100", "block_count": 3,
                                          "checksum": 1, "trailing_bytes": {"hex": "00"}}}))
        assert not bad.header_valid and bad.inflated is not None
        assert (bad.reported_count, len(bad.blocks)) == (3, 1)
        assert not bad.count_consistent and bad.size_consistent and not bad.checksum_matches
        assert bad.zlib_trailing == b"\x00"
        lying = birdpack.parse_bird(birdpack.build_bird(
            {"blocks": [dict(blocks[0], length_override=1000)]}))
        assert lying.blocks[0].truncated and lying.remaining < 0 and not lying.consistent
        broken = birdpack.parse_bird(birdpack.build_bird(
            {"blocks": blocks, "faults": {"truncate_file": 2}}))
        assert broken.inflated is None and broken.inflate_error
        assert birdpack.parse_bird(b"bird\x01\x01").inflate_error

    def test_inflate_bound(self):
        zeros = birdpack.build_bird({"blocks": [
            {"type": 1, "address": 0, "payload": {"fill": 0, "size": 100000}}]})
        assert not birdpack.parse_bird(zeros).fits_inflate_bound
        stored = birdpack.build_bird({"zlib_level": 0, "blocks": [
            {"type": 1, "address": 0, "payload": {"fill": 0, "size": 100000}}]})
        assert birdpack.parse_bird(stored).fits_inflate_bound

    def test_info_read_like_the_updater(self):
        data = birdpack.build_bird({"blocks": [{"type": 4, "payload": {
            "text": "  77x" + " " * 11 + "1.0 beta" + " " * 8 + "0x12zz" + " " * 10
                    + "Model" + " " * 11}}]})
        assert birdpack.parse_bird(data).info == {
            "build": 77, "version": "1.0", "serial": 0x12, "model": "Model"}


class TestCommandLine:
    def test_help(self):
        for args in (["--help"], ["build", "--help"], ["show", "--help"],
                     ["sample", "--help"]):
            r = run(*args)
            assert r.returncode == 0 and "usage: birdpack.py" in r.stdout
        assert '"version_marker"' in run("build", "--help").stdout

    def test_help_example_builds(self):
        example = json.loads(birdpack.DESCRIPTION_HELP.split("Example:")[1])
        bird = birdpack.parse_bird(birdpack.build_bird(example))
        assert bird.consistent and bird.version_marker()[2:] == ("1.2.0", 1200)

    def test_build_and_show(self, tmp_path):
        desc = {"info": INFO, "blocks": [
            {"type": 0, "address": "0x10000000", "payload": {"size": 100, "seed": 1}},
            {"type": 1, "flags": 2, "address": "0x4000", "payload": {"size": 500, "seed": 2}}],
            "serial_offsets": {"serial_word": "0x4200", "descriptor": "0x4210"},
            "version_marker": True}
        (tmp_path / "d.json").write_text(json.dumps(desc))
        r = run("build", str(tmp_path / "d.json"), "-o", str(tmp_path / "x.bird"))
        assert r.returncode == 0, r.stderr
        assert (tmp_path / "x.bird").read_bytes() == birdpack.build_bird(desc)
        r = run("show", str(tmp_path / "x.bird"))
        assert r.returncode == 0, r.stdout
        lines = r.stdout.splitlines()
        for expected in [
            "header: signature 'bird' version 0101: valid",
            "reported blocks: 4",
            "block 0: type 4 (INFO) flags 0 length 64",
            "  build    [1234            ]",
            "  model    [Ironwood        ]",
            "block 1: type 2 (SERIAL_OFFSETS) flags 0 length 8",
            "block 2: type 0 (LOADER) flags 0 length 104 address 0x10000000 payload 100",
            "block 3: type 1 (FIRMWARE) flags 2 length 504 address 0x00004000 payload 500",
            "block count: found 4, reported 4: consistent",
            "size: consistent",
            "info: build 1234 version 2.4.1 serial 0001ABCD model Ironwood",
            "serial offsets: serial word 0x00004200 descriptor 0x00004210",
            "loader start: none",
            "version marker: version 2.4.1 build 1234 (block 3, payload offset 256)",
            "verdict: ok",
        ]:
            assert expected in lines
        r = run("show", "--json", str(tmp_path / "x.bird"))
        report = json.loads(r.stdout)
        assert report["consistent"] and report["info"]["serial"] == 0x1ABCD

    def test_show_flags_a_faulty_file(self, tmp_path):
        desc = {"blocks": [{"type": 1, "address": 0, "payload": {"hex": "00"}}],
                "faults": {"signature": "bord", "block_count": 2, "truncate_inflated": 2}}
        (tmp_path / "bad.bird").write_bytes(birdpack.build_bird(desc))
        r = run("show", str(tmp_path / "bad.bird"))
        assert r.returncode == 1
        assert "header: signature 'bord' version 0101: INVALID" in r.stdout
        assert "block count: found 1, reported 2: MISMATCH" in r.stdout
        assert "file checksum: MISSING" in r.stdout
        assert "size: MISMATCH (-2 bytes remaining)" in r.stdout
        assert r.stdout.endswith("verdict: NOT OK\n")

    def test_build_errors_exit_2(self, tmp_path):
        (tmp_path / "d.json").write_text('{"blocks": [{"type": 1}]}')
        r = run("build", str(tmp_path / "d.json"), "-o", str(tmp_path / "x.bird"))
        assert r.returncode == 2
        assert r.stderr == "birdpack: error: block 0 of type 1 needs an address\n"
        assert not (tmp_path / "x.bird").exists()
        (tmp_path / "d.json").write_text('{"blocks": [1]}')
        r = run("build", str(tmp_path / "d.json"), "-o", str(tmp_path / "x.bird"))
        assert r.returncode == 2 and r.stderr.startswith("birdpack: error: malformed")

    def test_sample_single_file(self, tmp_path):
        out = tmp_path / "1200.bird"
        args = ["sample", "--serial", "0001abcd", "--model", "Ironwood", "--build", "1200",
                "--version", "1.2.0", "--size", "4096", "--serial-offsets",
                "--loader-start", "0x10000000", "-o", str(out)]
        assert run(*args).returncode == 0
        first = out.read_bytes()
        assert run(*args).returncode == 0
        assert out.read_bytes() == first  # the same arguments give the same bytes
        bird = birdpack.parse_bird(first)
        assert bird.consistent
        assert bird.info == {"build": 1200, "version": "1.2.0", "serial": 0x1ABCD,
                             "model": "Ironwood"}
        assert [(b.type, b.address, len(b.payload)) for b in bird.blocks] == [
            (4, None, 64), (2, None, 8), (5, None, 4), (0, 0x10000000, 4096),
            (1, 0x4000, 4096)]
        assert bird.serial_offsets == (0x4200, 0x4210)
        assert bird.version_marker() == (4, 256, "1.2.0", 1200)

    def test_sample_tree_with_several_builds_and_scrambling(self, tmp_path):
        r = run("sample", "--serial", "DEADDEAD", "--model", "Loader", "--build", "1100",
                "--version", "1.1.0", "--build", "1200", "--version", "1.2.0",
                "--size", "512", "--scramble-key", "1", "2", "3", "4", "--tree", str(tmp_path))
        assert r.returncode == 0, r.stderr
        assert sorted(os.listdir(tmp_path / "DEADDEAD")) == ["1100.bird", "1200.bird"]
        bird = birdpack.parse_bird((tmp_path / "DEADDEAD" / "1100.bird").read_bytes())
        assert bird.info["version"] == "1.1.0" and bird.version_marker() is None
        assert bird.version_marker([1, 2, 3, 4])[2:] == ("1.1.0", 1100)
        r = run("show", "--key", "1", "2", "3", "4", str(tmp_path / "DEADDEAD" / "1200.bird"))
        assert "version marker: version 1.2.0 build 1200 (block 2, payload offset 256)" \
            in r.stdout

    def test_sample_print_description_builds_the_same_file(self, tmp_path):
        r = run("sample", "--serial", "0001ABCD", "--model", "Ironwood", "--build", "7",
                "--version", "0.0.7", "--size", "300", "--print-description")
        assert r.returncode == 0
        desc = json.loads(r.stdout)
        out = tmp_path / "7.bird"
        run("sample", "--serial", "0001ABCD", "--model", "Ironwood", "--build", "7",
            "--version", "0.0.7", "--size", "300", "-o", str(tmp_path) + "/")
        assert out.read_bytes() == birdpack.build_bird(desc)

    def test_sample_needs_matching_versions(self, tmp_path):
        r = run("sample", "--serial", "1", "--model", "M", "--build", "1", "--build", "2",
                "--version", "1.0.0", "--tree", str(tmp_path))
        assert r.returncode == 2 and "one --version per --build" in r.stderr
