#!/usr/bin/python3
"""birdpack: build and inspect ".bird" firmware files.

A ".bird" file is a 6-byte header ("bird" and two version bytes, 0x01 0x01)
followed by one zlib stream.  The inflated data holds a u32 block count, the
blocks back to back and a trailing u32 file checksum.  Every number is
big-endian.  A block is a header byte (type in bits 4..0, flags in bits
7..5), a u32 data length and the data; blocks of type 0 (loader) and 1
(firmware) start their data with the u32 load address, which the length
counts.

Trailing file checksum written by this tool: the 32-bit sum (modulo 2**32) of
every inflated byte that precedes it (block count and blocks).  The updater
only reads and logs this value, so any algorithm would do; this one is easy to
recompute from a shell.

Used as a command:
    birdpack.py build DESCRIPTION.json -o OUT.bird
    birdpack.py show FILE.bird [--key W0 W1 W2 W3] [--json]
    birdpack.py sample --serial 0001ABCD --model Ironwood --build 1200 \\
        --version 1.2.0 --size 65536 -o DIR/1200.bird

Used as a module (put tools/ on sys.path):
    build_bird(desc, base_dir=".") -> bytes
    parse_bird(data) -> Bird
    scramble(payload, key_words) -> bytes / descramble(payload, key_words)
    key_bytes(key_words) -> 16 bytes
    info_block_data(build, version, serial, model) -> 64 bytes
    version_marker(version, build) -> b"KSFW-VERSION=<x.y.z>;BUILD=<n>;"
    make_firmware_payload(size, seed, version=None, build=None, offset=None)
    pseudo_random_bytes(size, seed) -> bytes
    file_checksum(data) -> u32
    sample_description(serial, model, build, version, size, ...) -> dict

DESCRIPTION_HELP below documents the JSON description.
"""

import argparse
import hashlib
import json
import os
import struct
import sys
import zlib

from toolutil import atomic_write, parse_int

SIGNATURE = b"bird"
FORMAT_VERSION = b"\x01\x01"
HEADER_LENGTH = 6
TYPE_MASK = 0x1F
FLAG_MASK = 0xE0

BLOCK_LOADER = 0
BLOCK_FIRMWARE = 1
BLOCK_SERIAL_OFFSETS = 2
BLOCK_INFO = 4
BLOCK_LOADER_START = 5

BLOCK_NAMES = {
    BLOCK_LOADER: "LOADER",
    BLOCK_FIRMWARE: "FIRMWARE",
    BLOCK_SERIAL_OFFSETS: "SERIAL_OFFSETS",
    BLOCK_INFO: "INFO",
    BLOCK_LOADER_START: "LOADER_START",
}

INFO_FIELD_LENGTH = 16
INFO_FIELDS = ("build", "version", "serial", "model")

# The updater inflates into a buffer of eight times the stream length and
# refuses anything larger, so highly compressible images do not load.
LOADER_INFLATE_RATIO = 8

MARKER_PREFIX = b"KSFW-VERSION="
# Default place of the version marker in the first firmware payload: past a
# Cortex-M vector table (whose word 7 may be rewritten) and clear of the
# serial-number locations that `sample` uses.
DEFAULT_MARKER_OFFSET = 0x100

