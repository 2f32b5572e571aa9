"""tools/birdpack.py's files against hand-written layouts and an
independent zlib/struct decode, not against birdpack's own parser."""
import struct
import zlib

import pytest

import birdpack

INFO = {"build": 1234, "version": "2.4.1", "serial": "0001ABCD", "model": "Ironwood"}
INFO_BYTES = b"1234" + b" " * 12 + b"2.4.1" + b" " * 11 + b"0001ABCD" + b" " * 8 + b"Ironwood" + b" " * 8
FIRMWARE = {"type": 1, "flags": 2, "address": "0x00001000", "payload": {"hex": "AA BB CC"}}
# count 1 | header 0x41 (type 1, flags 2) | length 7 | address | payload
PLAIN = bytes.fromhex("00000001" "41" "00000007" "00001000" "AABBCC")


def inflate(data):
    assert data[:6] == b"bird\x01\x01"
    return zlib.decompress(data[6:])


def blocks_of(data):
    """(header, data) of each block, walked independently; the checksum
    (sum of every byte before it) checked."""
    inflated = inflate(data)
    assert struct.unpack(">I", inflated[-4:])[0] == sum(inflated[:-4]) & 0xFFFFFFFF
    pos, blocks = 4, []
    while pos < len(inflated) - 4:
        header, length = struct.unpack(">BI", inflated[pos:pos + 5])
        blocks.append((header, inflated[pos + 5:pos + 5 + length]))
        pos += 5 + length
    assert pos == len(inflated) - 4
    return blocks


def unscramble(data, words):
    """The updater's decoding, written from its relation alone: each plain
    byte is the coded byte XOR a key byte XOR the previous plain byte."""
    key = [(w >> s) & 0xFF for w in words for s in (24, 16, 8, 0)]
    out, prev = bytearray(), 0
    for j, c in enumerate(data):
        prev = c ^ key[j % 16] ^ prev
        out.append(prev)
    return bytes(out)


def test_one_firmware_block_exact_bytes():
    # checksum = 1 + 0x41 + 7 + 0x10 + 0xAA + 0xBB + 0xCC = 0x28A
    assert inflate(birdpack.build_bird({"blocks": [FIRMWARE]})) == PLAIN + bytes.fromhex("0000028A")


def test_generated_blocks_come_first_in_fixed_order():
    data = birdpack.build_bird({"blocks": [{"type": 3, "flags": 7, "payload": {"text": "x"}}],
                                "loader_start": "0x10000400", "info": dict(INFO, flags=5),
                                "serial_offsets": {"serial_word": 0x4200, "descriptor": "0x4210"}})
    assert inflate(data)[:4] == bytes.fromhex("00000004")
    assert blocks_of(data) == [(0xA4, INFO_BYTES), (0x02, bytes.fromhex("00004200 00004210")),
                               (0x05, bytes.fromhex("10000400")), (0xE3, b"x")]


@pytest.mark.parametrize("faults,inflated", [
    ({"block_count": 3}, bytes.fromhex("00000003") + PLAIN[4:] + struct.pack(">I", sum(PLAIN) + 2)),
    ({"checksum": "0xDEADBEEF"}, PLAIN + bytes.fromhex("DEADBEEF")),
    ({"extra_inflated": {"hex": "EEEE"}}, PLAIN + struct.pack(">I", sum(PLAIN)) + b"\xee\xee"),
    ({"extra_before_checksum": {"hex": "07"}}, PLAIN + b"\x07" + struct.pack(">I", sum(PLAIN) + 7)),
    ({"truncate_inflated": 5}, PLAIN[:-1]),
])
def test_faults_in_the_inflated_data(faults, inflated):
    assert inflate(birdpack.build_bird({"blocks": [FIRMWARE], "faults": faults})) == inflated


def test_faults_of_the_header_and_the_file():
    def build(**faults):
        return birdpack.build_bird({"blocks": [FIRMWARE], "faults": faults})
    assert build(signature="bord")[:6] == b"bord\x01\x01"
    assert build(format_version="0100")[:6] == b"bird\x01\x00"
    assert build(trailing_bytes={"text": "TAIL"}) == build() + b"TAIL"
    assert build(truncate_file=3) == build()[:-3]
    lying = inflate(birdpack.build_bird({"blocks": [dict(FIRMWARE, length_override=100)]}))
    assert lying[:9] == bytes.fromhex("00000001 41 00000064") and len(lying) == len(PLAIN) + 4


def test_scrambled_blocks_decode_one_by_one():
    words = [0x01020304, 0xA0B0C0D0, 0x11111111, 0xFFFFFFFF]
    p1, p2 = birdpack.pseudo_random_bytes(100, 1), birdpack.pseudo_random_bytes(33, 2)
    data = birdpack.build_bird({"scramble": {"key": ["%08X" % w for w in words]}, "blocks": [
        {"type": 0, "address": "0x10000000", "payload": {"hex": "0102"}},
        {"type": 1, "address": 0, "payload": {"hex": p1.hex()}},
        {"type": 1, "address": "0x8000", "payload": {"hex": p2.hex()}}]})
    blocks = blocks_of(data)
    # The loader stays plain; firmware payloads are coded after their address.
    assert blocks[0] == (0x00, bytes.fromhex("10000000 0102"))
    assert blocks[1][1][:4] == bytes(4) and blocks[2][1][:4] == bytes.fromhex("00008000")
    assert blocks[1][1][4:] != p1
    assert unscramble(blocks[1][1][4:], words) == p1
    assert unscramble(blocks[2][1][4:], words) == p2


def test_version_marker_goes_into_the_first_firmware_block_at_256():
    data = birdpack.build_bird({
        "info": {"build": 77, "version": "3.1.4", "serial": 1, "model": "M"}, "version_marker": True,
        "blocks": [{"type": t, "address": 0, "payload": {"fill": 0, "size": 400}} for t in (0, 1, 1)]})
    marker = b"KSFW-VERSION=3.1.4;BUILD=77;"
    blocks = blocks_of(data)
    assert blocks[2][1][4:] == bytes(256) + marker + bytes(400 - 256 - len(marker))
    assert blocks[1][1][4:] == blocks[3][1][4:] == bytes(400)
