#!/usr/bin/python3
"""Virtual Keystrand modules: a stand-in for real instrument modules.

One process runs one or more simulated modules.  Each top-level module
listens on its own TCP port and speaks the module protocol on it: packet
framing, link start/stop, address query and synchronisation, heartbeats, the
system entity UEIs the updater reads and writes, the build query, the debug
echo and the upgrade loader conversation (command 0x5F) into a simulated
flash.  A module can act as a router for child modules on its I2C network,
can answer the UDP discovery request, and can be told to misbehave through
fault switches.  Everything it saw is kept as JSON files in a state
directory, so tests can check what the host really did.

The protocol engine (`VirtualModule`, `LinkSession`) only turns bytes from
the host into bytes for the host and timer ticks into bytes; it knows
nothing about sockets.  `TcpTransport` puts it on TCP (and UDP discovery);
another transport (for example an emulated USB device) can drive the same
engine through `LinkSession.start/receive/poll/end` and `LinkSession.drop`.

Run `virtual_module.py --help` for the configuration reference.
"""

import argparse
import collections
import errno
import json
import os
import re
import selectors
import socket
import struct
import sys
import textwrap
import time

from toolutil import announce_ready, on_stop_signals, parse_int, stderr_log, write_json_atomic

# --------------------------------------------------------------------------
# Protocol constants

# Linux value; older Pythons do not name it.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)

MAX_PAYLOAD = 28

HOST_LINK_CONTROL = 0xAF     # 0xAF 0x01 0x01 start, 0xAF 0x01 0x00 stop
HOST_ADDRESS_QUERY = 0xAD    # 0xAD 0x00; six in one write = sync request

CMD_HEARTBEAT = 0x00
CMD_SYSTEM = 3
CMD_DEBUG = 23
CMD_CATALOGUE = 0x49         # option 0xFF of it is the build query
BUILD_QUERY_OPTION = 0xFF
CMD_UPGRADE = 0x5F

UEI_GET = 0x40
UEI_SET = 0x80
UEI_SET_ACK = 0xC0
UEI_INDEX_FROM_HOST = 0x20
UEI_INDEX_ERROR = 0x80

UPGRADE_INIT = 0
UPGRADE_DATA = 1
UPGRADE_LOAD = 2
UPGRADE_PREPARE = 3
UPGRADE_SUM = 4
UPGRADE_WRITE = 5
UPGRADE_REBOOT = 6
UPGRADE_STATUS = 7

SYS_MODULE = 1
SYS_ROUTER = 2
SYS_VERSION = 7
SYS_MODEL = 8
SYS_SERIAL = 9
SYS_RESET = 11
SYS_ROUTE_TO_ME = 20
SYS_FINGERPRINT = 39

ERR_INDEX_RANGE = 26
ERR_SHORT_COMMAND = 27
ERR_INVALID_ENTITY = 28
ERR_INVALID_OPTION = 29

DISCOVERY_GROUP = "232.2.2.2"
DISCOVERY_PORT = 9888
DISCOVERY_REPLY_PORT = 9889
DISCOVERY_REQUEST = 1

FIRMWARE_MARKER = re.compile(rb"KSFW-VERSION=(\d+)\.(\d+)\.(\d+);BUILD=(\d+);")

# Keep the protocol floor measurable: state files are rewritten at most this
# often while packets stream in, and always before the module drops a link.
STATUS_FLUSH_INTERVAL_S = 0.02
MEMORY_FLUSH_INTERVAL_S = 0.25


def pack_version(major, minor, patch):
    return ((major & 0xF) << 28) | ((minor & 0xF) << 24) | (patch & 0xFFFFFF)


def version_text(word):
    return "%d.%d.%d" % (word >> 28, (word >> 24) & 0xF, word & 0xFFFFFF)


def frame(address, payload):
    """Wire bytes of one packet: address, length, payload."""
    payload = bytes(payload)
    if len(payload) > MAX_PAYLOAD:
        raise ValueError("payload of %d bytes does not fit a packet" % len(payload))
    return bytes([address, len(payload)]) + payload


def hexbytes(data):
    return " ".join("%02X" % b for b in data)


# --------------------------------------------------------------------------
# Configuration

class ConfigError(Exception):
    pass


def _parse_int(text, lo=0, hi=0xFFFFFFFF):
    if isinstance(text, bool):
        raise ConfigError("expected a number, got %r" % (text,))
    if isinstance(text, int):
        value = text
    else:
        try:
            value = parse_int(text)
        except ValueError:
            raise ConfigError("expected a number, got %r" % (text,))
    if not lo <= value <= hi:
        raise ConfigError("%d is outside %d..%d" % (value, lo, hi))
    return value


def _parse_serial(text):
    if isinstance(text, int) and not isinstance(text, bool):
        value = text
    else:
        t = str(text).strip()
        if t.lower().startswith("0x"):
            t = t[2:]
        if not re.fullmatch(r"[0-9A-Fa-f]{1,8}", t):
            raise ConfigError("serial number %r is not 1 to 8 hexadecimal digits" % (text,))
        value = int(t, 16)
    if not 0 < value <= 0xFFFFFFFF:
        raise ConfigError("serial number must be a non-zero 32-bit value")
    return value


def _parse_address(text):
    value = _parse_int(text, 0, 255)
    if value == 0 or value & 1:
        raise ConfigError("module address %d is not even and non-zero" % value)
    return value


def _parse_addresses(text):
    if isinstance(text, list):
        items = text
    else:
        items = [t for t in str(text).split(":") if t.strip()]
    return sorted({_parse_address(t) for t in items})


def _parse_version(text):
    if isinstance(text, int) and not isinstance(text, bool):
        return _parse_int(text)
    t = str(text).strip()
    m = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", t)
    if m:
        major, minor, patch = (int(g) for g in m.groups())
        if major > 15 or minor > 15 or patch > 0xFFFFFF:
            raise ConfigError("version %s does not fit the packed word" % t)
        return pack_version(major, minor, patch)
    return _parse_int(t)


def _parse_bool(text):
    if isinstance(text, bool):
        return text
    t = str(text).strip().lower()
    if t in ("1", "true", "yes", "on"):
        return True
    if t in ("0", "false", "no", "off"):
        return False
    raise ConfigError("expected 0/1, got %r" % (text,))


def _parse_words(text):
    items = text if isinstance(text, list) else str(text).split(":")
    if len(items) != 4:
        raise ConfigError("fingerprint needs 4 words (index 0 to 3)")
    return [_parse_int(t) for t in items]


def _choice(*choices):
    def parse(text):
        t = str(text).strip().lower()
        if t not in choices:
            raise ConfigError("expected one of %s, got %r" % ("/".join(choices), text))
        return t
    return parse


def _parse_uei_error(text):
    if isinstance(text, dict):
        parts = [text.get("command"), text.get("option"), text.get("code")]
        if None in parts:
            raise ConfigError("uei_error needs command, option and code")
    else:
        parts = str(text).split(":")
        if len(parts) != 3:
            raise ConfigError("uei_error is COMMAND:OPTION:CODE, got %r" % (text,))
    command = _parse_int(parts[0], 0, 255)
    option = _parse_int(parts[1], 0, 63)
    code = _parse_int(parts[2], 1, 255)
    return (command, option, code)


