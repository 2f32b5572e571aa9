"""Pseudo-terminal plumbing shared by the ROM bootloader simulators.

A simulator owns the master side of a pty pair and publishes the slave path;
the program under test opens the slave as if it were the serial port of a
board.  The slave is deliberately not kept open here: the master then reports
POLLHUP while nobody has the port open.  That lets a simulator behave like a
UART whose output is lost while the host's port is closed.  (Bytes written to
a pty master while the slave is closed would otherwise be handed to the next
opener as stale input, which no real port does.)

The terminal settings the host applies to the slave are read through the
master: on Linux TCGETS on a pty master reports the slave's termios.
"""
import errno
import json
import os
import select
import signal
import sys
import termios
import time

from toolutil import atomic_write, on_stop_signals

# While the host has the port closed POLLHUP is level-triggered, so the loop
# has to sleep between polls; this keeps the reaction to a new opener well
# below the ~20 ms a host typically waits for the first reply.
HUP_POLL_S = 0.005
# A host that stops reading must not wedge the simulator: output that cannot
# be written within this time is dropped and counted.
WRITE_STALL_S = 2.0
# Upper bound of one wait in the main loop, so that signals are acted upon.
LOOP_TICK_S = 0.05

_BAUDS = {}
for _name in dir(termios):
    if _name.startswith("B") and _name[1:].isdigit():
        _BAUDS[getattr(termios, _name)] = int(_name[1:])

_CSIZE = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}


def termios_snapshot(fd):
    """The line settings of the tty behind fd as a JSON-friendly dict."""
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)

    def ccval(index):
        value = cc[index]
        return value if isinstance(value, int) else value[0]

    snap = {
        "ispeed": _BAUDS.get(ispeed, ispeed),
        "ospeed": _BAUDS.get(ospeed, ospeed),
        "data_bits": _CSIZE.get(cflag & termios.CSIZE, 0),
        "cs8": (cflag & termios.CSIZE) == termios.CS8,
        "parenb": bool(cflag & termios.PARENB),
        "parodd": bool(cflag & termios.PARODD),
        "cstopb": bool(cflag & termios.CSTOPB),
        "cread": bool(cflag & termios.CREAD),
        "clocal": bool(cflag & termios.CLOCAL),
        "crtscts": bool(cflag & termios.CRTSCTS),
        "icanon": bool(lflag & termios.ICANON),
        "echo": bool(lflag & termios.ECHO),
        "echonl": bool(lflag & termios.ECHONL),
        "isig": bool(lflag & termios.ISIG),
        "iexten": bool(lflag & termios.IEXTEN),
        "opost": bool(oflag & termios.OPOST),
        "onlcr": bool(oflag & termios.ONLCR),
        "icrnl": bool(iflag & termios.ICRNL),
        "inlcr": bool(iflag & termios.INLCR),
        "igncr": bool(iflag & termios.IGNCR),
        "istrip": bool(iflag & termios.ISTRIP),
        "ixon": bool(iflag & termios.IXON),
        "ixoff": bool(iflag & termios.IXOFF),
        "vmin": ccval(termios.VMIN),
        "vtime": ccval(termios.VTIME),
        "iflag": iflag,
        "oflag": oflag,
        "cflag": cflag,
        "lflag": lflag,
    }
    # What cfmakeraw() plus 8N1 gives: bytes pass unchanged in both directions.
    snap["raw"] = (snap["cs8"] and not snap["parenb"] and not snap["icanon"]
                   and not snap["echo"] and not snap["isig"] and not snap["opost"]
                   and not (iflag & (termios.ICRNL | termios.INLCR | termios.IGNCR
                                     | termios.ISTRIP | termios.IXON)))
    return snap


