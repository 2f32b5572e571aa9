#!/usr/bin/python3
"""i.MX RT1050 ROM in serial-download mode (SDP) on a pseudo-terminal.

Stands in for a chip whose boot fuses/pins put it into the serial
downloader: the program under test opens the published slave path as its
serial port and speaks the Serial Download Protocol to it.

Two layers, kept apart on purpose:

* SdpDevice: the ROM's command handler.  It takes whole 16-byte commands
  and data bytes and answers with a list of Reply items, each either the
  security (HAB mode) word or a response payload (a reply word, or register
  contents).  It knows nothing about framing.
* SerialSdpLink: the serial form of SDP, which has no report IDs: 16-byte
  commands, raw data bytes after WRITE_FILE, and replies concatenated on
  the wire.  A USB HID bridge would instead deliver each Reply as an input
  report (see hid_reports()): the HAB word as report 3, a response as
  report 4 carrying 64 bytes that start with the payload.  The --silent
  switch belongs to the transport (SerialSdpLink); the other faults live in
  the device and apply to any transport.

Commands (type, big-endian, in bytes 0-1; address in 2-5; format in 6;
count in 7-10; data in 11-14):

  ERROR_STATUS  0x0505  -> HAB word, then the 4-byte status word
  READ_REGISTER 0x0101  -> HAB word, then count bytes of the register/memory
  WRITE_FILE    0x0404  -> count data bytes are taken, then HAB word and the
                           completion word 0x88888888
  JUMP_ADDRESS  0x0B0B  -> HAB word; the chip then runs the loaded code and
                           ignores further input (--after-jump sdp keeps it
                           listening)

Words on the wire are little-endian.  Other command types (WRITE_REGISTER,
DCD_WRITE, SKIP_DCD_HEADER, ...) are logged and not answered; the jump
target's IVT is not checked.
"""
import argparse
import collections
import hashlib
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simpty  # noqa: E402
import toolutil  # noqa: E402

COMMAND_SIZE = 16
READ_REGISTER = 0x0101
WRITE_FILE = 0x0404
ERROR_STATUS = 0x0505
JUMP_ADDRESS = 0x0B0B
COMMAND_NAMES = {
    READ_REGISTER: "READ_REGISTER",
    0x0202: "WRITE_REGISTER",
    WRITE_FILE: "WRITE_FILE",
    ERROR_STATUS: "ERROR_STATUS",
    0x0A0A: "DCD_WRITE",
    JUMP_ADDRESS: "JUMP_ADDRESS",
    0x0C0C: "SKIP_DCD_HEADER",
}

HAB_OPEN = 0x56787856
HAB_CLOSED = 0x12343412
STATUS_OK = 0xF0F0F0F0
COMPLETE = 0x88888888

OCOTP_CFG0 = 0x401F4410
OCOTP_CFG1 = 0x401F4420
DEFAULT_CFG0 = 0x5A1C3E07
DEFAULT_CFG1 = 0x9B2D4F61

# Bounds on what one command may ask for; a corrupt count must not make the
# simulator allocate or wait for gigabytes.
MAX_READ_COUNT = 0x10000
MAX_WRITE_COUNT = 0x1000000

HID_REPORT_HAB = 3
HID_REPORT_RESPONSE = 4
HID_RESPONSE_SIZE = 64

Reply = collections.namedtuple("Reply", "kind payload")   # kind: "hab" | "response"