# name: (parser, default, help). Defaults None are filled in later.
MODULE_KEYS = {
    "serial": (_parse_serial, None, "serial number, hexadecimal (required)"),
    "model": (lambda t: _parse_int(t, 0, 255), 19, "model number (8-bit)"),
    "address": (_parse_address, 2, "module address (even, 2..254)"),
    "router": (_parse_address, None,
               "router address reported by system option 2 (default: own address; "
               "for a child the router's address)"),
    "version": (_parse_version, "1.0.0", "firmware version x.y.z or a packed 32-bit word"),
    "build": (lambda t: _parse_int(t), 1, "firmware build number (32-bit)"),
    "fingerprint": (_parse_words, [0, 0, 0, 0],
                    "system option 39 words for index 0..3, e.g. 0x1:0x2:0x3:0x4"),
    "ip": (str, None, "module's IPv4 address: TCP listens there and discovery replies come "
                      "from it (top level only)"),
    "listen": (str, None, "TCP bind address (default: ip, else 127.0.0.1)"),
    "port": (lambda t: _parse_int(t, 0, 65535), 0, "TCP port; 0 picks a free one"),
    "discovery": (_parse_bool, True, "answer UDP discovery requests (needs ip)"),
    "hb_ms": (lambda t: _parse_int(t, 0, 600000), 0,
              "heartbeat interval in ms; 0 sends none"),
    "block_size": (lambda t: _parse_int(t, 0, 0xFFFF), 512,
                   "block size in PREPARE replies (0 is a fault case)"),
    "load_base": (lambda t: _parse_int(t), 0, "load base reported by INIT"),
    "load_mode": (_choice("drop", "stay"), "drop",
                  "LOAD: 'drop' = no reply, leave the link, announce 5F 02 on the next "
                  "connection; 'stay' = reply 5F 02 and keep the link"),
    "load_offline_ms": (lambda t: _parse_int(t, 0, 60000), 1000,
                        "refuse connections this long after LOAD in drop mode"),
    "reboot_offline_ms": (lambda t: _parse_int(t, 0, 60000), 1500,
                          "refuse connections this long after REBOOT or reset"),
    "answer_absent": (lambda t: _parse_int(t, 0, 255), 0,
                      "router: answer packets for absent addresses with an error reply "
                      "carrying this code; 0 keeps them silent"),
    "silent_addresses": (_parse_addresses, [],
                         "router: addresses never answered even with answer_absent, "
                         "e.g. 8:10"),
    # fault switches
    "bad_ack": (_choice("none", "once", "always"), "none",
                "fault: DATA acknowledged with a wrong count (data discarded)"),
    "bad_sum": (_choice("none", "once", "always"), "none",
                "fault: SUM reply carries sum + 1"),
    "prepare_status": (lambda t: _parse_int(t, 0, 255), 0,
                       "fault: status byte of PREPARE replies"),
    "write_status": (lambda t: _parse_int(t, 0, 255), 0,
                     "fault: status byte of WRITE replies (nothing is written)"),
    "no_reboot_drop": (_parse_bool, False, "fault: stay on the link after REBOOT"),
    "drop_after_data": (lambda t: _parse_int(t, 0, 0xFFFFFFFF), 0,
                        "fault: reset the link instead of answering the Nth DATA packet "
                        "(once; 0 = off)"),
    "drop_offline_ms": (lambda t: _parse_int(t, 0, 60000), 0,
                        "refuse connections this long after the drop_after_data reset"),
    "silent": (_parse_bool, False, "fault: take packets but never answer"),
    "build_error": (lambda t: _parse_int(t, 0, 255), 0,
                    "fault: answer the build query with an error reply of this code"),
    "uei_error": (_parse_uei_error, None,
                  "fault: COMMAND:OPTION:CODE answered with an error reply "
                  "(repeatable)"),
}

TOP_LEVEL_ONLY = ("ip", "listen", "port", "discovery", "hb_ms", "answer_absent",
                  "silent_addresses")


def parse_module_spec(text):
    """'key=value,key=value' (repeated uei_error keys collect) -> dict."""
    result = {}
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        if "=" not in item:
            raise ConfigError("%r is not key=value" % item)
        key, value = item.split("=", 1)
        key = key.strip()
        if key == "uei_error":
            result.setdefault("uei_error", []).append(value.strip())
        elif key in result:
            raise ConfigError("key %s given twice" % key)
        else:
            result[key] = value.strip()
    return result


class ModuleConfig:
    def __init__(self, raw, parent=None):
        unknown = set(raw) - set(MODULE_KEYS) - {"children"}
        if unknown:
            raise ConfigError("unknown key(s): %s" % ", ".join(sorted(unknown)))
        if "serial" not in raw:
            raise ConfigError("every module needs serial=")
        if parent is not None:
            bad = [k for k in TOP_LEVEL_ONLY if k in raw]
            if bad:
                raise ConfigError("child modules have no %s" % ", ".join(bad))
            if "children" in raw:
                raise ConfigError("child modules cannot have children")
        for key, (parse, default, _) in MODULE_KEYS.items():
            if key == "uei_error":
                items = raw.get("uei_error", [])
                if not isinstance(items, list):
                    items = [items]
                try:
                    value = {}
                    for it in items:
                        c, o, code = _parse_uei_error(it)
                        value[(c, o)] = code
                except ConfigError as e:
                    raise ConfigError("uei_error: %s" % e)
            elif key in raw:
                try:
                    value = parse(raw[key])
                except ConfigError as e:
                    raise ConfigError("%s: %s" % (key, e))
            else:
                value = None if default is None else parse(default)
            setattr(self, key, value)
        if self.router is None:
            self.router = parent.address if parent is not None else self.address
        if self.ip is not None:
            try:
                socket.inet_aton(self.ip)
            except OSError:
                raise ConfigError("ip %r is not an IPv4 address" % self.ip)
        if self.listen is None and parent is None:
            self.listen = self.ip or "127.0.0.1"
        self.children = []
        for child in raw.get("children", []):
            self.children.append(ModuleConfig(child, self))
        addresses = [self.address] + [c.address for c in self.children]
        if len(set(addresses)) != len(addresses):
            raise ConfigError("module %08X: router and children share an address" % self.serial)

    @property
    def serial_text(self):
        return "%08X" % self.serial


def build_configs(raw_modules):
    configs = [ModuleConfig(raw) for raw in raw_modules]
    serials = [c.serial for c in configs] + [k.serial for c in configs for k in c.children]
    if len(set(serials)) != len(serials):
        raise ConfigError("serial numbers must be unique")
    ports = [c.port for c in configs if c.port]
    if len(set(ports)) != len(ports):
        raise ConfigError("fixed ports must be unique")
    if not configs:
        raise ConfigError("no modules configured (use --module or --config)")
    return configs


# --------------------------------------------------------------------------
# State files

