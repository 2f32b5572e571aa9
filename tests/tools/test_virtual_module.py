"""tools/virtual_module.py's link engine against packets written out byte
for byte: [address, length, payload...]."""
import virtual_module

SPEC = ("serial=0001ABCD,model=19,address=2,version=1.2.3,build=1200,load_base=0x10000000,block_size=256,"
        "fingerprint=0x11111111:0x22222222:0x33333333:0x44444444")
LINK_START = bytes([0xAF, 0x01, 0x01])


def pkt(address, *payload):
    return bytes([address, len(payload)] + list(payload))


def be32(value):
    return list(value.to_bytes(4, "big"))


EXCHANGES = [
    # request                                  reply
    (bytes([0xAD, 0x00]),                      bytes([0x02, 0x00])),              # address query
    (bytes([0xAD, 0x00] * 6),                  bytes([0x02, 0x00] * 2)),          # a run of them: sync
    # System entity (command 3): get (0x40 | option), set (0x80 | option).
    (pkt(2, 0x03, 0x49, 0x20),                 pkt(2, 0x03, 0x09, 0x00, *be32(0x0001ABCD))),   # serial number
    (pkt(2, 0x03, 0x47, 0x20),                 pkt(2, 0x03, 0x07, 0x00, 0x12, 0x00, 0x00, 0x03)),  # version
    (pkt(2, 0x03, 0x48, 0x20),                 pkt(2, 0x03, 0x08, 0x00, 19)),                   # model
    (pkt(2, 0x03, 0x41, 0x20),                 pkt(2, 0x03, 0x01, 0x00, 2)),                    # module address
    (pkt(2, 0x03, 0x82, 0x20, 0x0A),           pkt(2, 0x03, 0xC2, 0x00, 0x0A)),                 # router set
    (pkt(2, 0x03, 0x42, 0x20),                 pkt(2, 0x03, 0x02, 0x00, 0x0A)),
    (pkt(2, 0x03, 0x94, 0x20, 0x01),           pkt(2, 0x03, 0xD4, 0x00, 0x01)),                 # route to me
    (pkt(2, 0x03, 0x67, 0x20, 1),              pkt(2, 0x03, 0x27, 0x00, *be32(0x22222222))),    # fingerprint
    (pkt(2, 0x03, 0x67, 0x22),                 pkt(2, 0x03, 0x27, 0x02, *be32(0x33333333))),
    (pkt(2, 0x03, 0x67, 0x20, 4),              pkt(2, 0x03, 0x27, 0x80, 26)),                   # bad index
    (pkt(2, 0x03, 0x7E, 0x20),                 pkt(2, 0x03, 0x3E, 0x80, 29)),                   # unknown option
    (pkt(2, 0x03, 0x89, 0x20, 1, 2, 3, 4),     pkt(2, 0x03, 0xC9, 0x80, 29)),                   # read-only
    (pkt(2, 0x05, 0x41, 0x21),                 pkt(2, 0x05, 0x01, 0x81, 28)),                   # unknown entity
    (pkt(2, 0x49, 0xFF),                       pkt(2, 0x49, 0xFF, *be32(1200))),                # build query
    (pkt(2, 23, 1, 2, 3, 0xFE),                pkt(2, 23, 1, 2, 3, 0xFE)),                      # debug echo
    # Upgrade (command 0x5F): init, prepare, data (acknowledged with its
    # count), sum of the data since the last sum.
    (pkt(2, 0x5F, 0x00),                       pkt(2, 0x5F, 0x00, 0x10, 0x00, 0x00, 0x00)),
    (pkt(2, 0x5F, 0x03, 0x02, *be32(0x4000)),  pkt(2, 0x5F, 0x07, 0x00, 0x01, 0x00)),
    (pkt(2, 0x5F, 0x01, 1, 2, 3),              pkt(2, 0x5F, 0x01, 3)),
    (pkt(2, 0x5F, 0x04),                       pkt(2, 0x5F, 0x07, 0x00, *be32(6))),
    (pkt(2, 0x5F, 0x04),                       pkt(2, 0x5F, 0x07, 0x00, *be32(0))),
]


def test_replies_byte_for_byte():
    module = virtual_module.VirtualModule(virtual_module.build_configs([virtual_module.parse_module_spec(SPEC)])[0])
    session = virtual_module.LinkSession(module, 0.0)
    assert session.start(0.0) + session.receive(LINK_START, 0.0) == b""
    for request, reply in EXCHANGES:
        assert session.receive(request, 1.0) == reply, request.hex()