DESCRIPTION_HELP = r"""
JSON description (all keys optional unless noted):

{
  "info": {"build": 1200, "version": "1.2.0", "serial": "0001ABCD",
           "model": "Ironwood", "flags": 0},
      information block (type 4), 64 bytes: four 16-character fields padded
      with spaces.  build: number or text; version: text; serial: number
      (written "%08X") or text (written as given); model: text.
      A field longer than 16 characters is an error.
  "serial_offsets": {"serial_word": "0x4200", "descriptor": "0x4210",
                     "flags": 0},
      serial-number offsets block (type 2): two u32 target addresses.
  "loader_start": "0x10000000"  or  {"address": "0x10000000", "flags": 0},
      loader start block (type 5): one u32 address.
  "blocks": [ {"type": 0..31, "flags": 0..7, "address": N, "payload": P,
               "length_override": N}, ... ],
      blocks in file order.  "address" is required for types 0 and 1 and
      not allowed for other types (their data is the payload alone).
      "length_override" writes N into the length field while the real data
      is still written (a lying block length).
  "version_marker": true  or  {"offset": N, "version": "x.y.z", "build": N},
      writes "KSFW-VERSION=<version>;BUILD=<build>;" into the payload of the
      first firmware block (type 1), over the bytes at payload offset
      "offset" (default 256, or 0 when the payload is shorter than 256 plus
      the marker); the payload grows when it is too short.  version and
      build default to the information block's.
  "scramble": {"key": [W0, W1, W2, W3]},
      scrambles every firmware block's payload (after the marker is written)
      for LPC recovery: c[j] = p[j] ^ key[j % 16] ^ p[j-1], p[-1] = 0, the
      chain restarting per block; key = the four words, most significant
      byte first.  Words are numbers or hexadecimal text ("0x" optional).
  "zlib_level": 0..9 (default 9),
  "faults": {                         deliberate defects for tests
      "signature": "bord" or {"hex": "..."},   file bytes 0..3 (any length)
      "format_version": "0100",                hex of the bytes after it
      "block_count": N,                        reported block count
      "checksum": N,                           trailing file checksum
      "extra_before_checksum": P,  bytes between the last block and checksum
      "extra_inflated": P,         bytes appended after the checksum
      "truncate_inflated": N,      drop the last N inflated bytes
      "trailing_bytes": P,         bytes appended after the zlib stream
      "truncate_file": N           drop the last N bytes of the file
  }
}

Generated blocks come first, in the order info, serial_offsets,
loader_start, then "blocks".  Raw blocks of types 2, 4 and 5 with any
content can be given in "blocks" instead.

Payload P is one of, or a list of them (concatenated):
  {"hex": "00 11 aa"}             bytes in hexadecimal (spaces allowed)
  {"text": "abc"}                 UTF-8 text
  {"file": "path"}                file contents; relative to the
                                  description file's directory
  {"size": N, "seed": S}          N deterministic pseudo-random bytes
  {"fill": B, "size": N}          N bytes of value B

Numbers are JSON numbers or text read with automatic base ("0x1000", "4096").

Example:
{
  "info": {"build": 1200, "version": "1.2.0", "serial": "0001ABCD",
           "model": "Ironwood"},
  "serial_offsets": {"serial_word": "0x4200", "descriptor": "0x4210"},
  "blocks": [
    {"type": 0, "address": "0x10000000", "payload": {"size": 4096, "seed": 7}},
    {"type": 1, "flags": 2, "address": "0x4000",
     "payload": {"size": 65536, "seed": 8}}
  ],
  "version_marker": true
}
"""


class DescriptionError(ValueError):
    """A description that cannot be built."""


# ---------------------------------------------------------------------------
# Building blocks


def pseudo_random_bytes(size, seed):
    """size deterministic bytes: SHA-256 of b"birdpack:<seed>:<counter>" for
    counter 0, 1, ..., concatenated and cut to size.  Incompressible, so
    images made of it always pass the updater's inflate-ratio bound."""
    if size < 0:
        raise DescriptionError("negative size %d" % size)
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"birdpack:%d:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


def file_checksum(data):
    """Trailing file checksum of this tool: 32-bit sum of the bytes."""
    return sum(data) & 0xFFFFFFFF


def key_bytes(key_words):
    """The 16 key bytes: each of the four words most significant byte first."""
    words = [parse_word(w) for w in key_words]
    if len(words) != 4:
        raise DescriptionError("a scramble key has four words, got %d" % len(words))
    return b"".join(struct.pack(">I", w) for w in words)


def scramble(payload, key_words):
    """Scrambled form of one firmware payload: c[j] = p[j] ^ key[j % 16] ^ p[j-1]
    with p[-1] = 0.  Call once per block: the chain restarts per block."""
    key = key_bytes(key_words)
    out = bytearray(len(payload))
    previous = 0
    for j, p in enumerate(payload):
        out[j] = p ^ key[j % 16] ^ previous
        previous = p
    return bytes(out)


def descramble(payload, key_words):
    """Inverse of scramble(), the decoding the updater applies."""
    key = key_bytes(key_words)
    out = bytearray(len(payload))
    previous = 0
    for j, c in enumerate(payload):
        previous = c ^ key[j % 16] ^ previous
        out[j] = previous
    return bytes(out)


def version_marker(version, build):
    """The ASCII marker that a simulated module reads its version from."""
    return b"KSFW-VERSION=%s;BUILD=%d;" % (str(version).encode("ascii"), int(build))


def find_version_marker(payload):
    """(offset, version, build) of the first well-formed marker, or None."""
    start = 0
    while True:
        at = payload.find(MARKER_PREFIX, start)
        if at < 0:
            return None
        rest = payload[at + len(MARKER_PREFIX):at + len(MARKER_PREFIX) + 64]
        parts = rest.split(b";")
        if len(parts) >= 3 and parts[1].startswith(b"BUILD=") and parts[1][6:].isdigit():
            try:
                return at, parts[0].decode("ascii"), int(parts[1][6:])
            except UnicodeDecodeError:
                pass
        start = at + 1


def put_marker(payload, marker, offset=None):
    """payload with marker written over the bytes at offset (see
    DEFAULT_MARKER_OFFSET); grows the payload when it is too short."""
    if offset is None:
        offset = DEFAULT_MARKER_OFFSET
        if len(payload) < offset + len(marker):
            offset = 0
    if offset < 0:
        raise DescriptionError("negative marker offset %d" % offset)
    data = bytearray(payload)
    if len(data) < offset + len(marker):
        data += bytes(offset + len(marker) - len(data))
    data[offset:offset + len(marker)] = marker
    return bytes(data)