class PtyPort:
    """Master side of a pty pair standing in for a board's UART."""

    def __init__(self, clock=time.monotonic):
        master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(master, False)
        self.fd = master
        self.clock = clock
        self.t0 = clock()
        self.host_open = False
        self.link = None
        self.opens = 0
        self.closes = 0
        self.bytes_in = 0
        self.bytes_out = 0
        self.bytes_dropped = 0
        self.termios_first_byte = None
        self.termios_history = []
        self.changed = True
        self._poll = select.poll()
        self._poll.register(master, select.POLLIN)

    def elapsed(self):
        return round(self.clock() - self.t0, 4)

    def publish(self, port_file=None, link=None, stream=None):
        """Make the slave path known: symlink, then port file, then stdout.

        The port file is written last so that a test waiting for it finds
        everything else in place.
        """
        if link:
            tmp = "%s.tmp%d" % (link, os.getpid())
            if os.path.lexists(tmp):
                os.unlink(tmp)
            os.symlink(self.path, tmp)
            os.replace(tmp, link)
            self.link = link
        if port_file:
            atomic_write(port_file, self.path + "\n")
        stream = stream or sys.stdout
        stream.write(self.path + "\n")
        stream.flush()

    def _set_open(self, is_open):
        if is_open == self.host_open:
            return
        self.host_open = is_open
        self.changed = True
        if is_open:
            self.opens += 1
        else:
            self.closes += 1
            # Whatever reached the slave after the host closed it would be
            # read by the next opener; a real UART loses it.
            try:
                termios.tcflush(self.fd, termios.TCOFLUSH)
            except termios.error:
                pass

    def _note_termios(self):
        try:
            snap = termios_snapshot(self.fd)
        except termios.error:
            return
        if self.termios_first_byte is None:
            self.termios_first_byte = dict(snap, t=self.elapsed())
            self.changed = True
        last = self.termios_history[-1] if self.termios_history else None
        if last is None or {k: v for k, v in last.items() if k != "t"} != snap:
            self.termios_history.append(dict(snap, t=self.elapsed()))
            self.changed = True

    def current_termios(self):
        try:
            return termios_snapshot(self.fd)
        except termios.error:
            return None

    def read(self, timeout):
        """Bytes from the host, or b"" after at most about timeout seconds."""
        events = self._poll.poll(max(0.0, timeout) * 1000.0)
        ev = events[0][1] if events else 0
        if ev & select.POLLIN:
            try:
                data = os.read(self.fd, 4096)
            except BlockingIOError:
                return b""
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                self._set_open(False)
                return b""
            if data:
                self._set_open(True)
                self._note_termios()
                self.bytes_in += len(data)
            return data
        if ev & select.POLLHUP:
            self._set_open(False)
            time.sleep(min(max(0.0, timeout), HUP_POLL_S))
            return b""
        if not events:
            self._set_open(True)
        return b""

    def _hung_up(self):
        ev = self._poll.poll(0)
        hup = bool(ev and ev[0][1] & select.POLLHUP)
        if hup:
            self._set_open(False)
        return hup

    def write(self, data):
        """Send to the host; dropped (and counted) while the port is closed."""
        if not data:
            return
        if self._hung_up():
            self.bytes_dropped += len(data)
            return
        view = memoryview(bytes(data))
        deadline = self.clock() + WRITE_STALL_S
        while view:
            try:
                n = os.write(self.fd, view)
                view = view[n:]
                self.bytes_out += n
            except BlockingIOError:
                left = deadline - self.clock()
                if left <= 0:
                    break
                select.select([], [self.fd], [], min(left, LOOP_TICK_S))
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                break
        self.bytes_dropped += len(view)

    def describe(self):
        return {
            "path": self.path,
            "host_open": self.host_open,
            "opens": self.opens,
            "closes": self.closes,
            "bytes_in": self.bytes_in,
            "bytes_out": self.bytes_out,
            "bytes_dropped": self.bytes_dropped,
        }

    def close(self):
        if self.link and os.path.islink(self.link) and os.readlink(self.link) == self.path:
            os.unlink(self.link)
        os.close(self.fd)


class StateDir:
    """Files a simulator keeps up to date for tests to inspect."""

    def __init__(self, path):
        self.path = path
        if path:
            os.makedirs(path, exist_ok=True)

    def write(self, name, data):
        if self.path:
            atomic_write(os.path.join(self.path, name), data)

    def write_json(self, name, obj):
        # Compact on purpose: the file is rewritten before every answer, and
        # an indented dump of a long command log costs several times more.
        self.write(name, json.dumps(obj, separators=(",", ":")) + "\n")


def serve(port, device, state_dir):
    """Run device on port until SIGTERM or SIGINT; SIGHUP resets the device.

    device provides: feed(bytes), tick(), deadline() -> monotonic time or None,
    reset(), take_output() -> bytes, save(state_dir, port, final) and the
    attribute flush_hook, which it calls to get its output and state out
    before it deliberately stalls.  Files are saved before the output is
    written, so whatever answer the host receives, the state directory
    already reflects it.
    """
    stop = []
    resets = []

    def on_stop(signum, frame):
        stop.append(signum)

    def on_hup(signum, frame):
        resets.append(signum)

    on_stop_signals(on_stop)
    signal.signal(signal.SIGHUP, on_hup)

    def flush(final=False):
        device.save(state_dir, port, final)
        port.write(device.take_output())

    device.flush_hook = flush
    try:
        flush()
        while not stop:
            if resets:
                del resets[:]
                device.reset()
            timeout = LOOP_TICK_S
            deadline = device.deadline()
            if deadline is not None:
                timeout = max(0.0, min(timeout, deadline - time.monotonic()))
            data = port.read(timeout)
            if data:
                device.feed(data)
            device.tick()
            flush()
    finally:
        device.save(state_dir, port, True)
        port.close()
    return 0
