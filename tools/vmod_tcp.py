"""Virtual modules on TCP (TcpTransport): a listening port per top-level
module and a LinkSession per connection, leaving the link with an RST and a
listener closed for the offline time, and the answers to UDP discovery
requests.
"""

import errno
import selectors
import socket
import struct
import time

from vmod_link import LinkSession
from vmod_protocol import DISCOVERY_GROUP, DISCOVERY_PORT, DISCOVERY_REPLY_PORT, DISCOVERY_REQUEST

# Linux value; older Pythons do not name it.
SO_TIMESTAMPNS = getattr(socket, "SO_TIMESTAMPNS", 35)


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