def make_firmware_payload(size, seed, version=None, build=None, offset=None):
    """size pseudo-random bytes, with the version marker written in when
    version and build are given (at offset, default as put_marker)."""
    payload = pseudo_random_bytes(size, seed)
    if version is not None and build is not None:
        payload = put_marker(payload, version_marker(version, build), offset)
    return payload


def _info_field(name, value):
    if name == "serial" and isinstance(value, int) and not isinstance(value, bool):
        text = "%08X" % value
    else:
        text = str(value)
    raw = text.encode("ascii")
    if len(raw) > INFO_FIELD_LENGTH:
        raise DescriptionError("info %s %r is longer than %d characters"
                               % (name, text, INFO_FIELD_LENGTH))
    return raw.ljust(INFO_FIELD_LENGTH, b" ")


def info_block_data(build, version, serial, model):
    """The 64 data bytes of an information block."""
    return b"".join(_info_field(n, v) for n, v in
                    zip(INFO_FIELDS, (build, version, serial, model)))


def block_bytes(block_type, flags, data, length=None):
    """One block: header byte, u32 length (of data unless overridden), data."""
    if not 0 <= block_type <= 31:
        raise DescriptionError("block type %d is not 0..31" % block_type)
    if not 0 <= flags <= 7:
        raise DescriptionError("block flags %d are not 0..7" % flags)
    if length is None:
        length = len(data)
    return struct.pack(">BI", (flags << 5) | block_type, length & 0xFFFFFFFF) + data


# ---------------------------------------------------------------------------
# Description


def parse_number(value, what="number"):
    if isinstance(value, bool):
        raise DescriptionError("%s must be a number, not %r" % (what, value))
    if isinstance(value, int):
        return value
    if isinstance(value, str):
        try:
            return int(value.strip(), 0)
        except ValueError:
            pass
    raise DescriptionError("%s must be a number, not %r" % (what, value))


def parse_word(value):
    """A 32-bit word: a number, or hexadecimal text with or without 0x."""
    if isinstance(value, int) and not isinstance(value, bool):
        word = value
    elif isinstance(value, str):
        try:
            word = int(value.strip(), 16)
        except ValueError:
            raise DescriptionError("%r is not a hexadecimal word" % value) from None
    else:
        raise DescriptionError("%r is not a word" % (value,))
    if not 0 <= word <= 0xFFFFFFFF:
        raise DescriptionError("word %r does not fit in 32 bits" % (value,))
    return word


def payload_bytes(item, base_dir="."):
    """Bytes of a payload description (see DESCRIPTION_HELP)."""
    if item is None:
        return b""
    if isinstance(item, list):
        return b"".join(payload_bytes(s, base_dir) for s in item)
    if not isinstance(item, dict):
        raise DescriptionError("payload must be an object or a list, not %r" % (item,))
    if "hex" in item:
        try:
            return bytes.fromhex("".join(item["hex"].split()))
        except ValueError as e:
            raise DescriptionError("bad hex payload: %s" % e) from None
    if "text" in item:
        return item["text"].encode("utf-8")
    if "file" in item:
        path = os.path.join(base_dir, item["file"])
        with open(path, "rb") as f:
            return f.read()
    if "fill" in item:
        value = parse_number(item["fill"], "fill")
        if not 0 <= value <= 255:
            raise DescriptionError("fill byte %d is not 0..255" % value)
        return bytes([value]) * parse_number(item.get("size", 0), "size")
    if "size" in item:
        return pseudo_random_bytes(parse_number(item["size"], "size"),
                                   parse_number(item.get("seed", 0), "seed"))
    raise DescriptionError("payload %r has none of hex, text, file, fill, size" % (item,))


def _flags(item):
    return parse_number(item.get("flags", 0), "flags") if isinstance(item, dict) else 0