class SparseMemory:
    """Bytes written at 32-bit addresses, kept as coalesced ranges."""

    def __init__(self):
        self.segments = []          # sorted [start, bytearray]

    def write(self, address, data):
        data = bytes(data)
        if not data:
            return
        end = address + len(data)
        touched = [seg for seg in self.segments
                   if seg[0] <= end and seg[0] + len(seg[1]) >= address]
        if len(touched) == 1 and touched[0][0] + len(touched[0][1]) == address:
            # Sequential writes (the normal case) extend the range in place.
            touched[0][1].extend(data)
            return
        lo = min([address] + [s for s, _ in touched])
        hi = max([end] + [s + len(b) for s, b in touched])
        merged = bytearray(hi - lo)
        for s, b in touched:
            merged[s - lo:s - lo + len(b)] = b
        merged[address - lo:end - lo] = data
        keep = [seg for seg in self.segments if all(seg is not t for t in touched)]
        keep.append([lo, merged])
        keep.sort(key=lambda seg: seg[0])
        self.segments = keep

    def read(self, address, length):
        """Bytes at address..address+length, or None when any is unwritten."""
        for s, buf in self.segments:
            if s <= address and address + length <= s + len(buf):
                return bytes(buf[address - s:address - s + length])
        return None

    def total(self):
        return sum(len(b) for _, b in self.segments)

    def find_marker(self):
        for _, buf in self.segments:
            m = FIRMWARE_MARKER.search(buf)
            if m:
                return m
        return None

    def to_json(self, serial_text, kind):
        return {
            "serial": serial_text,
            "memory": kind,
            "total_bytes": self.total(),
            "ranges": [{"address": s, "length": len(b), "hex": bytes(b).hex().upper()}
                       for s, b in self.segments],
        }


# --------------------------------------------------------------------------
# The module

HOST_PACKET_KINDS = (
    "link_start", "link_stop", "address_query", "control_other",
    "heartbeat_answer", "uei_get", "uei_set", "uei_other", "build_query", "debug",
    "upgrade_init", "upgrade_data", "upgrade_load", "upgrade_prepare", "upgrade_sum",
    "upgrade_write", "upgrade_reboot", "upgrade_other", "empty", "absent_address",
)

UPGRADE_KINDS = {
    UPGRADE_INIT: "upgrade_init", UPGRADE_DATA: "upgrade_data",
    UPGRADE_LOAD: "upgrade_load", UPGRADE_PREPARE: "upgrade_prepare",
    UPGRADE_SUM: "upgrade_sum", UPGRADE_WRITE: "upgrade_write",
    UPGRADE_REBOOT: "upgrade_reboot",
}


class DropRequest:
    """The module leaves the link: the transport resets every connection of
    the module (TCP RST) after sending what was returned with it, and refuses
    new connections for offline_s seconds."""

    def __init__(self, offline_s, reason):
        self.offline_s = offline_s
        self.reason = reason

    def __repr__(self):
        return "DropRequest(%.3f, %r)" % (self.offline_s, self.reason)


