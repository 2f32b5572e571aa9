"""The stand-ins of tools/ against byte layouts written down here, not taken
from the stand-ins: bytes in, bytes out."""
import binascii
import sys
import zlib
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import birdpack  # noqa: E402
import imx_sdp_sim  # noqa: E402
import lpc_isp_sim  # noqa: E402
import usb_modules  # noqa: E402
import virtual_module  # noqa: E402


# tools/lpc_isp_sim.py: echo, return codes, uuencoded lines and checksums

RAM = b"268439552"          # 0x10001000, where data is staged before a copy
SYNC = [(b"?", b"Synchronized\r\n"), (b"Synchronized\r\n", b"Synchronized\r\nOK\r\n"),
        (b"14746\r\n", b"14746\r\nOK\r\n")]


def uuencode(data):
    """One line with 0 as a backquote, ended by CR LF."""
    return binascii.b2a_uu(data, backtick=True)[:-1] + b"\r\n"


DATA = b"ABCDEFGH"
LINE = uuencode(DATA)
SUM = b"%d\r\n" % sum(DATA)

ISP = {
    # name: (switches, [(host sends, chip answers)])
    "echo-off": ([], [(b"A 0\r\n", b"A 0\r\n0\r\n"), (b"A 2\r\n", b"12\r\n"), (b"A 1\r\n", b"0\r\n")]),
    "codes": ([], [(b"X 1\r\n", b"X 1\r\n1\r\n"), (b"P 0\r\n", b"P 0\r\n12\r\n"), (b"P 0 30\r\n", b"P 0 30\r\n7\r\n"),
                   (b"E 0 0\r\n", b"E 0 0\r\n15\r\n"), (b"U 1\r\n", b"U 1\r\n16\r\n"),
                   (b"W 268439553 4\r\n", b"W 268439553 4\r\n13\r\n"), (b"W 0 4\r\n", b"W 0 4\r\n14\r\n")]),
    "write": ([], [(b"W " + RAM + b" 8\r\n", b"W " + RAM + b" 8\r\n0\r\n"), (LINE, LINE), (SUM, SUM + b"OK\r\n")]),
    "resend": ([], [(b"W " + RAM + b" 8\r\n", b"W " + RAM + b" 8\r\n0\r\n"), (LINE, LINE),
                    (b"1\r\n", b"1\r\nRESEND\r\n"), (LINE, LINE), (SUM, SUM + b"OK\r\n")]),
}


@pytest.mark.parametrize("name", ISP)
def test_isp_conversation(name):
    switches, exchanges = ISP[name]
    chip = lpc_isp_sim.LpcIspChip(lpc_isp_sim.build_parser().parse_args(switches))
    for sent, answer in SYNC + exchanges:
        chip.feed(sent)
        assert chip.take_output() == answer, sent


# tools/imx_sdp_sim.py: SDP commands and replies, on a serial line and as HID reports

HAB_OPEN = bytes.fromhex("56787856")
STATUS_OK = bytes.fromhex("f0f0f0f0")
COMPLETE = bytes.fromhex("88888888")


def sdp_command(code, address=0, count=0, fmt=0x20):
    """16 bytes: command code twice, address (big-endian), format, count
    (big-endian), four data bytes and a reserved byte."""
    return bytes([code, code]) + address.to_bytes(4, "big") + bytes([fmt]) + count.to_bytes(4, "big") + bytes(5)


STATUS = sdp_command(0x05, fmt=0)

SDP = {
    # name: (switches, [(host sends, chip answers)])
    "status": ([], [(STATUS, HAB_OPEN + STATUS_OK)]),
    "fuses": (["--cfg0", "0x11223344", "--cfg1", "0xA1B2C3D4"],
              [(sdp_command(0x01, 0x401F4410, 4), HAB_OPEN + bytes.fromhex("44332211")),
               (sdp_command(0x01, 0x401F4420, 4), HAB_OPEN + bytes.fromhex("d4c3b2a1"))]),
}


@pytest.mark.parametrize("name", SDP)
def test_sdp_conversation(name):
    switches, exchanges = SDP[name]
    opts = imx_sdp_sim.build_parser().parse_args(switches)
    link = imx_sdp_sim.SerialSdpLink(imx_sdp_sim.SdpDevice(opts), opts)
    for sent, answer in exchanges:
        link.feed(sent)
        assert link.take_output() == answer