def _collect_blocks(desc, base_dir):
    """[(type, flags, data, length_override)] in file order."""
    blocks = []
    info = desc.get("info")
    if info is not None:
        data = info_block_data(info.get("build", ""), info.get("version", ""),
                               info.get("serial", ""), info.get("model", ""))
        blocks.append([BLOCK_INFO, _flags(info), data, None])
    offsets = desc.get("serial_offsets")
    if offsets is not None:
        data = struct.pack(">II",
                           parse_number(offsets.get("serial_word", 0), "serial_word"),
                           parse_number(offsets.get("descriptor", 0), "descriptor"))
        blocks.append([BLOCK_SERIAL_OFFSETS, _flags(offsets), data, None])
    start = desc.get("loader_start")
    if start is not None:
        address = start.get("address") if isinstance(start, dict) else start
        data = struct.pack(">I", parse_number(address, "loader_start"))
        blocks.append([BLOCK_LOADER_START, _flags(start), data, None])
    for i, entry in enumerate(desc.get("blocks", [])):
        if "type" not in entry:
            raise DescriptionError("block %d has no type" % i)
        btype = parse_number(entry["type"], "type")
        payload = payload_bytes(entry.get("payload"), base_dir)
        if btype in (BLOCK_LOADER, BLOCK_FIRMWARE):
            if "address" not in entry:
                raise DescriptionError("block %d of type %d needs an address" % (i, btype))
            address = parse_number(entry["address"], "address")
            # Kept apart from the payload until the end so the marker and the
            # scrambling see the payload alone.
            data = (address, payload)
        else:
            if "address" in entry:
                raise DescriptionError("block %d of type %d has no address field"
                                       % (i, btype))
            data = payload
        override = entry.get("length_override")
        if override is not None:
            override = parse_number(override, "length_override")
        blocks.append([btype, _flags(entry), data, override])
    return blocks


def build_inflated(desc, base_dir="."):
    """The inflated data of a description (block count, blocks, checksum)."""
    faults = desc.get("faults", {})
    blocks = _collect_blocks(desc, base_dir)

    marker = desc.get("version_marker")
    if marker:
        marker = marker if isinstance(marker, dict) else {}
        info = desc.get("info") or {}
        version = marker.get("version", info.get("version"))
        build = marker.get("build", info.get("build"))
        if version in (None, "") or build in (None, ""):
            raise DescriptionError("version_marker needs a version and a build "
                                   "(from info or its own keys)")
        firmware = [b for b in blocks if b[0] == BLOCK_FIRMWARE]
        if not firmware:
            raise DescriptionError("version_marker needs a firmware block (type 1)")
        offset = marker.get("offset")
        if offset is not None:
            offset = parse_number(offset, "offset")
        address, payload = firmware[0][2]
        firmware[0][2] = (address, put_marker(payload, version_marker(
            version, parse_number(build, "build")), offset))

    scramble_desc = desc.get("scramble")
    if scramble_desc:
        words = scramble_desc.get("key") if isinstance(scramble_desc, dict) else None
        if not isinstance(words, list):
            raise DescriptionError('scramble needs {"key": [W0, W1, W2, W3]}')
        for b in blocks:
            if b[0] == BLOCK_FIRMWARE:
                b[2] = (b[2][0], scramble(b[2][1], words))

    body = bytearray()
    for btype, flags, data, override in blocks:
        if isinstance(data, tuple):
            data = struct.pack(">I", data[0] & 0xFFFFFFFF) + data[1]
        body += block_bytes(btype, flags, data, override)
    count = faults.get("block_count", len(blocks))
    inflated = bytearray(struct.pack(">I", parse_number(count, "block_count") & 0xFFFFFFFF))
    inflated += body
    inflated += payload_bytes(faults.get("extra_before_checksum"), base_dir)
    checksum = faults.get("checksum")
    checksum = file_checksum(inflated) if checksum is None else parse_number(checksum, "checksum")
    inflated += struct.pack(">I", checksum & 0xFFFFFFFF)
    inflated += payload_bytes(faults.get("extra_inflated"), base_dir)
    cut = parse_number(faults.get("truncate_inflated", 0), "truncate_inflated")
    if cut:
        del inflated[max(0, len(inflated) - cut):]
    return bytes(inflated)


def _header_bytes(value, default, what, base_dir):
    if value is None:
        return default
    if isinstance(value, dict):
        return payload_bytes(value, base_dir)
    if isinstance(value, str):
        return value.encode("latin-1") if what == "signature" else bytes.fromhex(value)
    raise DescriptionError("bad %s %r" % (what, value))


def build_bird(desc, base_dir="."):
    """The bytes of the ".bird" file that desc describes (DESCRIPTION_HELP).
    base_dir is where {"file": ...} payloads are looked up."""
    faults = desc.get("faults", {})
    unknown = set(desc) - {"info", "serial_offsets", "loader_start", "blocks",
                           "version_marker", "scramble", "zlib_level", "faults"}
    if unknown:
        raise DescriptionError("unknown description keys: %s" % ", ".join(sorted(unknown)))
    unknown = set(faults) - {"signature", "format_version", "block_count", "checksum",
                             "extra_before_checksum", "extra_inflated",
                             "truncate_inflated", "trailing_bytes", "truncate_file"}
    if unknown:
        raise DescriptionError("unknown faults: %s" % ", ".join(sorted(unknown)))
    inflated = build_inflated(desc, base_dir)
    level = parse_number(desc.get("zlib_level", 9), "zlib_level")
    out = bytearray(_header_bytes(faults.get("signature"), SIGNATURE, "signature", base_dir))
    out += _header_bytes(faults.get("format_version"), FORMAT_VERSION, "format_version",
                         base_dir)
    out += zlib.compress(inflated, level)
    out += payload_bytes(faults.get("trailing_bytes"), base_dir)
    cut = parse_number(faults.get("truncate_file", 0), "truncate_file")
    if cut:
        del out[max(0, len(out) - cut):]
    return bytes(out)


