"""The protocol engine of one host connection (LinkSession): the packet
framing of the byte stream, link start and stop, address queries and
synchronisation, heartbeats, packets routed to a router's children, and the
gaps between host packets.  It turns bytes and timer ticks into bytes and
knows nothing about sockets.
"""

from vmod_module import _kind_of
from vmod_protocol import (CMD_HEARTBEAT, CMD_UPGRADE, HOST_ADDRESS_QUERY, HOST_LINK_CONTROL, MAX_PAYLOAD,
                           UEI_INDEX_ERROR, UEI_SET, UEI_SET_ACK, UPGRADE_LOAD, frame, hexbytes)

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