def test_sdp_hid_reports():
    # The HAB word in report 3 alone; a response in report 4, 64 bytes, zero-padded.
    got = imx_sdp_sim.hid_reports([imx_sdp_sim.Reply("hab", HAB_OPEN), imx_sdp_sim.Reply("response", COMPLETE)])
    assert [r.hex() for r in got] == ["03" + HAB_OPEN.hex(), "04" + COMPLETE.hex() + "00" * 60]


# tools/virtual_module.py: the link engine's packets [address, length, payload...]

SPEC = ("serial=0001ABCD,model=19,address=2,version=1.2.3,build=1200,load_base=0x10000000,block_size=256,"
        "fingerprint=0x11111111:0x22222222:0x33333333:0x44444444")
LINK_START = bytes([0xAF, 0x01, 0x01])


def pkt(address, *payload):
    return bytes([address, len(payload)] + list(payload))


def be32(value):
    return list(value.to_bytes(4, "big"))


EXCHANGES = [
    # request                                  reply
    (bytes([0xAD, 0x00] * 6),                  bytes([0x02, 0x00] * 2)),          # address queries: sync
    # System entity (command 3): get (0x40 | option), set (0x80 | option).
    (pkt(2, 0x03, 0x49, 0x20),                 pkt(2, 0x03, 0x09, 0x00, *be32(0x0001ABCD))),   # serial number
    (pkt(2, 0x03, 0x67, 0x20, 4),              pkt(2, 0x03, 0x27, 0x80, 26)),                   # bad fingerprint index
    (pkt(2, 0x03, 0x7E, 0x20),                 pkt(2, 0x03, 0x3E, 0x80, 29)),                   # unknown option
    (pkt(2, 0x03, 0x89, 0x20, 1, 2, 3, 4),     pkt(2, 0x03, 0xC9, 0x80, 29)),                   # read-only
    (pkt(2, 0x05, 0x41, 0x21),                 pkt(2, 0x05, 0x01, 0x81, 28)),                   # unknown entity
    (pkt(2, 23, 1, 2, 3, 0xFE),                pkt(2, 23, 1, 2, 3, 0xFE)),                      # debug echo
]


def test_module_replies_byte_for_byte():
    module = virtual_module.VirtualModule(virtual_module.build_configs([virtual_module.parse_module_spec(SPEC)])[0])
    session = virtual_module.LinkSession(module, 0.0)
    assert session.start(0.0) + session.receive(LINK_START, 0.0) == b""
    for request, reply in EXCHANGES:
        assert session.receive(request, 1.0) == reply, request.hex()


# tools/birdpack.py: a file decoded with zlib, not with birdpack's parser

FIRMWARE = {"type": 1, "flags": 2, "address": "0x00001000", "payload": {"hex": "AA BB CC"}}
# count 1 | header 0x41 (type 1, flags 2) | length 7 | address | payload
PLAIN = bytes.fromhex("00000001" "41" "00000007" "00001000" "AABBCC")


def inflate(data):
    assert data[:6] == b"bird\x01\x01"
    return zlib.decompress(data[6:])


def test_one_firmware_block_exact_bytes():
    # checksum = 1 + 0x41 + 7 + 0x10 + 0xAA + 0xBB + 0xCC = 0x28A
    assert inflate(birdpack.build_bird({"blocks": [FIRMWARE]})) == PLAIN + bytes.fromhex("0000028A")


# tools/usb_modules.py: ioctl numbers of <linux/usbdevice_fs.h> and <linux/hidraw.h> on LP64

@pytest.mark.parametrize("name,number", [
    ("USBDEVFS_SUBMITURB", 0x8038550A),
    ("USBDEVFS_DISCARDURB", 0x0000550B),
    ("USBDEVFS_REAPURBNDELAY", 0x4008550D),
    ("USBDEVFS_CLAIMINTERFACE", 0x8004550F),
    ("USBDEVFS_RELEASEINTERFACE", 0x80045510),
    ("USBDEVFS_CLEAR_HALT", 0x80045515),
    ("USBDEVFS_GET_CAPABILITIES", 0x8004551A),
    ("HIDIOCGRDESCSIZE", 0x80044801),
    ("HIDIOCGRDESC", 0x90044802),
    ("HIDIOCGRAWINFO", 0x80084803),
])
def test_usb_ioctl_number(name, number):
    if not usb_modules.platform_supported():
        pytest.skip("usbfs structure layout not known for this machine")
    assert getattr(usb_modules, name) == number