def sample_description(serial, model, build, version, size=65536, seed=None,
                       loader_size=4096, loader_address=0x10000000,
                       firmware_address=0x4000, serial_offsets=False,
                       loader_start=None, scramble_key=None, flags=0):
    """Description of a typical build for one device: information block, a
    loader block, one firmware block carrying the version marker, and on
    request serial-number offsets (word at firmware payload +0x200, text at
    +0x210), a loader start block and LPC scrambling."""
    serial = parse_word(serial) if isinstance(serial, str) else serial
    if seed is None:
        # Distinct builds of distinct devices get distinct images.
        seed = (serial * 100003 + int(build)) & 0xFFFFFFFF
    desc = {
        "info": {"build": int(build), "version": version, "serial": "%08X" % serial,
                 "model": model},
        "blocks": [
            {"type": BLOCK_LOADER, "flags": 0, "address": "0x%08X" % loader_address,
             "payload": {"size": loader_size, "seed": seed + 1}},
            {"type": BLOCK_FIRMWARE, "flags": flags, "address": "0x%08X" % firmware_address,
             "payload": {"size": size, "seed": seed}},
        ],
        "version_marker": True,
    }
    if serial_offsets:
        desc["serial_offsets"] = {"serial_word": "0x%08X" % (firmware_address + 0x200),
                                  "descriptor": "0x%08X" % (firmware_address + 0x210)}
    if loader_start is not None:
        desc["loader_start"] = "0x%08X" % loader_start
    if scramble_key is not None:
        desc["scramble"] = {"key": ["%08X" % parse_word(w) for w in scramble_key]}
    return desc


# ---------------------------------------------------------------------------
# Parsing


class Block:
    """One block as found in the inflated data.  data holds the bytes that are
    actually there (fewer than length when the length runs past the end)."""

    def __init__(self, offset, header, length, data):
        self.offset = offset          # of the header byte in the inflated data
        self.header = header
        self.type = header & TYPE_MASK
        self.flags = (header & FLAG_MASK) >> 5
        self.length = length
        self.data = data
        self.truncated = len(data) < length
        self.address = None
        if self.type in (BLOCK_LOADER, BLOCK_FIRMWARE) and len(data) >= 4:
            self.address = struct.unpack(">I", data[:4])[0]

    @property
    def payload(self):
        """Data after the load address for types 0 and 1, else the data."""
        if self.type in (BLOCK_LOADER, BLOCK_FIRMWARE):
            return self.data[4:]
        return self.data

    @property
    def name(self):
        return BLOCK_NAMES.get(self.type, "TYPE%d" % self.type)

    def as_dict(self):
        return {"offset": self.offset, "type": self.type, "name": self.name,
                "flags": self.flags, "length": self.length, "address": self.address,
                "truncated": self.truncated}


def _strtoul(text, base):
    """Leading number of text as C's strtoul reads it (0 when there is none)."""
    text = text.lstrip(" \t\n\r\f\v")
    if base == 16 and text[:2].lower() == "0x":
        text = text[2:]
    digits = "0123456789abcdef"[:base]
    n = 0
    for ch in text:
        d = digits.find(ch.lower())
        if d < 0:
            break
        n = n * base + d
    return n & 0xFFFFFFFF


