"""tools/imx_sdp_sim.py against SDP commands and replies written out byte
for byte, on the serial line and as HID reports."""
import pytest

import imx_sdp_sim

HAB_OPEN = bytes.fromhex("56787856")
STATUS_OK = bytes.fromhex("f0f0f0f0")
COMPLETE = bytes.fromhex("88888888")


def command(code, address=0, count=0, fmt=0x20):
    """16 bytes: command code twice, address (big-endian), format, count
    (big-endian), four data bytes and a reserved byte."""
    return bytes([code, code]) + address.to_bytes(4, "big") + bytes([fmt]) + count.to_bytes(4, "big") + bytes(5)


STATUS = command(0x05, fmt=0)
LOADER = bytes(range(256)) * 10

CONVERSATIONS = {
    # name: (switches, [(host sends, chip answers)])
    "status": ([], [(STATUS, HAB_OPEN + STATUS_OK)]),
    "split-command": ([], [(STATUS[:10], b""), (STATUS[10:] + STATUS, (HAB_OPEN + STATUS_OK) * 2)]),
    "fuses": (["--cfg0", "0x11223344", "--cfg1", "0xA1B2C3D4"],
              [(command(0x01, 0x401F4410, 4), HAB_OPEN + bytes.fromhex("44332211")),
               (command(0x01, 0x401F4420, 4), HAB_OPEN + bytes.fromhex("d4c3b2a1"))]),
    # The data follows the command; completion only after its last byte.
    "write-file": ([], [(command(0x04, 0x20000000, len(LOADER)), b""), (LOADER[:1024], b""),
                        (LOADER[1024:-1], b""), (LOADER[-1:], HAB_OPEN + COMPLETE),
                        (command(0x01, 0x20000000, 4), HAB_OPEN + LOADER[:4])]),
    # After the jump the ROM is gone.
    "jump": ([], [(command(0x0B, 0x20000400, fmt=0), HAB_OPEN), (STATUS, b"")]),
    "closed": (["--hab", "closed"], [(STATUS, bytes.fromhex("12343412") + STATUS_OK)]),
    "unanswered": (["--ignore-status", "1"], [(STATUS, b""), (STATUS, HAB_OPEN + STATUS_OK)]),
    "wrong-completion": (["--wrong-completion", "0x12345678"],
                         [(command(0x04, 0x20000000, 4) + b"abcd", HAB_OPEN + bytes.fromhex("78563412"))]),
}


@pytest.mark.parametrize("name", CONVERSATIONS)
def test_serial_conversation(name):
    switches, exchanges = CONVERSATIONS[name]
    opts = imx_sdp_sim.build_parser().parse_args(switches)
    link = imx_sdp_sim.SerialSdpLink(imx_sdp_sim.SdpDevice(opts), opts)
    for sent, answer in exchanges:
        link.feed(sent)
        assert link.take_output() == answer


@pytest.mark.parametrize("replies,reports", [
    # The HAB word in report 3 alone; a response in report 4, 64 bytes, zero-padded.
    ([("hab", HAB_OPEN), ("response", COMPLETE)], ["03" + HAB_OPEN.hex(), "04" + COMPLETE.hex() + "00" * 60]),
    ([("response", bytes(range(100)))], ["04" + bytes(range(64)).hex(), "04" + bytes(range(64, 100)).hex() + "00" * 28]),
])
def test_hid_reports(replies, reports):
    got = imx_sdp_sim.hid_reports([imx_sdp_sim.Reply(kind, payload) for kind, payload in replies])
    assert [r.hex() for r in got] == reports