class VirtualModule:
    """Behaviour and persistent state of one module (and its children).

    State survives connections: the loader conversation, the flash, the
    counters and the installed version belong to the module, not the link.
    A transport calls flush(now) from its loop (flush_deadline() says when
    a deferred write is due) and flush(now, force=True) when it stops.
    """

    def __init__(self, config, state_dir=None, log=None, parent=None):
        self.cfg = config
        self.parent = parent
        self.state_dir = state_dir
        self.log = log
        self.address = config.address
        self.version = config.version
        self.build = config.build
        self.router = config.router
        self.running = "application"
        self.children = {}
        for child_cfg in config.children:
            child = VirtualModule(child_cfg, state_dir, log, parent=self)
            self.children[child.address] = child
        self.flash = SparseMemory()
        self.ram = SparseMemory()
        # A child leaves the router's link only by going quiet for a while.
        self.quiet_until = 0.0
        self.announce_at = None        # child: unsolicited 5F 02 due then
        self.announce_pending = False  # top level: 5F 02 on the next connection
        self._reset_conversation()
        self._bad_ack_used = False
        self._bad_sum_used = False
        self._drop_after_data_used = False
        # Gaps between host packets as read here, in 10 us steps; packets that
        # complete in one read have no gap of their own and are only counted.
        self.host_gaps = collections.Counter()
        self.host_gap_min = None
        self.host_packets_together = 0
        self.stats = {
            "host_packets": 0,
            "host_packets_by_kind": {k: 0 for k in HOST_PACKET_KINDS},
            "framing_errors": 0,
            "link_starts": 0,
            "link_stops": 0,
            "address_queries_answered": 0,
            "sync_requests": 0,
            "connections_accepted": 0,
            "connections_without_link_start": 0,
            "packets_after_link_stop": 0,
            "data_packets": 0,
            "data_bytes_accepted": 0,
            "data_packets_rejected": 0,
            "init_count": 0,
            "prepare_count": 0,
            "sum_count": 0,
            "write_count": 0,
            "written_bytes": 0,
            "load_count": 0,
            "reboots": 0,
            "resets": 0,
            "drops": 0,
            "heartbeats_sent": 0,
            "heartbeats_answered": 0,
            "heartbeats_wrong": 0,
        }
        self.route_to_me = []
        self.router_sets = []
        self.loader_blocks = []
        self.firmware_blocks = []
        self.protocol_errors = []
        self.events = []
        self._seq = 0
        self._status_dirty = True
        self._memory_dirty = True
        self._status_written = 0.0
        self._memory_written = 0.0

    # ---- bookkeeping -------------------------------------------------------

    @property
    def serial_text(self):
        return self.cfg.serial_text

    def all_modules(self):
        yield self
        for child in self.children.values():
            yield child

    def note(self, text):
        if self.log:
            self.log("[%s] %s" % (self.serial_text, text))

    def event(self, now, text):
        # Wall-clock stamps, so tests can line events up with the host's log.
        self.events.append({"time": round(time.time(), 3), "event": text})
        del self.events[:-200]
        self.note(text)
        self.touch()

    def protocol_error(self, text):
        if len(self.protocol_errors) < 100:
            self.protocol_errors.append(text)
        self.note("protocol error: " + text)
        self.touch()

    def touch(self, memory=False):
        self._status_dirty = True
        if memory:
            self._memory_dirty = True

    def count_packet(self, kind):
        self.stats["host_packets"] += 1
        self.stats["host_packets_by_kind"][kind] += 1
        self.touch()

    def note_host_gap(self, gap_s):
        if gap_s is None:
            self.host_packets_together += 1
            return
        self.host_gaps[int(gap_s * 1e5)] += 1
        if self.host_gap_min is None or gap_s < self.host_gap_min:
            self.host_gap_min = gap_s

    def host_gap_summary(self):
        n = sum(self.host_gaps.values())
        median = None
        seen = 0
        for step in sorted(self.host_gaps):
            seen += self.host_gaps[step]
            if seen * 2 >= n:
                median = step * 10
                break
        return {"count": n, "together": self.host_packets_together, "median_us": median,
                "min_us": None if self.host_gap_min is None else round(self.host_gap_min * 1e6)}

    def status(self):
        return {
            "serial": self.serial_text,
            "serial_number": self.cfg.serial,
            "model": self.cfg.model,
            "address": self.address,
            "router": self.router,
            "parent": self.parent.serial_text if self.parent else None,
            "version": version_text(self.version),
            "version_word": self.version,
            "build": self.build,
            "running": self.running,
            "seq": self._seq,
            "stats": dict(self.stats,
                          host_packets_by_kind=dict(self.stats["host_packets_by_kind"])),
            "host_gaps": self.host_gap_summary(),
            "route_to_me": list(self.route_to_me),
            "router_sets": list(self.router_sets),
            "loader_blocks": list(self.loader_blocks),
            "firmware_blocks": list(self.firmware_blocks),
            "flash_bytes": self.flash.total(),
            "protocol_errors": list(self.protocol_errors),
            "events": list(self.events),
        }

    def flush(self, now, force=False):
        """Rewrites the state files that changed (atomically)."""
        for m in self.all_modules():
            m._flush_one(now, force)

    def _flush_one(self, now, force):
        if not self.state_dir:
            return
        base = os.path.join(self.state_dir, self.serial_text)
        if self._memory_dirty and (force or now - self._memory_written >= MEMORY_FLUSH_INTERVAL_S):
            write_json_atomic(base + ".flash.json", self.flash.to_json(self.serial_text, "flash"))
            write_json_atomic(base + ".ram.json", self.ram.to_json(self.serial_text, "ram"))
            self._memory_dirty = False
            self._memory_written = now
        if self._status_dirty and (force or now - self._status_written >= STATUS_FLUSH_INTERVAL_S):
            self._seq += 1
            write_json_atomic(base + ".status.json", self.status())
            self._status_dirty = False
            self._status_written = now

    def flush_deadline(self):
        times = []
        for m in self.all_modules():
            if m.state_dir and m._status_dirty:
                times.append(m._status_written + STATUS_FLUSH_INTERVAL_S)
            if m.state_dir and m._memory_dirty:
                times.append(m._memory_written + MEMORY_FLUSH_INTERVAL_S)
        return min(times) if times else None

    # ---- loader conversation state ----------------------------------------

    def _reset_conversation(self):
        self.block = None            # dict of the block announced by PREPARE
        self.pending = bytearray()   # accepted since PREPARE or the last WRITE
        self.sum_acc = 0             # accepted since PREPARE, WRITE or SUM
        self.write_address = None

    def _close_block(self):
        """A block whose data was never written is a loader block (it went to
        RAM); data left over after WRITEs was lost by the host."""
        b = self.block
        if b is None:
            if self.pending:
                self.protocol_error("%d data bytes outside any block" % len(self.pending))
        elif b["writes"] == 0:
            if self.pending:
                self.ram.write(b["address"], self.pending)
                self.touch(memory=True)
            self.loader_blocks.append({
                "address": b["address"], "flags": b["flags"],
                "length": len(self.pending), "sum": sum(self.pending) & 0xFFFFFFFF})
        else:
            if self.pending:
                self.protocol_error("block at 0x%08X: %d data bytes never written"
                                    % (b["address"], len(self.pending)))
            self.firmware_blocks.append({
                "address": b["address"], "flags": b["flags"],
                "writes": b["writes"], "written_bytes": b["written"]})
        self._reset_conversation()

    def adopt_installed_image(self, now):
        m = self.flash.find_marker()
        if not m:
            return
        major, minor, patch, build = (int(g) for g in m.groups())
        if major > 15 or minor > 15 or patch > 0xFFFFFF or build > 0xFFFFFFFF:
            self.protocol_error("firmware marker %r does not fit" % m.group(0))
            return
        self.version = pack_version(major, minor, patch)
        self.build = build
        self.event(now, "running firmware %s build %d" % (version_text(self.version), build))

    # ---- packet handling ---------------------------------------------------

    def handle(self, payload, now):
        """One packet addressed to this module: returns (replies, drop).

        replies are payloads sent from this module's address; drop is a
        DropRequest or None.
        """
        p = bytes(payload)
        self.count_packet(_kind_of(p))
        if not p:
            return [], None
        cmd = p[0]
        if cmd == CMD_UPGRADE:
            return self._upgrade(p, now)
        if cmd == CMD_CATALOGUE and len(p) >= 2 and p[1] == BUILD_QUERY_OPTION:
            if len(p) != 2:
                self.protocol_error("build query with %d bytes" % len(p))
            if self.cfg.build_error:
                return [bytes([CMD_CATALOGUE, BUILD_QUERY_OPTION, UEI_INDEX_ERROR,
                               self.cfg.build_error])], None
            return [bytes([CMD_CATALOGUE, BUILD_QUERY_OPTION])
                    + struct.pack(">I", self.build)], None
        if cmd == CMD_DEBUG:
            return [p], None
        return self._uei(p, now)

    def _uei(self, p, now):
        cmd = p[0]
        opt_byte = p[1] if len(p) > 1 else 0
        idx_byte = p[2] if len(p) > 2 else 0
        option = opt_byte & 0x3F
        index = idx_byte & 0x1F
        is_set = bool(opt_byte & UEI_SET)
        is_get = bool(opt_byte & UEI_GET) and not is_set
        ack_option = option | UEI_SET_ACK if is_set else option

        def error(code):
            return [bytes([cmd, ack_option, index | UEI_INDEX_ERROR, code])], None

        if len(p) < 3:
            self.protocol_error("UEI request of %d bytes: %s" % (len(p), hexbytes(p)))
            return error(ERR_SHORT_COMMAND)
        if not idx_byte & UEI_INDEX_FROM_HOST:
            self.protocol_error("UEI request without index flag 0x20: %s" % hexbytes(p))
        code = self.cfg.uei_error.get((cmd, option))
        if code:
            return error(code)
        if cmd == CMD_CATALOGUE:
            return error(ERR_INVALID_OPTION)   # only its build query exists here
        if cmd != CMD_SYSTEM:
            return error(ERR_INVALID_ENTITY)
        if not (is_get or is_set):
            self.protocol_error("system request neither get nor set: %s" % hexbytes(p))
            return error(ERR_INVALID_OPTION)
        value = p[3:]

        if option == SYS_FINGERPRINT and is_get:
            # The word is chosen by the subindex when one is sent, else by
            # the entity index.
            if len(value) == 1:
                if index != 0:
                    return error(ERR_INDEX_RANGE)
                word = value[0]
            elif not value:
                word = index
            else:
                self.protocol_error("fingerprint get with %d value bytes" % len(value))
                return error(ERR_SHORT_COMMAND)
            if word > 3:
                return error(ERR_INDEX_RANGE)
            return [bytes([cmd, option, index])
                    + struct.pack(">I", self.cfg.fingerprint[word])], None

        if index != 0:
            return error(ERR_INDEX_RANGE)
        reply_head = bytes([cmd, ack_option, index])
        if is_get:
            if value:
                self.protocol_error("get with value bytes: %s" % hexbytes(p))
            if option == SYS_MODULE:
                return [reply_head + bytes([self.address])], None
            if option == SYS_ROUTER:
                return [reply_head + bytes([self.router])], None
            if option == SYS_VERSION:
                return [reply_head + struct.pack(">I", self.version)], None
            if option == SYS_MODEL:
                return [reply_head + bytes([self.cfg.model])], None
            if option == SYS_SERIAL:
                return [reply_head + struct.pack(">I", self.cfg.serial)], None
            return error(ERR_INVALID_OPTION)

        # sets
        if option == SYS_RESET:
            if value:
                self.protocol_error("reset call with value bytes: %s" % hexbytes(p))
            self.stats["resets"] += 1
            self.event(now, "reset")
            return [reply_head], self._restart(now, "reset")
        if option in (SYS_ROUTER, SYS_ROUTE_TO_ME):
            if len(value) != 1:
                self.protocol_error("8-bit set with %d value bytes: %s" % (len(value), hexbytes(p)))
                return error(ERR_SHORT_COMMAND)
            v = value[0]
            if option == SYS_ROUTER:
                self.router = v
                self.router_sets.append(v)
            else:
                self.route_to_me.append(v)
            self.event(now, "%s set to %d" % ("router" if option == SYS_ROUTER else "routeToMe", v))
            return [reply_head + bytes([v])], None
        return error(ERR_INVALID_OPTION)

    def _restart(self, now, why):
        """The module reboots into whatever firmware its flash holds."""
        self._close_block()
        self.adopt_installed_image(now)
        self.running = "application"
        if self.cfg.no_reboot_drop:
            self.event(now, "%s: staying on the link (no_reboot_drop)" % why)
            return None
        return self._leave(now, self.cfg.reboot_offline_ms / 1000.0, why, announce=False)

    def _leave(self, now, offline_s, why, announce):
        self.stats["drops"] += 1
        self.event(now, "leaving the link (%s), back in %.3f s" % (why, offline_s))
        if self.parent is not None:
            # A child cannot break its router's TCP link; it goes quiet.
            self.quiet_until = now + offline_s
            self.announce_at = self.quiet_until if announce else None
            return None
        self.announce_pending = announce
        self.flush(now, force=True)
        return DropRequest(offline_s, why)

    def _fault_fires(self, mode, used_flag):
        """once/always switches: true for this packet, consuming a 'once'."""
        if mode == "always" or (mode == "once" and not getattr(self, used_flag)):
            setattr(self, used_flag, True)
            return True
        return False

    def _upgrade(self, p, now):
        if len(p) < 2:
            self.protocol_error("upgrade command without option")
            return [], None
        opt = p[1]
        status = bytes([CMD_UPGRADE, UPGRADE_STATUS])

        if opt == UPGRADE_INIT:
            self.stats["init_count"] += 1
            self._close_block()
            return [bytes([CMD_UPGRADE, UPGRADE_INIT])
                    + struct.pack(">I", self.cfg.load_base)], None

        if opt == UPGRADE_PREPARE:
            self.stats["prepare_count"] += 1
            self._close_block()
            if len(p) != 7:
                self.protocol_error("PREPARE of %d bytes: %s" % (len(p), hexbytes(p)))
                return [status + bytes([1, 0, 0])], None
            address = struct.unpack(">I", p[3:7])[0]
            self.block = {"address": address, "flags": p[2], "writes": 0, "written": 0}
            self.write_address = address
            return [status + bytes([self.cfg.prepare_status]) +
                    struct.pack(">H", self.cfg.block_size)], None

        if opt == UPGRADE_DATA:
            self.stats["data_packets"] += 1
            data = p[2:]
            n = self.cfg.drop_after_data
            if n and not self._drop_after_data_used and self.stats["data_packets"] >= n:
                self._drop_after_data_used = True
                return [], self._leave(now, self.cfg.drop_offline_ms / 1000.0,
                                       "drop_after_data", announce=False)
            if not data:
                self.protocol_error("DATA without data bytes")
                return [bytes([CMD_UPGRADE, UPGRADE_DATA, 0])], None
            if self.block is None:
                self.protocol_error("DATA before PREPARE")
            if self._fault_fires(self.cfg.bad_ack, "_bad_ack_used"):
                # The loader refuses the packet: nothing of it is kept.
                self.stats["data_packets_rejected"] += 1
                return [bytes([CMD_UPGRADE, UPGRADE_DATA, (len(data) - 1) & 0xFF])], None
            self.pending.extend(data)
            self.sum_acc = (self.sum_acc + sum(data)) & 0xFFFFFFFF
            self.stats["data_bytes_accepted"] += len(data)
            return [bytes([CMD_UPGRADE, UPGRADE_DATA, len(data)])], None

        if opt == UPGRADE_SUM:
            self.stats["sum_count"] += 1
            if len(p) != 2:
                self.protocol_error("SUM of %d bytes" % len(p))
            value = self.sum_acc
            if self._fault_fires(self.cfg.bad_sum, "_bad_sum_used"):
                value = (value + 1) & 0xFFFFFFFF
            self.sum_acc = 0
            return [status + bytes([0]) + struct.pack(">I", value)], None

        if opt == UPGRADE_WRITE:
            self.stats["write_count"] += 1
            if len(p) != 4:
                self.protocol_error("WRITE of %d bytes: %s" % (len(p), hexbytes(p)))
                return [status + bytes([1])], None
            length = struct.unpack(">H", p[2:4])[0]
            if self.block is None:
                self.protocol_error("WRITE without PREPARE")
                return [status + bytes([1])], None
            if length != len(self.pending):
                self.protocol_error("WRITE of %d bytes, %d received since the last write"
                                    % (length, len(self.pending)))
                return [status + bytes([2])], None
            if self.cfg.block_size and length > self.cfg.block_size:
                self.protocol_error("WRITE of %d bytes exceeds block size %d"
                                    % (length, self.cfg.block_size))
                return [status + bytes([3])], None
            if self.cfg.write_status:
                return [status + bytes([self.cfg.write_status])], None
            self.flash.write(self.write_address, self.pending)
            self.touch(memory=True)
            self.write_address += length
            self.block["writes"] += 1
            self.block["written"] += length
            self.stats["written_bytes"] += length
            self.pending = bytearray()
            self.sum_acc = 0
            return [status + bytes([0])], None

        if opt == UPGRADE_LOAD:
            self.stats["load_count"] += 1
            self._close_block()
            self.running = "loader"
            self.event(now, "loader started (%s)" % self.cfg.load_mode)
            if self.cfg.load_mode == "stay":
                return [bytes([CMD_UPGRADE, UPGRADE_LOAD])], None
            return [], self._leave(now, self.cfg.load_offline_ms / 1000.0, "load", announce=True)

        if opt == UPGRADE_REBOOT:
            self.stats["reboots"] += 1
            self.event(now, "reboot")
            return [], self._restart(now, "reboot")

        self.protocol_error("unknown upgrade option %d" % opt)
        return [bytes([CMD_UPGRADE, opt, UEI_INDEX_ERROR, ERR_INVALID_OPTION])], None