class Bird:
    """A parsed ".bird" file; see parse_bird()."""

    def __init__(self):
        self.file_length = 0
        self.signature = b""
        self.format_version = b""
        self.header_valid = False
        self.inflated = None
        self.inflate_error = None
        self.zlib_trailing = b""       # bytes after the end of the zlib stream
        self.reported_count = None
        self.blocks = []
        self.checksum = None
        self.computed_checksum = None
        self.remaining = None          # bytes left after the checksum; < 0: overrun

    @property
    def stream_length(self):
        return max(0, self.file_length - HEADER_LENGTH)

    @property
    def fits_inflate_bound(self):
        """Whether the updater's inflate buffer (8x the stream) holds the data."""
        return (self.inflated is not None
                and len(self.inflated) <= LOADER_INFLATE_RATIO * self.stream_length)

    @property
    def count_consistent(self):
        return self.reported_count == len(self.blocks)

    @property
    def size_consistent(self):
        return self.remaining == 0

    @property
    def checksum_matches(self):
        return self.checksum is not None and self.checksum == self.computed_checksum

    def find_blocks(self, block_type):
        return [b for b in self.blocks if b.type == block_type]

    @property
    def info_fields(self):
        """The four 16-character fields of the first information block."""
        found = self.find_blocks(BLOCK_INFO)
        if not found:
            return None
        data = found[0].data.ljust(64, b" ")
        return [data[i:i + 16].decode("latin-1") for i in range(0, 64, 16)]

    @property
    def info(self):
        """build, version, serial, model as the updater reads them, or None."""
        fields = self.info_fields
        if fields is None:
            return None
        return {"build": _strtoul(fields[0][:15], 10),
                "version": fields[1][:15].split(" ")[0],
                "serial": _strtoul(fields[2][:8], 16),
                "model": fields[3].rstrip(" ")}

    @property
    def serial_offsets(self):
        found = self.find_blocks(BLOCK_SERIAL_OFFSETS)
        if not found or len(found[0].data) < 8:
            return None
        return struct.unpack(">II", found[0].data[:8])

    @property
    def loader_start(self):
        found = self.find_blocks(BLOCK_LOADER_START)
        if not found or len(found[0].data) < 4:
            return None
        return struct.unpack(">I", found[0].data[:4])[0]

    def version_marker(self, key_words=None):
        """(block index, payload offset, version, build) of the marker in the
        firmware blocks, descrambled with key_words when given; or None."""
        for index, block in enumerate(self.blocks):
            if block.type != BLOCK_FIRMWARE:
                continue
            payload = block.payload
            if key_words is not None:
                payload = descramble(payload, key_words)
            found = find_version_marker(payload)
            if found:
                return (index,) + found
        return None

    @property
    def loads(self):
        """Whether the updater's loader accepts it: valid header, the stream
        inflates, within the inflate bound."""
        return self.header_valid and self.inflated is not None and self.fits_inflate_bound

    @property
    def consistent(self):
        return (self.loads and self.count_consistent and self.size_consistent
                and self.checksum_matches)


def parse_bird(data):
    """Parse ".bird" file bytes into a Bird; never raises on malformed data
    (problems are reported through its fields)."""
    bird = Bird()
    bird.file_length = len(data)
    bird.signature = data[:4]
    bird.format_version = data[4:6]
    bird.header_valid = (len(data) >= HEADER_LENGTH and data[:4] == SIGNATURE
                         and data[4] != 0 and data[5] != 0)
    if len(data) <= HEADER_LENGTH:
        bird.inflate_error = "no zlib stream (file of %d bytes)" % len(data)
        return bird
    inflater = zlib.decompressobj()
    try:
        inflated = inflater.decompress(data[HEADER_LENGTH:])
    except zlib.error as e:
        bird.inflate_error = str(e)
        return bird
    if not inflater.eof:
        bird.inflate_error = "zlib stream ends early"
        return bird
    bird.inflated = inflated
    bird.zlib_trailing = inflater.unused_data
    _scan_blocks(bird, inflated)
    return bird


def _scan_blocks(bird, data):
    # Same walk as the updater: blocks while 5 bytes remain, then the checksum;
    # a block running past the end stops the walk.
    if len(data) < 4:
        bird.remaining = len(data) - 4
        return
    bird.reported_count = struct.unpack(">I", data[:4])[0]
    pos = 4
    while len(data) - pos >= 5:
        header, length = struct.unpack(">BI", data[pos:pos + 5])
        block = Block(pos, header, length, data[pos + 5:pos + 5 + length])
        bird.blocks.append(block)
        pos += 5 + length
        if block.truncated:
            bird.remaining = len(data) - pos
            return
    if len(data) - pos >= 4:
        bird.checksum = struct.unpack(">I", data[pos:pos + 4])[0]
        bird.computed_checksum = file_checksum(data[:pos])
    bird.remaining = len(data) - pos - 4


# ---------------------------------------------------------------------------
# Command line


