"""One virtual module and its children (VirtualModule): what it answers
to the system entity, the build query, the debug echo and the upgrade
loader conversation into a simulated flash and RAM (SparseMemory), its
fault switches, statistics and the JSON state files it rewrites, and the
DropRequest with which it tells a transport to leave the link.
"""

import collections
import os
import struct
import time

from toolutil import write_json_atomic
from vmod_protocol import (BUILD_QUERY_OPTION, CMD_CATALOGUE, CMD_DEBUG, CMD_SYSTEM, CMD_UPGRADE,
                           ERR_INDEX_RANGE, ERR_INVALID_ENTITY, ERR_INVALID_OPTION, ERR_SHORT_COMMAND,
                           FIRMWARE_MARKER, SYS_FINGERPRINT, SYS_MODEL, SYS_MODULE, SYS_RESET, SYS_ROUTE_TO_ME,
                           SYS_ROUTER, SYS_SERIAL, SYS_VERSION, UEI_GET, UEI_INDEX_ERROR, UEI_INDEX_FROM_HOST,
                           UEI_SET, UEI_SET_ACK, UPGRADE_DATA, UPGRADE_INIT, UPGRADE_LOAD, UPGRADE_PREPARE,
                           UPGRADE_REBOOT, UPGRADE_STATUS, UPGRADE_SUM, UPGRADE_WRITE, hexbytes, pack_version,
                           version_text)

# Keep the protocol floor measurable: state files are rewritten at most this
# often while packets stream in, and always before the module drops a link.
STATUS_FLUSH_INTERVAL_S = 0.02
MEMORY_FLUSH_INTERVAL_S = 0.25


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