# --------------------------------------------------------------------------
# One host connection

class LinkSession:
    """Protocol engine of one host connection to a top-level module.

    Transport contract: call start() when the connection opens, receive()
    with every chunk of bytes from the host, poll() when next_deadline() has
    passed, end() when the connection is gone; send the bytes each returns.
    When `drop` is set afterwards, send what was returned, then make the
    module leave the link as DropRequest describes; bytes that arrived after
    the packet that caused it are discarded.  `now` is a monotonic clock in
    seconds.  Replies go out before any state file is rewritten, so the
    files can trail the wire by up to the flush interval (never across a
    drop: the module flushes before it leaves the link).
    """

    def __init__(self, module, now):
        self.module = module
        self.drop = None
        self._addr = None
        self._len = None
        self._payload = bytearray()
        self._first_packet = True
        self._stopped = False
        self._query_run = 0
        self._last_packet_at = None  # read time of the last complete host packet
        interval = module.cfg.hb_ms / 1000.0
        self._hb_interval = interval
        self._hb_next = now + interval if interval else None
        self._hb_beat = 0
        self._hb_expected = None

    # ---- transport interface ---------------------------------------------

    def start(self, now):
        m = self.module
        m.stats["connections_accepted"] += 1
        m.event(now, "connection opened")
        out = bytearray()
        if m.announce_pending and not m.cfg.silent:
            m.announce_pending = False
            m.event(now, "announcing the started loader")
            out += frame(m.address, [CMD_UPGRADE, UPGRADE_LOAD])
        out += self.poll(now)
        return bytes(out)

    def receive(self, data, now, arrived=None):
        """arrived: when the kernel took in the last of data (any clock), for
        the gaps between host packets."""
        out = bytearray()
        self._query_run = 0
        completed = 0
        for b in data:
            if self.drop is not None:
                break
            packet = self._frame_byte(b)
            if packet is not None:
                completed += 1
                out += self._on_packet(packet[0], packet[1], now)
        if completed and arrived is not None:
            # Only a read that completed one packet times it on its own.
            for _ in range(completed - 1):
                self.module.note_host_gap(None)
            if completed == 1 and self._last_packet_at is not None:
                self.module.note_host_gap(arrived - self._last_packet_at)
            self._last_packet_at = arrived
        return bytes(out)

    def poll(self, now):
        m = self.module
        out = bytearray()
        if self.drop is not None or m.cfg.silent:
            return b""
        if self._hb_next is not None and now >= self._hb_next:
            if self._hb_expected is not None:
                m.note("heartbeat %d not answered" % ((self._hb_expected - 2) & 0xFF))
            out += frame(m.address, [CMD_HEARTBEAT, self._hb_beat])
            self._hb_expected = (self._hb_beat + 2) & 0xFF
            self._hb_beat ^= 1
            m.stats["heartbeats_sent"] += 1
            m.touch()
            self._hb_next += self._hb_interval
            if self._hb_next <= now:      # late: skip beats rather than burst
                self._hb_next = now + self._hb_interval
        for child in m.children.values():
            if child.announce_at is not None and now >= child.announce_at:
                child.announce_at = None
                child.event(now, "announcing the started loader")
                out += frame(child.address, [CMD_UPGRADE, UPGRADE_LOAD])
        return bytes(out)

    def next_deadline(self):
        if self.drop is not None:
            return None
        times = [t for t in [self._hb_next] if t is not None]
        times += [c.announce_at for c in self.module.children.values() if c.announce_at is not None]
        return min(times) if times else None

    def end(self, now):
        self.module.event(now, "connection closed")

    # ---- framing -----------------------------------------------------------

    def _frame_byte(self, b):
        if self._addr is None:
            if b == 0:
                self._framing_error("address byte 0")
                return None
            self._addr = b
            return None
        if self._len is None:
            if b > MAX_PAYLOAD:
                self._framing_error("length %d after address 0x%02X" % (b, self._addr))
                self._addr = None
                return None
            self._len = b
            self._payload = bytearray()
        else:
            self._payload.append(b)
        if len(self._payload) == self._len:
            packet = (self._addr, bytes(self._payload))
            self._addr = None
            self._len = None
            return packet
        return None

    def _framing_error(self, what):
        m = self.module
        m.stats["framing_errors"] += 1
        m.protocol_error("framing: " + what)

    # ---- packets -----------------------------------------------------------

    def _on_packet(self, addr, payload, now):
        m = self.module
        if m.log:
            m.note("host> %s" % hexbytes(frame(addr, payload)))
        if self._first_packet:
            self._first_packet = False
            if not (addr == HOST_LINK_CONTROL and payload == b"\x01"):
                m.stats["connections_without_link_start"] += 1
        elif self._stopped:
            m.stats["packets_after_link_stop"] += 1
        if addr != HOST_ADDRESS_QUERY or payload:
            self._query_run = 0

        if addr == HOST_LINK_CONTROL:
            if payload == b"\x01":
                m.count_packet("link_start")
                m.stats["link_starts"] += 1
                self._stopped = False
            elif payload == b"\x00":
                m.count_packet("link_stop")
                m.stats["link_stops"] += 1
                self._stopped = True
            else:
                m.count_packet("control_other")
                m.protocol_error("link control %s" % hexbytes(payload))
            return b""
        if addr == HOST_ADDRESS_QUERY:
            if payload:
                m.count_packet("control_other")
                m.protocol_error("address query with payload %s" % hexbytes(payload))
                return b""
            m.count_packet("address_query")
            return self._address_query(now)
        if addr & 1:
            m.count_packet("control_other")
            m.protocol_error("packet to odd address 0x%02X" % addr)
            return b""

        if addr == m.address and len(payload) == 2 and payload[0] == CMD_HEARTBEAT:
            m.count_packet("heartbeat_answer")
            if self._hb_expected is not None and payload[1] == self._hb_expected:
                m.stats["heartbeats_answered"] += 1
                self._hb_expected = None
            else:
                m.stats["heartbeats_wrong"] += 1
                m.note("heartbeat answer %d, expected %s" % (payload[1], self._hb_expected))
            return b""

        if addr == m.address:
            target = m
        else:
            target = m.children.get(addr)
        if target is None:
            m.count_packet("absent_address")
            if m.cfg.silent or not m.cfg.answer_absent or addr in m.cfg.silent_addresses:
                return b""
            opt = payload[1] if len(payload) > 1 else 0
            idx = payload[2] if len(payload) > 2 else 0
            cmd = payload[0] if payload else 0
            reply = bytes([cmd, (opt & 0x3F) | (UEI_SET_ACK if opt & UEI_SET else 0),
                           (idx & 0x1F) | UEI_INDEX_ERROR, m.cfg.answer_absent])
            return self._send(addr, [reply])
        kind = _kind_of(payload)
        if target is not m:
            # Everything on the router's link counts as host traffic of the
            # router; the child counts what was addressed to it.
            m.count_packet(kind)
        if target.cfg.silent or m.cfg.silent or now < target.quiet_until:
            target.count_packet(kind)
            return b""
        replies, drop = target.handle(payload, now)
        out = self._send(target.address, replies)
        if drop is not None:
            self.drop = drop
        return out

    def _send(self, address, payloads):
        out = bytearray()
        for p in payloads:
            out += frame(address, p)
        if out and self.module.log:
            self.module.note("mod<  %s" % hexbytes(out))
        return bytes(out)

    def _address_query(self, now):
        """A synchronisation request is six queries in one write, so it shows
        up as a run of queries within one chunk of input; a lone query is
        written on its own and its sender waits for the answer.  The first
        two queries of a run are answered: one for a lone query, and for a
        sync exactly the two empty packets its sender waits for (more would
        pile up in its queue).  A sync split across reads gets up to four,
        which costs the host nothing but two stray empty packets."""
        m = self.module
        self._query_run += 1
        if self._query_run == 2:
            m.stats["sync_requests"] += 1
        if m.cfg.silent or self._query_run > 2:
            return b""
        m.stats["address_queries_answered"] += 1
        return self._send(m.address, [b""])


