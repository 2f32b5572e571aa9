"""tools/lpc_isp_sim.py against the ISP conversation written out byte for
byte: echo, return codes, uuencoded data lines and their checksums."""
import pytest

import lpc_isp_sim

RAM = b"268439552"          # 0x10001000, where data is staged before a copy
SYNC = [(b"?", b"Synchronized\r\n"), (b"Synchronized\r\n", b"Synchronized\r\nOK\r\n"),
        (b"14746\r\n", b"14746\r\nOK\r\n")]
UNLOCKED = [(b"U 23130\r\n", b"U 23130\r\n0\r\n"), (b"P 0 29\r\n", b"P 0 29\r\n0\r\n"),
            (b"E 0 29\r\n", b"E 0 29\r\n0\r\n")]


def uuencode(data):
    """One line: a count character, then 4 characters per 3 bytes, 0 as a backquote."""
    def ch(v):
        return 96 if v == 0 else v + 32
    padded = data + b"\0" * (-len(data) % 3)
    out = bytearray([ch(len(data))])
    for i in range(0, len(padded), 3):
        v = int.from_bytes(padded[i:i + 3], "big")
        out += bytes(ch((v >> s) & 63) for s in (18, 12, 6, 0))
    return bytes(out) + b"\r\n"


def test_the_encoder_matches_a_known_line():
    assert uuencode(b"Cat") == b"#0V%T\r\n"
    assert uuencode(b"\0\0\0") == b"#````\r\n"


DATA = b"ABCDEFGH"
LINE = uuencode(DATA)
SUM = b"%d\r\n" % sum(DATA)
IMAGE = bytes(range(256))

CONVERSATIONS = {
    # name: (switches, [(host sends, chip answers)])
    "echo-off": ([], [(b"A 0\r\n", b"A 0\r\n0\r\n"), (b"J\r\n", b"0\r\n637615927\r\n"), (b"A 2\r\n", b"12\r\n"),
                      (b"A 1\r\n", b"0\r\n"), (b"K\r\n", b"K\r\n0\r\n4\r\n1\r\n")]),
    "device-id": ([], [(b"N\r\n", b"N\r\n0\r\n520760124\r\n2353880687\r\n66\r\n4275878552\r\n")]),
    "codes": ([], [(b"X 1\r\n", b"X 1\r\n1\r\n"), (b"P 0\r\n", b"P 0\r\n12\r\n"), (b"P 0 30\r\n", b"P 0 30\r\n7\r\n"),
                   (b"E 0 0\r\n", b"E 0 0\r\n15\r\n"), (b"U 1\r\n", b"U 1\r\n16\r\n"),
                   (b"W 268439553 4\r\n", b"W 268439553 4\r\n13\r\n"), (b"W 0 4\r\n", b"W 0 4\r\n14\r\n")]),
    "write": ([], [(b"W " + RAM + b" 8\r\n", b"W " + RAM + b" 8\r\n0\r\n"), (LINE, LINE), (SUM, SUM + b"OK\r\n"),
                   (b"R " + RAM + b" 8\r\n", b"R " + RAM + b" 8\r\n0\r\n" + LINE + SUM), (b"OK\r\n", b"OK\r\n")]),
    "resend": ([], [(b"W " + RAM + b" 8\r\n", b"W " + RAM + b" 8\r\n0\r\n"), (LINE, LINE),
                    (b"1\r\n", b"1\r\nRESEND\r\n"), (LINE, LINE), (SUM, SUM + b"OK\r\n")]),
    "malformed": ([], [(b"A 0\r\n", b"A 0\r\n0\r\n"), (b"W " + RAM + b" 8\r\n", b"0\r\n"),
                       (LINE[:-3] + b"\r\n", b""), (SUM, b"RESEND\r\n"), (LINE, b""), (SUM, b"OK\r\n")]),
    "forced-resend": (["--w-resend", "once"], [(b"A 0\r\n", b"A 0\r\n0\r\n"), (b"W " + RAM + b" 8\r\n", b"0\r\n"),
                                               (LINE + SUM, b"RESEND\r\n"), (LINE + SUM, b"OK\r\n")]),
    "refused-copy": (["--fail", "C=10"], UNLOCKED + [(b"C 0 " + RAM + b" 256\r\n", b"C 0 " + RAM + b" 256\r\n10\r\n")]),
    "refused-echo": (["--fail", "A 1=12"], [(b"A 0\r\n", b"A 0\r\n0\r\n"), (b"A 1\r\n", b"12\r\n"),
                                            (b"J\r\n", b"0\r\n637615927\r\n")]),
    "read-flash": ([], [(b"R 0 4\r\n", b"R 0 4\r\n0\r\n" + uuencode(b"\xff" * 4) + b"1020\r\n")]),
    "go": ([], [(b"U 23130\r\n", b"U 23130\r\n0\r\n"), (b"G 0 T\r\n", b"G 0 T\r\n0\r\n"), (b"J\r\n", b"")]),
}


@pytest.mark.parametrize("name", CONVERSATIONS)
def test_conversation(name):
    switches, exchanges = CONVERSATIONS[name]
    chip = lpc_isp_sim.LpcIspChip(lpc_isp_sim.build_parser().parse_args(switches))
    for sent, answer in SYNC + exchanges:
        chip.feed(sent)
        assert chip.take_output() == answer, sent


def test_a_copy_lands_in_flash():
    chip = lpc_isp_sim.LpcIspChip(lpc_isp_sim.build_parser().parse_args([]))
    lines = [IMAGE[i:i + 45] for i in range(0, 256, 45)]
    host = [s for s, _ in SYNC + UNLOCKED] + [b"A 0\r\n", b"W " + RAM + b" 256\r\n"]
    host += [uuencode(line) for line in lines] + [b"%d\r\n" % sum(IMAGE), b"P 1 1\r\n", b"C 4096 " + RAM + b" 256\r\n"]
    for sent in host:
        chip.feed(sent)
    assert chip.take_output().endswith(b"0\r\nOK\r\n0\r\n0\r\n")
    assert chip.flash[0x1000:0x1100] == IMAGE
    assert chip.flash[:0x1000] == b"\xff" * 0x1000