def _report(bird, path, key_words=None):
    """Lines of the `show` report."""
    out = []
    w = out.append
    w("file: %s (%d bytes)" % (path, bird.file_length))
    w("header: signature %r version %s: %s" % (
        bird.signature.decode("latin-1"), bird.format_version.hex(),
        "valid" if bird.header_valid else "INVALID"))
    if bird.inflated is None:
        w("inflate: FAILED (%s)" % bird.inflate_error)
        return out
    w("inflate: %d bytes from a %d-byte stream (%.2fx): %s" % (
        len(bird.inflated), bird.stream_length,
        len(bird.inflated) / bird.stream_length if bird.stream_length else 0.0,
        "within the %dx bound" % LOADER_INFLATE_RATIO if bird.fits_inflate_bound
        else "OVER the %dx bound, will not load" % LOADER_INFLATE_RATIO))
    w("bytes after zlib stream: %d" % len(bird.zlib_trailing))
    w("reported blocks: %s" % bird.reported_count)
    for i, b in enumerate(bird.blocks):
        line = "block %d: type %d (%s) flags %d length %d" % (
            i, b.type, b.name, b.flags, b.length)
        if b.address is not None:
            line += " address 0x%08X payload %d" % (b.address, len(b.payload))
        if b.truncated:
            line += " TRUNCATED (%d bytes present)" % len(b.data)
        w(line)
        if b.type == BLOCK_INFO:
            data = b.data.ljust(64, b" ")
            for name, i0 in zip(INFO_FIELDS, range(0, 64, 16)):
                w("  %-8s [%s]" % (name, data[i0:i0 + 16].decode("latin-1")))
    if bird.checksum is None:
        w("file checksum: MISSING")
    else:
        w("file checksum: 0x%08X (sum of preceding bytes 0x%08X: %s)" % (
            bird.checksum, bird.computed_checksum,
            "match" if bird.checksum_matches else "DIFFERENT"))
    w("block count: found %d, reported %s: %s" % (
        len(bird.blocks), bird.reported_count,
        "consistent" if bird.count_consistent else "MISMATCH"))
    w("size: %s" % ("consistent" if bird.size_consistent else
                    "MISMATCH (%s bytes remaining)" % bird.remaining))
    info = bird.info
    if info is None:
        w("info: none")
    else:
        w("info: build %d version %s serial %08X model %s" % (
            info["build"], info["version"], info["serial"], info["model"]))
    offsets = bird.serial_offsets
    w("serial offsets: %s" % ("none" if offsets is None else
                              "serial word 0x%08X descriptor 0x%08X" % offsets))
    start = bird.loader_start
    w("loader start: %s" % ("none" if start is None else "0x%08X" % start))
    marker = bird.version_marker(key_words)
    w("version marker: %s" % ("none" if marker is None else
                              "version %s build %d (block %d, payload offset %d)"
                              % (marker[2], marker[3], marker[0], marker[1])))
    return out


def _show_json(bird, path, key_words=None):
    marker = bird.version_marker(key_words)
    return {
        "file": path, "file_length": bird.file_length,
        "signature": bird.signature.decode("latin-1"),
        "format_version": bird.format_version.hex(), "header_valid": bird.header_valid,
        "inflated_length": None if bird.inflated is None else len(bird.inflated),
        "inflate_error": bird.inflate_error, "stream_length": bird.stream_length,
        "fits_inflate_bound": bird.fits_inflate_bound,
        "zlib_trailing": len(bird.zlib_trailing),
        "reported_count": bird.reported_count,
        "blocks": [b.as_dict() for b in bird.blocks],
        "checksum": bird.checksum, "computed_checksum": bird.computed_checksum,
        "remaining": bird.remaining, "count_consistent": bird.count_consistent,
        "size_consistent": bird.size_consistent, "info": bird.info,
        "serial_offsets": bird.serial_offsets, "loader_start": bird.loader_start,
        "version_marker": None if marker is None else
        {"block": marker[0], "offset": marker[1], "version": marker[2], "build": marker[3]},
        "consistent": bird.consistent,
    }


def _bound_warning(data, path):
    bird = parse_bird(data)
    if bird.inflated is not None and not bird.fits_inflate_bound:
        print("birdpack: warning: %s inflates to more than %d times its stream; "
              "the updater will not load it" % (path, LOADER_INFLATE_RATIO), file=sys.stderr)


def cmd_build(args):
    if args.description == "-":
        desc, base_dir = json.load(sys.stdin), "."
    else:
        with open(args.description) as f:
            desc = json.load(f)
        base_dir = os.path.dirname(os.path.abspath(args.description))
    data = build_bird(desc, base_dir)
    atomic_write(args.output, data)
    _bound_warning(data, args.output)
    print("birdpack: wrote %s (%d bytes)" % (args.output, len(data)))
    return 0


def cmd_show(args):
    with open(args.file, "rb") as f:
        data = f.read()
    bird = parse_bird(data)
    key = args.key
    if args.json:
        print(json.dumps(_show_json(bird, args.file, key), indent=2))
    else:
        print("\n".join(_report(bird, args.file, key)))
        print("verdict: %s" % ("ok" if bird.consistent else "NOT OK"))
    return 0 if bird.consistent else 1