def _kind_of(payload):
    """Kind of a packet for a module, without handling it."""
    if not payload:
        return "empty"
    cmd = payload[0]
    if cmd == CMD_UPGRADE:
        return UPGRADE_KINDS.get(payload[1] if len(payload) > 1 else None, "upgrade_other")
    if cmd == CMD_CATALOGUE and len(payload) >= 2 and payload[1] == BUILD_QUERY_OPTION:
        return "build_query"
    if cmd == CMD_DEBUG:
        return "debug"
    opt = payload[1] if len(payload) > 1 else 0
    if opt & UEI_SET:
        return "uei_set"
    if opt & UEI_GET:
        return "uei_get"
    return "uei_other"


# --------------------------------------------------------------------------
# TCP and UDP transport

def _reset_close(sock):
    """Close with an RST: the host's stream reconnects on ECONNRESET, while a
    plain FIN would look to it like a connection with no data yet."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class _Endpoint:
    """A top-level module on its TCP port."""

    def __init__(self, module):
        self.module = module
        self.listener = None
        self.port = module.cfg.port
        self.reopen_at = None
        self.reopen_deadline = None
        self.sessions = {}           # socket -> LinkSession


class TcpTransport:
    def __init__(self, modules, log=None, discovery=True):
        self.modules = modules
        self.log = log
        self.selector = selectors.DefaultSelector()
        self.endpoints = [_Endpoint(m) for m in modules]
        self.discovery_sock = None
        self.reply_socks = {}
        self.want_discovery = discovery and any(
            m.cfg.ip and m.cfg.discovery for m in modules)
        self.stop_requested = False
        # Signals only set a flag; this pair wakes the select at once.
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._wake_w.setblocking(False)
        self.selector.register(self._wake_r, selectors.EVENT_READ, ("wake", None))

    def request_stop(self):
        self.stop_requested = True
        try:
            self._wake_w.send(b"x")
        except OSError:
            pass

    # ---- set-up ------------------------------------------------------------

    def open(self):
        for ep in self.endpoints:
            self._listen(ep)
        if self.want_discovery:
            self._open_discovery()

    def _listen(self, ep):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind((ep.module.cfg.listen, ep.port))
            s.listen(8)
            s.setblocking(False)
        except OSError:
            s.close()
            raise
        ep.port = s.getsockname()[1]
        ep.listener = s
        ep.reopen_at = None
        ep.reopen_deadline = None
        self.selector.register(s, selectors.EVENT_READ, ("listen", ep))

    def _open_discovery(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM, socket.IPPROTO_UDP)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("", DISCOVERY_PORT))
        joined = set()
        for m in self.modules:
            if not (m.cfg.ip and m.cfg.discovery):
                continue
            if m.cfg.ip not in joined:
                mreq = socket.inet_aton(DISCOVERY_GROUP) + socket.inet_aton(m.cfg.ip)
                try:
                    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreq)
                except OSError as e:
                    # Membership is per interface: a second address on an
                    # interface that already joined finds it joined.
                    if e.errno != errno.EADDRINUSE:
                        raise
                joined.add(m.cfg.ip)
            r = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            r.bind((m.cfg.ip, 0))
            self.reply_socks[m] = r
        s.setblocking(False)
        self.discovery_sock = s
        self.selector.register(s, selectors.EVENT_READ, ("discovery", None))

    def describe(self):
        out = []
        for ep in self.endpoints:
            m = ep.module
            out.append({
                "serial": m.serial_text, "serial_number": m.cfg.serial,
                "address": m.address, "model": m.cfg.model,
                "host": m.cfg.listen, "port": ep.port, "ip": m.cfg.ip,
                "children": [{"serial": c.serial_text, "serial_number": c.cfg.serial,
                              "address": c.address, "model": c.cfg.model}
                             for c in m.children.values()],
            })
        return out

    # ---- running -----------------------------------------------------------

    def run(self, deadline):
        while not self.stop_requested:
            now = time.monotonic()
            if now >= deadline:
                break
            wake = [deadline]
            for ep in self.endpoints:
                if ep.reopen_at is not None:
                    wake.append(ep.reopen_at)
                for sess in ep.sessions.values():
                    t = sess.next_deadline()
                    if t is not None:
                        wake.append(t)
                t = ep.module.flush_deadline()
                if t is not None:
                    wake.append(t)
            timeout = min(max(0.0, min(wake) - now), 0.5)
            for key, _ in self.selector.select(timeout):
                kind, obj = key.data
                if kind == "listen":
                    self._accept(obj)
                elif kind == "conn":
                    self._readable(key.fileobj, obj)
                elif kind == "discovery":
                    self._discovery_request()
                elif kind == "wake":
                    try:
                        self._wake_r.recv(64)
                    except OSError:
                        pass
            self._timers(time.monotonic())
        self.close()

    def _timers(self, now):
        for ep in self.endpoints:
            if ep.reopen_at is not None and now >= ep.reopen_at:
                try:
                    self._listen(ep)
                    ep.module.event(now, "accepting connections again")
                except OSError as e:
                    # Someone may hold the port for a moment; retry briefly.
                    if ep.reopen_deadline is None:
                        ep.reopen_deadline = now + 5.0
                    if now >= ep.reopen_deadline:
                        ep.module.event(now, "cannot listen on port %d again: %s" % (ep.port, e))
                        ep.reopen_at = None
                    else:
                        ep.reopen_at = now + 0.1
            for sock, sess in list(ep.sessions.items()):
                t = sess.next_deadline()
                if t is not None and now >= t:
                    self._send(ep, sock, sess.poll(now))
            ep.module.flush(now)

    def _accept(self, ep):
        if ep.listener is None:
            return      # closed by an earlier event of the same select round
        try:
            conn, _ = ep.listener.accept()
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Arrival times from the kernel, so the gaps between host packets do
        # not depend on how soon this process gets to read them.
        conn.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        conn.settimeout(2.0)   # bounds sends to a host that stopped reading
        now = time.monotonic()
        sess = LinkSession(ep.module, now)
        ep.sessions[conn] = sess
        self.selector.register(conn, selectors.EVENT_READ, ("conn", ep))
        self._send(ep, conn, sess.start(now))
        self._after(ep, conn, sess, now)

    def _readable(self, conn, ep):
        sess = ep.sessions.get(conn)
        if sess is None:
            return
        now = time.monotonic()
        arrived = None
        try:
            data, ancillary, _, _ = conn.recvmsg(4096, socket.CMSG_SPACE(16))
        except (BlockingIOError, InterruptedError, socket.timeout):
            return
        except OSError:
            data, ancillary = b"", []
        for level, kind, value in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(value) >= 16:
                sec, nsec = struct.unpack("qq", value[:16])
                arrived = sec + nsec / 1e9
        if not data:
            self._close_session(ep, conn, now, reset=False)
            return
        self._send(ep, conn, sess.receive(data, now, arrived))
        self._after(ep, conn, sess, now)

    def _send(self, ep, conn, data):
        if not data or conn not in ep.sessions:
            return
        try:
            conn.sendall(data)
        except OSError as e:
            ep.module.note("send failed: %s" % e)
            self._close_session(ep, conn, time.monotonic(), reset=True)

    def _after(self, ep, conn, sess, now):
        drop = sess.drop
        if drop is None:
            return
        if drop.offline_s > 0 and ep.listener is not None:
            # Closed, not just ignored: the host's reconnect must be refused
            # so that its link reports an I/O error.  Closed before the
            # resets go out, or the reconnect would beat it.
            self.selector.unregister(ep.listener)
            ep.listener.close()
            ep.listener = None
            ep.reopen_at = now + drop.offline_s
        for other in list(ep.sessions):
            self._close_session(ep, other, now, reset=True)
        ep.module.flush(now, force=True)

    def _close_session(self, ep, conn, now, reset):
        sess = ep.sessions.pop(conn, None)
        if sess is None:
            return
        try:
            self.selector.unregister(conn)
        except (KeyError, ValueError):
            pass
        if reset:
            _reset_close(conn)
        else:
            conn.close()
        sess.end(now)
        ep.module.flush(now, force=True)

    def _discovery_request(self):
        try:
            data, sender = self.discovery_sock.recvfrom(512)
        except OSError:
            return
        if not data or data[0] != DISCOVERY_REQUEST:
            return
        for ep in self.endpoints:
            m = ep.module
            r = self.reply_socks.get(m)
            if r is None or ep.listener is None:
                continue      # not announced, or rebooting
            reply = bytearray(16)
            reply[1] = m.address
            struct.pack_into("<H", reply, 2, ep.port)
            struct.pack_into("<I", reply, 4, m.cfg.serial)
            reply[12] = m.cfg.model
            try:
                r.sendto(bytes(reply), (sender[0], DISCOVERY_REPLY_PORT))
                m.event(time.monotonic(), "discovery reply to %s" % sender[0])
            except OSError as e:
                m.note("discovery reply failed: %s" % e)

    def close(self):
        now = time.monotonic()
        for ep in self.endpoints:
            for conn in list(ep.sessions):
                self._close_session(ep, conn, now, reset=False)
            if ep.listener is not None:
                self.selector.unregister(ep.listener)
                ep.listener.close()
                ep.listener = None
            ep.module.flush(now, force=True)
        if self.discovery_sock is not None:
            self.selector.unregister(self.discovery_sock)
            self.discovery_sock.close()
            self.discovery_sock = None
        for r in self.reply_socks.values():
            r.close()
        self.reply_socks = {}
        if self._wake_r is not None:
            self.selector.unregister(self._wake_r)
            self._wake_r.close()
            self._wake_w.close()
            self._wake_r = self._wake_w = None


# --------------------------------------------------------------------------
# Command line

HELP_EPILOG = """\
module keys (--module/--child 'key=value,...' or JSON objects in --config):
%s