def le32(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def hid_reports(replies):
    """The HID input reports (report ID first) that carry these replies."""
    reports = []
    for reply in replies:
        if reply.kind == "hab":
            reports.append(bytes([HID_REPORT_HAB]) + reply.payload)
        else:
            data = reply.payload or b""
            for i in range(0, max(len(data), 1), HID_RESPONSE_SIZE):
                chunk = data[i:i + HID_RESPONSE_SIZE].ljust(HID_RESPONSE_SIZE, b"\0")
                reports.append(bytes([HID_REPORT_RESPONSE]) + chunk)
    return reports


def parse_command(packet):
    """Fields of one 16-byte SDP command (multi-byte fields big-endian)."""
    return {
        "code": int.from_bytes(packet[0:2], "big"),
        "address": int.from_bytes(packet[2:6], "big"),
        "format": packet[6],
        "count": int.from_bytes(packet[7:11], "big"),
        "data": int.from_bytes(packet[11:15], "big"),
        "reserved": packet[15],
    }


def build_command(code, address=0, fmt=0, count=0, data=0):
    return (code.to_bytes(2, "big") + address.to_bytes(4, "big") + bytes([fmt])
            + count.to_bytes(4, "big") + data.to_bytes(4, "big") + b"\0")


class Nth:
    """A fault argument VALUE[@N]: applies to every, or only the Nth, command."""

    def __init__(self, value, nth):
        self.value = value
        self.nth = nth
        self.seen = 0

    def fires(self):
        self.seen += 1
        return self.nth is None or self.seen == self.nth


def _nth_parser(value_parser):
    def parse(arg):
        value, _, nth = arg.partition("@")
        try:
            parsed = value_parser(value)
            n = int(nth) if nth else None
        except ValueError as e:
            raise argparse.ArgumentTypeError("%s: %r" % (e, arg))
        if n is not None and n < 1:
            raise argparse.ArgumentTypeError("occurrence counts from 1: %r" % arg)
        return Nth(parsed, n)
    return parse


def _register_mode(text):
    if text not in ("none", "hab-only"):
        raise ValueError("expected none or hab-only")
    return text


def _hab(text):
    return {"open": HAB_OPEN, "closed": HAB_CLOSED}.get(text) or toolutil.parse_u32(text)


def _register(arg):
    try:
        address, value = arg.split("=", 1)
        return toolutil.parse_u32(address), toolutil.parse_u32(value)
    except ValueError:
        raise argparse.ArgumentTypeError("expected ADDRESS=VALUE: %r" % arg)


class SdpDevice:
    """The serial downloader's command handler, independent of transport."""

    def __init__(self, opts, clock=time.monotonic):
        self.opts = opts
        self.clock = clock
        self.t0 = clock()
        self.registers = {OCOTP_CFG0: opts.cfg0, OCOTP_CFG1: opts.cfg1}
        self.registers.update(dict(opts.register))
        self.memory = []          # (address, bytearray) of every load, in order
        self.transfer = None
        self.jumped = False
        self.status_seen = 0
        self.dirty = True
        self.pending_files = []
        self.log = {
            "tool": "imx_sdp_sim",
            "pid": os.getpid(),
            "hab_word": opts.hab,
            "status_word": opts.status_word,
            "commands": [],
            "loads": [],
            "jump": None,
            "ignored_bytes": 0,
            "resets": 0,
        }

    def _t(self):
        return round(self.clock() - self.t0, 4)

    def reset(self):
        """Reset pin: an unfinished transfer is dropped, a jump undone."""
        self.transfer = None
        self.jumped = False
        self.log["resets"] += 1
        self.dirty = True

    @property
    def data_expected(self):
        """Data bytes still owed to the running WRITE_FILE (0: none)."""
        return self.transfer["count"] - len(self.transfer["data"]) if self.transfer else 0

    def _hab(self):
        return Reply("hab", le32(self.opts.hab))

    def _read_memory(self, address, count):
        out = bytearray()
        for a in range(address, address + count):
            word_address = a & ~3
            if word_address in self.registers:
                out.append((self.registers[word_address] >> (8 * (a & 3))) & 0xFF)
                continue
            value = 0
            for base, data in reversed(self.memory):
                if base <= a < base + len(data):
                    value = data[a - base]
                    break
            out.append(value)
        return bytes(out)

    def command(self, packet):
        """Handle one 16-byte command; returns the replies to send now."""
        fields = parse_command(packet)
        name = COMMAND_NAMES.get(fields["code"], "UNKNOWN")
        entry = {"t": self._t(), "type": name, "code": fields["code"],
                 "address": fields["address"], "format": fields["format"],
                 "count": fields["count"], "data": fields["data"], "raw": packet.hex()}
        self.log["commands"].append(entry)
        self.dirty = True
        if self.jumped:
            entry["ignored"] = "jumped"
            return []
        if fields["code"] == ERROR_STATUS:
            self.status_seen += 1
            if self.status_seen <= self.opts.ignore_status:
                entry["fault"] = "ignore-status"
                return []
            return [self._hab(), Reply("response", le32(self.opts.status_word))]
        if fields["code"] == READ_REGISTER:
            return self._read_register(entry, fields)
        if fields["code"] == WRITE_FILE:
            return self._write_file(entry, fields)
        if fields["code"] == JUMP_ADDRESS:
            self.log["jump"] = {"t": entry["t"], "address": fields["address"]}
            if self.opts.after_jump == "silent":
                self.jumped = True
            return [self._hab()]
        entry["ignored"] = "unsupported"
        return []

    def _read_register(self, entry, fields):
        fault = self.opts.no_register_reply
        if fault is not None and fault.fires():
            entry["fault"] = "no-register-reply " + fault.value
            return [self._hab()] if fault.value == "hab-only" else []
        count = min(fields["count"], MAX_READ_COUNT)
        return [self._hab(), Reply("response", self._read_memory(fields["address"], count))]

    def _write_file(self, entry, fields):
        count = fields["count"]
        if count > MAX_WRITE_COUNT:
            entry["ignored"] = "count too large"
            return []
        load = {"t": entry["t"], "address": fields["address"], "count": count,
                "received": 0, "complete": False, "file": None, "sha256": None,
                "completion_word": None}
        self.log["loads"].append(load)
        talk = self.opts.talk_during_transfer
        self.transfer = {"count": count, "address": fields["address"], "data": bytearray(),
                         "load": load,
                         "talk_at": talk.value if talk is not None and talk.fires() else None}
        return self._progress()

    def data(self, chunk):
        """Data bytes of the running WRITE_FILE.

        Bytes beyond the announced count are cut off and counted: over HID
        the last data report arrives padded to the full report size.
        """
        excess = len(chunk) - self.data_expected
        if excess > 0:
            self.transfer["load"]["excess_bytes"] = excess
            chunk = chunk[:self.data_expected]
        self.transfer["data"] += chunk
        self.transfer["load"]["received"] = len(self.transfer["data"])
        return self._progress()

    def _progress(self):
        t = self.transfer
        replies = []
        if t["talk_at"] is not None and len(t["data"]) >= t["talk_at"] and len(t["data"]) < t["count"]:
            # The chip speaks before the host has finished sending.
            replies.append(self._hab())
            t["load"]["talked_at"] = len(t["data"])
            t["talk_at"] = None
            self.dirty = True
        if len(t["data"]) < t["count"]:
            return replies
        load = t["load"]
        self.memory.append((t["address"], t["data"]))
        word = COMPLETE
        fault = self.opts.wrong_completion
        if fault is not None and fault.fires():
            word = fault.value
            load["fault"] = "wrong-completion"
        load.update(complete=True, completion_word=word,
                    file="load_%08x.bin" % t["address"],
                    sha256=hashlib.sha256(t["data"]).hexdigest())
        self.pending_files.append((load["file"], bytes(t["data"])))
        self.transfer = None
        self.dirty = True
        replies += [self._hab(), Reply("response", le32(word))]
        return replies

    def save(self, state_dir, extra):
        for name, data in self.pending_files:
            state_dir.write(name, data)
        self.pending_files = []
        self.log.update(extra)
        self.log["state"] = ("jumped" if self.jumped else
                             "receiving" if self.transfer else "ready")
        state_dir.write_json("log.json", self.log)
        self.dirty = False


class SerialSdpLink:
    """Serial framing around an SdpDevice: the device API expected by simpty.serve."""

    def __init__(self, device, opts, clock=time.monotonic):
        self.device = device
        self.opts = opts
        self.clock = clock
        self.buffer = bytearray()
        self.partial_since = None
        self.out = bytearray()
        self.flush_hook = None
        self.discarded = 0

    def feed(self, data):
        dev = self.device
        if dev.jumped:
            dev.log["ignored_bytes"] += len(data)
            dev.dirty = True
            return
        self.buffer += data
        while self.buffer and not dev.jumped:
            want = dev.data_expected
            if want:
                chunk = bytes(self.buffer[:want])
                del self.buffer[:len(chunk)]
                self._send(dev.data(chunk))
            elif len(self.buffer) >= COMMAND_SIZE:
                packet = bytes(self.buffer[:COMMAND_SIZE])
                del self.buffer[:COMMAND_SIZE]
                self._send(dev.command(packet))
            else:
                break
        if dev.jumped and self.buffer:
            dev.log["ignored_bytes"] += len(self.buffer)
            self.buffer.clear()
        self.partial_since = self.clock() if self.buffer else None

    def _send(self, replies):
        if self.opts.silent:
            return
        for reply in replies:
            self.out += reply.payload

    def deadline(self):
        if self.partial_since is None or not self.opts.frame_timeout_ms:
            return None
        return self.partial_since + self.opts.frame_timeout_ms / 1000.0

    def tick(self):
        deadline = self.deadline()
        if deadline is not None and self.clock() >= deadline:
            self.discarded += len(self.buffer)
            self.device.log.setdefault("discarded_partial", []).append(
                {"t": self.device._t(), "bytes": self.buffer.hex()})
            self.device.dirty = True
            self.buffer.clear()
            self.partial_since = None

    def reset(self):
        self.buffer.clear()
        self.partial_since = None
        self.device.reset()

    def take_output(self):
        data = bytes(self.out)
        self.out.clear()
        return data

    def save(self, state_dir, port, final=False):
        if not (self.device.dirty or port.changed or final):
            return
        self.device.save(state_dir, {
            "silent": bool(self.opts.silent),
            "port": port.describe(),
            "termios_first_byte": port.termios_first_byte,
            "termios_history": port.termios_history,
            "termios_now": port.current_termios(),
            "final": final,
        })
        port.changed = False


def build_parser():
    p = argparse.ArgumentParser(
        prog="imx_sdp_sim.py",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=__doc__.split("\n\n")[0] + "\n\n" + __doc__.split("\n\n")[1],
        epilog="""\
The host writes 16-byte commands (no report IDs on a serial line):
  bytes 0-1 type, 2-5 address, 6 format, 7-10 count, 11-14 data, 15 reserved,
  multi-byte fields big-endian.  Replies are 4-byte little-endian words.
    ERROR_STATUS  05 05  -> HAB word, status word
    READ_REGISTER 01 01  -> HAB word, count bytes (format 0x20, count 4 for one
                            32-bit register; OCOTP 0x401F4410/0x401F4420 are
                            the fuse words --cfg0/--cfg1; loaded RAM reads
                            back; anything else reads 0)
    WRITE_FILE    04 04  -> takes exactly count data bytes, then HAB word and
                            the completion word 88 88 88 88
    JUMP_ADDRESS  0B 0B  -> HAB word; then the loaded code "runs" and input
                            is ignored (unless --after-jump sdp)

The slave path of the pty is printed on the first line of standard output,
written to --port-file (atomically, last) and optionally symlinked at --link.
Runs until SIGTERM or SIGINT (exit status 0); SIGHUP resets the chip.

State directory (--state-dir), updated before every answer goes out:
  load_<address as 8 hex digits>.bin  the bytes of each completed WRITE_FILE
  log.json  every command (type, code, address, format, count, data, raw
            bytes, faults), loads (address, count, received, complete,
            completion word, file, sha256), the jump address, port counters
            and the host's termios settings (first byte, changes, now)

Fault switches (N counts the affected commands from 1; without @N every one):
  --silent                          never answer (commands are still logged)
  --ignore-status K                 no answer to the first K ERROR_STATUS
  --talk-during-transfer BYTES[@N]  send the HAB word once BYTES data bytes of
                                    a WRITE_FILE arrived, before its end
  --wrong-completion WORD[@N]       finish WRITE_FILE with WORD instead
  --no-register-reply none|hab-only[@N]
                                    READ_REGISTER answered with nothing, or
                                    with the HAB word but no value
""")
    p.add_argument("--port-file", metavar="PATH", help="write the slave path here")
    p.add_argument("--link", metavar="PATH", help="also make PATH a symlink to the slave")
    p.add_argument("--state-dir", metavar="DIR", help="keep log.json and load_*.bin here")
    p.add_argument("--cfg0", type=toolutil.parse_u32, default=DEFAULT_CFG0, metavar="WORD",
                   help="OCOTP fuse word at 0x401F4410 (default 0x%08X)" % DEFAULT_CFG0)
    p.add_argument("--cfg1", type=toolutil.parse_u32, default=DEFAULT_CFG1, metavar="WORD",
                   help="OCOTP fuse word at 0x401F4420 (default 0x%08X)" % DEFAULT_CFG1)
    p.add_argument("--register", type=_register, action="append", default=[],
                   metavar="ADDRESS=VALUE", help="another 32-bit register to serve; repeatable")
    p.add_argument("--hab", type=_hab, default=HAB_OPEN, metavar="open|closed|WORD",
                   help="security mode word (open 0x56787856 default, closed 0x12343412)")
    p.add_argument("--status-word", type=toolutil.parse_u32, default=STATUS_OK, metavar="WORD",
                   help="ERROR_STATUS answer (default 0xF0F0F0F0)")
    p.add_argument("--after-jump", choices=("silent", "sdp"), default="silent",
                   help="after JUMP_ADDRESS: ignore input (default) or keep serving SDP")
    p.add_argument("--frame-timeout-ms", type=int, default=0, metavar="MS",
                   help="discard an incomplete command after MS of quiet (default 0: "
                        "wait for the rest, like the ROM)")
    p.add_argument("--silent", action="store_true", help="fault: never answer")
    p.add_argument("--ignore-status", type=int, default=0, metavar="K",
                   help="fault: do not answer the first K ERROR_STATUS commands")
    p.add_argument("--talk-during-transfer", type=_nth_parser(toolutil.parse_int),
                   metavar="BYTES[@N]", help="fault: answer during the data phase")
    p.add_argument("--wrong-completion", type=_nth_parser(toolutil.parse_u32),
                   metavar="WORD[@N]", help="fault: completion word instead of 0x88888888")
    p.add_argument("--no-register-reply", type=_nth_parser(_register_mode),
                   metavar="none|hab-only[@N]", help="fault: leave READ_REGISTER unanswered")
    return p


def main(argv=None):
    opts = build_parser().parse_args(argv)
    device = SdpDevice(opts)
    link = SerialSdpLink(device, opts)
    port = simpty.PtyPort()
    state_dir = simpty.StateDir(opts.state_dir)
    link.save(state_dir, port)
    port.publish(opts.port_file, opts.link)
    return simpty.serve(port, link, state_dir)


if __name__ == "__main__":
    sys.exit(main())