def cmd_sample(args):
    builds = args.build
    versions = args.version or []
    if len(versions) != len(builds):
        raise DescriptionError("give one --version per --build")
    serial = parse_word(args.serial)
    if args.tree:
        out_dir = os.path.join(args.tree, "%08X" % serial)
        os.makedirs(out_dir, exist_ok=True)
    elif args.output and (os.path.isdir(args.output) or args.output.endswith("/")):
        out_dir = args.output
        os.makedirs(out_dir, exist_ok=True)
    elif args.output and len(builds) == 1:
        out_dir = None
    elif args.print_description:
        out_dir = None
    else:
        raise DescriptionError("give -o FILE (one build), -o DIR/ or --tree ROOT")
    for build, version in zip(builds, versions):
        desc = sample_description(
            serial, args.model, build, version, size=args.size, seed=args.seed,
            loader_size=args.loader_size, loader_address=args.loader_address,
            firmware_address=args.firmware_address, serial_offsets=args.serial_offsets,
            loader_start=args.loader_start, scramble_key=args.scramble_key,
            flags=args.flags)
        if args.print_description:
            print(json.dumps(desc, indent=2))
        if out_dir is None and not args.output:
            continue
        path = os.path.join(out_dir, "%d.bird" % build) if out_dir else args.output
        data = build_bird(desc)
        atomic_write(path, data)
        print("birdpack: wrote %s (%d bytes)" % (path, len(data)), file=sys.stderr
              if args.print_description else sys.stdout)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="birdpack.py",
        description="Build and inspect .bird firmware files (header 'bird' 01 01, "
                    "then zlib of: u32 block count, blocks, u32 checksum = 32-bit "
                    "sum of the preceding inflated bytes).")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("build", help="build a .bird file from a JSON description",
                       description="Build a .bird file from a JSON description.",
                       epilog=DESCRIPTION_HELP,
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("description", help="JSON description file, or - for standard input")
    p.add_argument("-o", "--output", required=True, help="the .bird file to write")
    p.set_defaults(func=cmd_build)

    p = sub.add_parser("show", help="print the structure of a .bird file",
                       description="Print a .bird file's header verdict, inflate ratio, "
                                   "blocks, information fields, serial offsets, loader "
                                   "start, version marker and consistency. Exit status 0 "
                                   "when everything is consistent, 1 otherwise.")
    p.add_argument("file")
    p.add_argument("--key", nargs=4, metavar="W", type=parse_word,
                   help="descramble firmware payloads with these four hex words "
                        "before looking for the version marker")
    p.add_argument("--json", action="store_true", help="print the report as JSON")
    p.set_defaults(func=cmd_show)

    p = sub.add_parser(
        "sample", help="write sample builds for one device",
        description="Write sample builds for one device: information block, a "
                    "loader block (type 0), one firmware block (type 1) of "
                    "pseudo-random bytes carrying the marker "
                    "'KSFW-VERSION=<version>;BUILD=<build>;' at payload offset 256, "
                    "optionally serial offsets (word at firmware address + 0x200, "
                    "descriptor at + 0x210), a loader start block and LPC scrambling. "
                    "The same arguments always give the same bytes.",
        epilog="examples:\n"
               "  birdpack.py sample --serial 0001ABCD --model Ironwood --build 1200 \\\n"
               "      --version 1.2.0 --size 65536 -o DIR/1200.bird\n"
               "  birdpack.py sample --serial 0001ABCD --model Ironwood --build 1100 \\\n"
               "      --version 1.1.0 --build 1200 --version 1.2.0 --tree SERVER_ROOT\n",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--serial", required=True, help="device serial number, hexadecimal")
    p.add_argument("--model", required=True, help="model name (at most 16 characters)")
    p.add_argument("--build", type=int, action="append", required=True,
                   help="build number; repeat for several builds")
    p.add_argument("--version", action="append",
                   help="version text x.y.z; one per --build, in the same order")
    p.add_argument("--size", type=parse_int, default=65536,
                   help="firmware payload bytes (default 65536)")
    p.add_argument("--loader-size", type=parse_int, default=4096,
                   help="loader payload bytes (default 4096)")
    p.add_argument("--loader-address", type=parse_int, default=0x10000000,
                   help="loader load address (default 0x10000000)")
    p.add_argument("--firmware-address", type=parse_int, default=0x4000,
                   help="firmware load address (default 0x4000)")
    p.add_argument("--flags", type=parse_int, default=0,
                   help="flags of the firmware block, 0..7 (default 0)")
    p.add_argument("--serial-offsets", action="store_true",
                   help="add a serial-number offsets block")
    p.add_argument("--loader-start", type=parse_int, metavar="ADDRESS",
                   help="add a loader start block with this address")
    p.add_argument("--scramble-key", nargs=4, metavar="W",
                   help="scramble the firmware payload for LPC recovery with these "
                        "four hexadecimal fingerprint words")
    p.add_argument("--seed", type=parse_int,
                   help="pseudo-random seed (default derived from serial and build)")
    p.add_argument("-o", "--output",
                   help="output file (one build), or a directory (ends in / or exists) "
                        "that receives <build>.bird")
    p.add_argument("--tree", metavar="ROOT",
                   help="write ROOT/<SERIAL>/<build>.bird, the update server's layout")
    p.add_argument("--print-description", action="store_true",
                   help="print the JSON description of each build")
    p.set_defaults(func=cmd_sample)

    args = parser.parse_args(argv)
    try:
        return args.func(args)
    except (DescriptionError, OSError, json.JSONDecodeError) as e:
        print("birdpack: error: %s" % e, file=sys.stderr)
        return 2
    except (TypeError, AttributeError, KeyError) as e:
        print("birdpack: error: malformed description (%s)" % e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