Numbers are decimal or 0x hexadecimal; serial numbers are always hexadecimal.
--child adds a child (a module on the router's I2C network) to the --module
before it; in JSON a module has a "children" list.  Children answer packets
addressed to their module address over the router's TCP link.

JSON config example:
  {"modules": [
     {"serial": "0001ABCD", "model": 19, "address": 2, "version": "1.2.0",
      "build": 1200, "port": 0, "fingerprint": [1, 2, 3, 4], "hb_ms": 0,
      "answer_absent": 3, "silent_addresses": [10],
      "uei_error": ["3:7:5"],
      "children": [{"serial": "0002BEEF", "address": 4, "model": 13}]}]}

Link behaviour:
  Leaving the link (LOAD in drop mode, REBOOT, system reset, the
  drop_after_data fault) resets every TCP connection of the module (RST,
  never FIN) and, for a non-zero offline time, closes its listening socket
  so that reconnects are refused, then listens on the same port again.
  After LOAD in drop mode the next connection starts with an unsolicited
  5F 02.  A child behind a router instead goes quiet for the offline time
  (and then announces 5F 02 over the router's link after LOAD).  After a
  restart the module reports the version and build of an ASCII marker
  KSFW-VERSION=x.y.z;BUILD=n; found in its flash, if any.
  Address queries (AD 00): of a run of queries read in one chunk, the first
  two are answered with an empty packet, so a lone query gets one answer and
  the 12-byte synchronisation request gets exactly "addr 0 addr 0".

State directory files (per module, serial as 8 upper-case hex digits),
rewritten atomically at most every 20 ms (memory files 250 ms) and always
before the module leaves a link or a connection ends:
  SERIAL.status.json  version, build, running (application/loader), stats
                      (host_packets total and host_packets_by_kind, data,
                      PREPARE/SUM/WRITE counts, link starts/stops, syncs,
                      heartbeats, connections, reboots, ...), route_to_me
                      and router_sets histories, loader_blocks,
                      firmware_blocks, protocol_errors, recent events
  SERIAL.flash.json   written flash: {"ranges": [{"address", "length",
                      "hex"}], "total_bytes"}
  SERIAL.ram.json     loader blocks (PREPARE and DATA never written to flash)
A router's host_packets counts everything on its link; a child's counts the
packets addressed to it.
Ready file: {"pid": ..., "discovery": bool, "modules": [{"serial",
"address", "host", "port", "ip", "children": [...]}, ...]}, written once
every port listens (also printed as a READY line on standard output).
"""


def _keys_help():
    lines = []
    for key, (_, default, text) in MODULE_KEYS.items():
        d = "" if default is None else " [%s]" % (
            ":".join(str(x) for x in default) if isinstance(default, list) else default)
        lines.append(textwrap.fill(text + d, width=79, initial_indent="  %-18s " % key,
                                   subsequent_indent=" " * 21))
    return "\n".join(lines)


def build_parser():
    p = argparse.ArgumentParser(
        prog="virtual_module.py",
        allow_abbrev=False,
        description="Simulated Keystrand modules on TCP (with UDP discovery), "
                    "for tests of the updater.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=HELP_EPILOG % _keys_help())
    p.add_argument("--module", action="append", default=[], metavar="SPEC",
                   help="a top-level module, e.g. serial=0001ABCD,model=19,address=2,"
                        "version=1.2.0,build=1200,port=0")
    p.add_argument("--child", action="append", default=[], metavar="SPEC",
                   help="a child of the preceding --module (router mode)")
    p.add_argument("--config", metavar="FILE", help="JSON file with a \"modules\" list")
    p.add_argument("--state-dir", metavar="DIR", help="directory for the state files")
    p.add_argument("--ready-file", metavar="FILE",
                   help="JSON with the actual ports, written once everything listens")
    p.add_argument("--no-discovery", action="store_true",
                   help="do not listen for UDP discovery requests")
    p.add_argument("--max-runtime", type=float, default=3600.0, metavar="S",
                   help="exit after this many seconds (default 3600)")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="trace packets and events on standard error")
    return p


def collect_raw_modules(argv, args):
    """--module/--child in command-line order, plus the --config file."""
    raw = []
    if args.config:
        try:
            with open(args.config) as f:
                doc = json.load(f)
        except (OSError, ValueError) as e:
            raise ConfigError("cannot read %s: %s" % (args.config, e))
        mods = doc.get("modules") if isinstance(doc, dict) else None
        if not isinstance(mods, list) or set(doc) != {"modules"}:
            raise ConfigError("%s: expected {\"modules\": [...]}" % args.config)
        for mod in mods:
            if not isinstance(mod, dict) or not isinstance(mod.get("children", []), list) \
                    or not all(isinstance(c, dict) for c in mod.get("children", [])):
                raise ConfigError("%s: a module is an object, children a list of objects"
                                  % args.config)
        raw.extend(mods)
    # argparse loses the interleaving of --module and --child; recover it.
    i = 0
    while i < len(argv):
        a = argv[i]
        opt, val = a, None
        if "=" in a and a.startswith("--"):
            opt, val = a.split("=", 1)
        if opt in ("--module", "--child"):
            if val is None:
                i += 1
                val = argv[i] if i < len(argv) else ""
            spec = parse_module_spec(val)
            if opt == "--module":
                raw.append(spec)
            else:
                if not raw:
                    raise ConfigError("--child before any --module")
                raw[-1].setdefault("children", []).append(spec)
        i += 1
    return raw


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        configs = build_configs(collect_raw_modules(argv, args))
    except ConfigError as e:
        parser.error(str(e))
    if args.max_runtime <= 0:
        parser.error("--max-runtime must be positive")
    if args.state_dir:
        os.makedirs(args.state_dir, exist_ok=True)

    log = stderr_log if args.verbose else None

    modules = [VirtualModule(c, args.state_dir, log) for c in configs]
    transport = TcpTransport(modules, log, discovery=not args.no_discovery)

    def stop(signum, frame_):
        transport.request_stop()
    on_stop_signals(stop)

    try:
        transport.open()
    except OSError as e:
        sys.stderr.write("virtual_module: cannot listen: %s\n" % e)
        transport.close()
        return 1
    now = time.monotonic()
    for m in modules:
        m.flush(now, force=True)
    ready = {"pid": os.getpid(), "discovery": transport.discovery_sock is not None,
             "modules": transport.describe()}
    announce_ready(args.ready_file, ready)
    transport.run(now + args.max_runtime)
    return 0


if __name__ == "__main__":
    sys.exit(main())
