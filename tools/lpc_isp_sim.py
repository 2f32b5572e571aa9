#!/usr/bin/python3
"""LPC17xx ROM bootloader (serial in-system programming) on a pseudo-terminal.

Stands in for an LPC1768-class chip held in ISP mode: the program under test
opens the published slave path as its serial port and speaks NXP's ISP text
protocol to it.  The simulated chip keeps 512 KiB of flash, its RAM, the
per-sector prepare state, the unlock state and the echo setting, and mirrors
what happened into a state directory.  Fault switches make it misbehave in
the ways a recovery has to survive.

Behaviour as modelled (the switches follow below):

* Reset state: auto-baud, echo on, locked, no sector prepared.
* Auto-baud: a "?" is answered "Synchronized\\r\\n" (not echoed, other bytes
  are ignored); the host's "Synchronized" line is echoed and answered
  "OK\\r\\n"; the crystal frequency line (decimal kHz) is echoed and answered
  "OK\\r\\n".  A wrong line in either step returns to auto-baud.
* Lines end at CR, LF or CR LF; extra CR/LF are ignored.  While echo is on
  every received byte is echoed as it arrives, so the echo of a command line
  (CR LF included) precedes its return code "<code>\\r\\n".
* Once synchronised a "?" is an ordinary character: re-synchronising needs a
  reset (SIGHUP), as on the chip, unless --resync is given.
* U 23130 unlocks C, E and G (CMD_LOCKED before that).  P, W, R, A, B, K, J,
  N work while locked.
* A successful C or E relocks all sectors: every copy or erase needs a fresh
  P first.
* C into non-blank flash is accepted, as on the chip: programming can only
  clear bits, so the flash receives old AND new.  The copy is flagged
  "overwrote_nonblank" in the log.  (A failing copy can be forced with
  --fail 'C=10'.)
* G answers "0\\r\\n" and then the chip runs user code: it stays silent and
  ignores input (--after-go isp keeps the ISP handler listening).
* Not modelled: code read protection, I (blank check) and M (compare),
  which answer INVALID_COMMAND, the ISP handler's own use of RAM, real line
  rates.  The pty keeps the kernel's default (cooked) line settings until
  the host sets its own, as a real serial port would.
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import simpty  # noqa: E402
import toolutil  # noqa: E402

FLASH_SIZE = 0x80000
# (start, size) per sector number: 16 x 4 KiB, then 14 x 32 KiB.
SECTORS = ([(n * 0x1000, 0x1000) for n in range(16)]
           + [(0x10000 + (n - 16) * 0x8000, 0x8000) for n in range(16, 30)])
# Local SRAM and the two AHB SRAM banks of an LPC1768.
RAM_REGIONS = ((0x10000000, 0x8000), (0x2007C000, 0x8000))
UNLOCK_CODE = 23130
BAUD_RATES = (9600, 19200, 38400, 57600, 115200, 230400)
COPY_SIZES = (256, 512, 1024, 4096)
BYTES_PER_LINE = 45
LINES_PER_BLOCK = 20
MAX_LINE = 256          # longer lines are cut and treated as garbage
MAX_DELAY_MS = 10000    # bound of --delay so SIGTERM is never held off long
LOG_RAW_LIMIT = 4096    # bytes of raw input kept in the log while silent

CR, LF, QUESTION = 0x0D, 0x0A, 0x3F

CMD_SUCCESS = 0
INVALID_COMMAND = 1
SRC_ADDR_ERROR = 2
DST_ADDR_ERROR = 3
SRC_ADDR_NOT_MAPPED = 4
DST_ADDR_NOT_MAPPED = 5
COUNT_ERROR = 6
INVALID_SECTOR = 7
SECTOR_NOT_BLANK = 8
SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9
COMPARE_ERROR = 10
BUSY = 11
PARAM_ERROR = 12
ADDR_ERROR = 13
ADDR_NOT_MAPPED = 14
CMD_LOCKED = 15
INVALID_CODE = 16
INVALID_BAUD_RATE = 17
INVALID_STOP_BIT = 18
CODE_READ_PROTECTION_ENABLED = 19

AUTOBAUD = "autobaud"
SYNC_STRING = "sync_string"
CRYSTAL = "crystal"
COMMAND = "command"
WRITE_DATA = "write_data"
READ_ACK = "read_ack"
EXECUTED = "executed"

DEFAULT_DEVICE_ID = (0x1F0A2B3C, 0x8C4D5E6F, 0x00000042, 0xFEDCBA98)
DEFAULT_PART_ID = 0x26013F37   # LPC1768


def uuchar(value):
    value &= 63
    return 96 if value == 0 else value + 32


def uuencode_line(data):
    """One ISP data line (without CR LF) for at most 45 bytes."""
    out = bytearray([uuchar(len(data))])
    for i in range(0, len(data), 3):
        group = data[i:i + 3].ljust(3, b"\0")
        v = (group[0] << 16) | (group[1] << 8) | group[2]
        out += bytes(uuchar(v >> s) for s in (18, 12, 6, 0))
    return bytes(out)


def uudecode_line(line):
    """(data, well_formed) for one data line without its line end.

    A line is well formed when its count is 1..45, it carries exactly the
    characters that count needs and all of them are uuencode characters
    (blank or backquote both stand for 0).
    """
    if not line:
        return b"", False
    count = (line[0] - 32) & 63
    body = line[1:]
    need = 4 * ((count + 2) // 3)
    ok = (0x20 <= line[0] <= 0x60 and 0 < count <= BYTES_PER_LINE
          and len(body) == need and all(0x20 <= c <= 0x60 for c in body))
    out = bytearray()
    for i in range(0, need, 4):
        chars = body[i:i + 4].ljust(4, b"`")
        v = 0
        for c in chars:
            v = (v << 6) | ((c - 32) & 63)
        out += bytes(((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF))
    return bytes(out[:count]), ok


class FailRule:
    """--fail PATTERN=CODE[@N]: answer matching commands with CODE.

    PATTERN is a command letter optionally followed by its exact arguments
    ("C", "A 1", "P 0 29"); CODE is a return code or "none" (no return code
    at all, echo still happens); @N restricts the rule to the Nth matching
    command (counted from 1).  A command hit by a rule has no other effect.
    """

    def __init__(self, arg):
        if "=" not in arg:
            raise ValueError("expected PATTERN=CODE[@N]: %r" % arg)
        pattern, action = arg.rsplit("=", 1)
        tokens = pattern.split()
        if not tokens:
            raise ValueError("empty command pattern: %r" % arg)
        self.letter = tokens[0]
        self.args = tuple(tokens[1:]) or None
        self.nth = None
        if "@" in action:
            action, nth = action.split("@", 1)
            self.nth = int(nth)
            if self.nth < 1:
                raise ValueError("occurrence counts from 1: %r" % arg)
        self.code = None if action.strip().lower() == "none" else int(action, 0)
        self.arg = arg
        self.seen = 0

    def fires(self, letter, args):
        if letter != self.letter or (self.args is not None and tuple(args) != self.args):
            return False
        self.seen += 1
        return self.nth is None or self.seen == self.nth


def parse_fail(arg):
    try:
        return FailRule(arg)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def parse_selection(arg):
    """once | always | comma list of 1-based numbers -> predicate on a number."""
    arg = arg.strip().lower()
    if arg == "always":
        return lambda n: True
    if arg == "once":
        return lambda n: n == 1
    try:
        numbers = {int(x) for x in arg.split(",") if x.strip()}
    except ValueError:
        raise argparse.ArgumentTypeError("expected once, always or numbers: %r" % arg)
    return lambda n: n in numbers


def parse_delay(arg):
    try:
        letter, ms = arg.split("=", 1)
        ms = int(ms, 0)
    except ValueError:
        raise argparse.ArgumentTypeError("expected LETTER=MS: %r" % arg)
    if not 0 <= ms <= MAX_DELAY_MS:
        raise argparse.ArgumentTypeError("delay must be 0..%d ms" % MAX_DELAY_MS)
    return letter.strip(), ms


def parse_device_id(arg):
    try:
        words = [toolutil.parse_u32(x) for x in arg.split(",")]
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))
    if len(words) != 4:
        raise argparse.ArgumentTypeError("expected four words: %r" % arg)
    return tuple(words)


def parse_version(arg):
    try:
        major, minor = (int(x, 0) for x in arg.split("."))
    except ValueError:
        raise argparse.ArgumentTypeError("expected MAJOR.MINOR: %r" % arg)
    return major, minor


class ParamError(Exception):
    pass


def _numbers(args, count):
    """Decimal arguments as the ISP handler takes them."""
    if len(args) != count:
        raise ParamError()
    values = []
    for a in args:
        if not a.isdigit() or not a.isascii():
            raise ParamError()
        v = int(a)
        if v > 0xFFFFFFFF:
            raise ParamError()
        values.append(v)
    return values


def sector_of(address):
    for number, (start, size) in enumerate(SECTORS):
        if start <= address < start + size:
            return number
    return None


class LpcIspChip:
    """The ISP command handler; transport-free (bytes in, bytes out)."""

    def __init__(self, opts, clock=time.monotonic):
        self.opts = opts
        self.clock = clock
        self.t0 = clock()
        self.out = bytearray()
        self.flush_hook = None
        self.flash = bytearray(b"\xff" * FLASH_SIZE)
        if opts.flash_image:
            with open(opts.flash_image, "rb") as f:
                image = f.read(FLASH_SIZE + 1)
            if len(image) > FLASH_SIZE:
                raise ValueError("flash image larger than 512 KiB")
            self.flash[:len(image)] = image
        self.ram = [(base, bytearray(size)) for base, size in RAM_REGIONS]
        self.flash_dirty = True
        self.dirty = True
        self.log = {
            "tool": "lpc_isp_sim",
            "pid": os.getpid(),
            "silent": bool(opts.silent),
            "handshake": [],
            "commands": [],
            "synchronized": False,
            "crystal_khz": None,
            "baud_rate": None,
            "stop_bits": None,
            "flash_erased": False,
            "erased_sectors": [],
            "copies": [],
            "go": None,
            "write": {"blocks_ok": 0, "resends": 0, "malformed_lines": 0, "checksums": 0},
            "read": {"blocks_sent": 0, "blocks_ok": 0, "resends": 0},
            "resets": 0,
            "ignored_bytes": 0,
            "received_while_silent": "",
        }
        self.checksums_seen = 0
        self.read_blocks_seen = 0
        self._power_on()

    # --- state ---------------------------------------------------------

    def _power_on(self):
        self.state = AUTOBAUD
        self.echo = True
        self.unlocked = False
        self.prepared = set()
        self.line = bytearray()
        self.line_overflow = False
        self.pending_cr = False
        self.cr_deadline = None
        self.wctx = None
        self.rctx = None
        self.log["synchronized"] = False
        self.dirty = True

    def reset(self):
        """Reset pin: back to auto-baud; flash and RAM keep their contents."""
        self._power_on()
        self.log["resets"] += 1
        self.log["handshake"].append({"t": self._t(), "event": "reset"})

    def _t(self):
        return round(self.clock() - self.t0, 4)

    def _emit(self, data):
        self.out += data

    def take_output(self):
        data = bytes(self.out)
        self.out.clear()
        return data

    def deadline(self):
        return self.cr_deadline if self.pending_cr else None

    # --- memory --------------------------------------------------------

    def _ram_region(self, address, count):
        for base, mem in self.ram:
            if base <= address and address + count <= base + len(mem):
                return mem, address - base
        return None, None

    def _in_flash(self, address, count):
        return address + count <= FLASH_SIZE

    def _read_mem(self, address, count):
        if self._in_flash(address, count):
            return bytes(self.flash[address:address + count])
        mem, off = self._ram_region(address, count)
        return bytes(mem[off:off + count])

    def _mapped(self, address, count):
        return self._in_flash(address, count) or self._ram_region(address, count)[0] is not None

    # --- byte level ----------------------------------------------------

    def feed(self, data):
        if self.opts.silent:
            raw = self.log["received_while_silent"]
            if len(raw) < 2 * LOG_RAW_LIMIT:
                self.log["received_while_silent"] = (raw + data.hex())[:2 * LOG_RAW_LIMIT]
                self.dirty = True
            return
        for b in data:
            self._byte(b)
        if self.pending_cr:
            self.cr_deadline = self.clock() + self.opts.cr_wait_ms / 1000.0

    def tick(self):
        if self.pending_cr and self.clock() >= self.cr_deadline:
            self.pending_cr = False
            self._end_line()

    def _byte(self, b):
        if self.state == EXECUTED:
            self.log["ignored_bytes"] += 1
            self.dirty = True
            return
        if self.state == AUTOBAUD:
            if b == QUESTION:
                self._emit(b"Synchronized\r\n")
                self.state = SYNC_STRING
                self.log["handshake"].append({"t": self._t(), "event": "autobaud"})
                self.dirty = True
            else:
                self.log["ignored_bytes"] += 1
                self.dirty = True
            return
        if self.pending_cr:
            # A CR ended the line; a directly following LF belongs to it and
            # is echoed before the answer, as the chip does with CR LF.
            self.pending_cr = False
            if b == LF:
                self._echo(b)
                self._end_line()
                return
            self._end_line()
            if self.state in (EXECUTED, AUTOBAUD):
                self._byte(b)
                return
        if (b == QUESTION and self.opts.resync and self.state == COMMAND
                and not self.line and not self.line_overflow):
            # Lenient mode: a host's auto-baud "?" at the start of a line is
            # taken as if the chip had been reset just before it.
            self._power_on()
            self.state = SYNC_STRING
            self._emit(b"Synchronized\r\n")
            self.log["handshake"].append({"t": self._t(), "event": "resync"})
            return
        self._echo(b)
        if b == CR:
            self.pending_cr = True
        elif b == LF:
            self._end_line()
        elif len(self.line) < MAX_LINE:
            self.line.append(b)
        else:
            self.line_overflow = True

    def _echo(self, b):
        if self.echo:
            self.out.append(b)

    def _end_line(self):
        text = bytes(self.line)
        overflow = self.line_overflow
        self.line.clear()
        self.line_overflow = False
        if not text and not overflow:
            return
        if overflow:
            text += b"..."
        if self.state == SYNC_STRING:
            self._sync_string(text)
        elif self.state == CRYSTAL:
            self._crystal(text)
        elif self.state == COMMAND:
            self._command(text)
        elif self.state == WRITE_DATA:
            self._write_line(text)
        elif self.state == READ_ACK:
            self._read_ack(text)

    # --- handshake -----------------------------------------------------

    def _sync_string(self, text):
        ok = text == b"Synchronized"
        self.log["handshake"].append({"t": self._t(), "event": "sync_string",
                                      "text": text.decode("latin-1"), "ok": ok})
        self.dirty = True
        if ok:
            self._emit(b"OK\r\n")
            self.state = CRYSTAL
        else:
            self.state = AUTOBAUD

    def _crystal(self, text):
        ok = text.isdigit() and len(text) <= 9
        self.log["handshake"].append({"t": self._t(), "event": "crystal",
                                      "text": text.decode("latin-1"), "ok": ok})
        self.dirty = True
        if ok:
            self._emit(b"OK\r\n")
            self.state = COMMAND
            self.log["crystal_khz"] = int(text)
            self.log["synchronized"] = True
        else:
            self.state = AUTOBAUD

    # --- commands ------------------------------------------------------

    def _reply(self, entry, code, lines=()):
        entry["code"] = code
        self._emit(b"%d\r\n" % code)
        for line in lines:
            self._emit(line.encode() + b"\r\n" if isinstance(line, str) else line + b"\r\n")

    def _command(self, raw):
        text = raw.decode("latin-1")
        tokens = text.split()
        letter = tokens[0] if tokens else ""
        args = tokens[1:]
        entry = {"t": self._t(), "line": text, "cmd": letter, "args": args,
                 "code": None, "echo": self.echo}
        self.log["commands"].append(entry)
        self.dirty = True
        for rule in self.opts.fail:
            if rule.fires(letter, args):
                entry["fault"] = rule.arg
                if rule.code is not None:
                    self._reply(entry, rule.code)
                return
        delay = dict(self.opts.delay).get(letter) or 0
        if letter == "E" and self.opts.erase_ms_per_sector:
            # A real chip answers an erase once every sector is blank.
            try:
                sectors = self._sector_range(args) or []
            except ParamError:
                sectors = []
            delay = min(delay + self.opts.erase_ms_per_sector * len(sectors), MAX_DELAY_MS)
        if delay:
            entry["delayed_ms"] = delay
            if self.flush_hook:
                self.flush_hook()
            time.sleep(delay / 1000.0)
        handler = getattr(self, "_cmd_" + letter, None) if len(letter) == 1 else None
        if handler is None:
            self._reply(entry, INVALID_COMMAND)
            return
        try:
            handler(entry, args)
        except ParamError:
            self._reply(entry, PARAM_ERROR)

    def _cmd_U(self, entry, args):
        (code,) = _numbers(args, 1)
        if code != UNLOCK_CODE:
            self._reply(entry, INVALID_CODE)
            return
        self.unlocked = True
        self._reply(entry, CMD_SUCCESS)

    def _cmd_A(self, entry, args):
        (setting,) = _numbers(args, 1)
        if setting not in (0, 1):
            raise ParamError()
        self.echo = bool(setting)
        self._reply(entry, CMD_SUCCESS)

    def _cmd_B(self, entry, args):
        rate, stop = _numbers(args, 2)
        if rate not in BAUD_RATES:
            self._reply(entry, INVALID_BAUD_RATE)
        elif stop not in (1, 2):
            self._reply(entry, INVALID_STOP_BIT)
        else:
            self.log["baud_rate"] = rate
            self.log["stop_bits"] = stop
            self._reply(entry, CMD_SUCCESS)

    def _sector_range(self, args):
        first, last = _numbers(args, 2)
        if first > last or last >= len(SECTORS):
            return None
        return range(first, last + 1)

    def _cmd_P(self, entry, args):
        sectors = self._sector_range(args)
        if sectors is None:
            self._reply(entry, INVALID_SECTOR)
            return
        self.prepared.update(sectors)
        self._reply(entry, CMD_SUCCESS)

    def _cmd_E(self, entry, args):
        sectors = self._sector_range(args)
        if not self.unlocked:
            self._reply(entry, CMD_LOCKED)
        elif sectors is None:
            self._reply(entry, INVALID_SECTOR)
        elif not set(sectors) <= self.prepared:
            self._reply(entry, SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION)
        else:
            for n in sectors:
                start, size = SECTORS[n]
                self.flash[start:start + size] = b"\xff" * size
            self.prepared.clear()
            self.flash_dirty = True
            self.log["flash_erased"] = True
            self.log["erased_sectors"] = sorted(set(self.log["erased_sectors"]) | set(sectors))
            self._reply(entry, CMD_SUCCESS)

    def _cmd_C(self, entry, args):
        dst, src, count = _numbers(args, 3)
        if not self.unlocked:
            code = CMD_LOCKED
        elif dst % 256:
            code = DST_ADDR_ERROR
        elif src % 4:
            code = SRC_ADDR_ERROR
        elif count not in COPY_SIZES:
            code = COUNT_ERROR
        elif not self._in_flash(dst, count):
            code = DST_ADDR_NOT_MAPPED
        elif self._ram_region(src, count)[0] is None:
            code = SRC_ADDR_NOT_MAPPED
        elif not set(range(sector_of(dst), sector_of(dst + count - 1) + 1)) <= self.prepared:
            code = SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION
        else:
            code = CMD_SUCCESS
        if code != CMD_SUCCESS:
            self._reply(entry, code)
            return
        mem, off = self._ram_region(src, count)
        data = mem[off:off + count]
        old = self.flash[dst:dst + count]
        nonblank = old != b"\xff" * count
        # Flash programming only clears bits.
        self.flash[dst:dst + count] = bytes(o & d for o, d in zip(old, data)) if nonblank else data
        self.prepared.clear()
        self.flash_dirty = True
        self.log["copies"].append({"t": self._t(), "flash": dst, "ram": src, "count": count,
                                   "overwrote_nonblank": nonblank})
        self._reply(entry, CMD_SUCCESS)

    def _cmd_G(self, entry, args):
        if len(args) != 2:
            raise ParamError()
        (address,) = _numbers(args[:1], 1)
        mode = args[1]
        if not self.unlocked:
            self._reply(entry, CMD_LOCKED)
        elif mode != "T":
            # Cortex-M3 has no ARM state: only Thumb mode is accepted.
            self._reply(entry, PARAM_ERROR)
        elif address % 4:
            self._reply(entry, ADDR_ERROR)
        elif not self._mapped(address, 4):
            self._reply(entry, ADDR_NOT_MAPPED)
        else:
            words = [int.from_bytes(self.flash[i:i + 4], "little") for i in range(0, 32, 4)]
            self.log["go"] = {"t": self._t(), "address": address, "mode": mode,
                              "vector_checksum_valid": sum(words) & 0xFFFFFFFF == 0}
            self._reply(entry, CMD_SUCCESS)
            if self.opts.after_go == "silent":
                self.state = EXECUTED

    def _cmd_K(self, entry, args):
        _numbers(args, 0)
        major, minor = self.opts.boot_version
        self._reply(entry, CMD_SUCCESS, ["%d" % major, "%d" % minor])

    def _cmd_J(self, entry, args):
        _numbers(args, 0)
        self._reply(entry, CMD_SUCCESS, ["%d" % self.opts.part_id])

    def _cmd_N(self, entry, args):
        _numbers(args, 0)
        self._reply(entry, CMD_SUCCESS, ["%d" % w for w in self.opts.device_id])

    # --- W: host to RAM ------------------------------------------------

    def _cmd_W(self, entry, args):
        address, count = _numbers(args, 2)
        if address % 4:
            self._reply(entry, ADDR_ERROR)
        elif count % 4:
            self._reply(entry, COUNT_ERROR)
        elif self._ram_region(address, count)[0] is None:
            self._reply(entry, ADDR_NOT_MAPPED)
        else:
            self._reply(entry, CMD_SUCCESS)
            entry.update(blocks_ok=0, resends=0, complete=count == 0)
            if count:
                self.wctx = {"entry": entry, "address": address, "count": count, "pos": 0,
                             "block_start": 0, "lines": 0, "sum": 0, "bad": False}
                self.state = WRITE_DATA

    def _write_line(self, text):
        ctx = self.wctx
        if ctx["lines"] < LINES_PER_BLOCK and ctx["pos"] < ctx["count"]:
            data, ok = uudecode_line(text)
            ctx["lines"] += 1
            room = ctx["count"] - ctx["pos"]
            if len(data) > room:
                ok = False
                data = data[:room]
            if not ok:
                ctx["bad"] = True
                self.log["write"]["malformed_lines"] += 1
            mem, off = self._ram_region(ctx["address"] + ctx["pos"], len(data))
            mem[off:off + len(data)] = data
            ctx["pos"] += len(data)
            ctx["sum"] += sum(data)
            return
        # Checksum line of the block.
        self.checksums_seen += 1
        self.log["write"]["checksums"] += 1
        entry = ctx["entry"]
        good = (text.isdigit() and int(text) == ctx["sum"] and not ctx["bad"])
        forced = self.opts.w_resend is not None and self.opts.w_resend(self.checksums_seen)
        if good and not forced:
            self._emit(b"OK\r\n")
            ctx["block_start"] = ctx["pos"]
            entry["blocks_ok"] += 1
            self.log["write"]["blocks_ok"] += 1
            if ctx["pos"] >= ctx["count"]:
                entry["complete"] = True
                self.wctx = None
                self.state = COMMAND
        else:
            self._emit(b"RESEND\r\n")
            ctx["pos"] = ctx["block_start"]
            entry["resends"] += 1
            self.log["write"]["resends"] += 1
            if forced and good:
                entry.setdefault("forced_resends", 0)
                entry["forced_resends"] += 1
        ctx["lines"] = 0
        ctx["sum"] = 0
        ctx["bad"] = False
        self.dirty = True

    # --- R: chip to host -----------------------------------------------

    def _cmd_R(self, entry, args):
        address, count = _numbers(args, 2)
        if address % 4:
            self._reply(entry, ADDR_ERROR)
        elif count % 4:
            self._reply(entry, COUNT_ERROR)
        elif not self._mapped(address, count):
            self._reply(entry, ADDR_NOT_MAPPED)
        else:
            self._reply(entry, CMD_SUCCESS)
            entry.update(blocks_ok=0, resends=0, complete=count == 0)
            if count:
                self.rctx = {"entry": entry, "data": self._read_mem(address, count),
                             "pos": 0, "end": 0}
                self._send_read_block()

    def _send_read_block(self):
        ctx = self.rctx
        data = ctx["data"]
        end = min(len(data), ctx["pos"] + LINES_PER_BLOCK * BYTES_PER_LINE)
        block = data[ctx["pos"]:end]
        for i in range(0, len(block), BYTES_PER_LINE):
            self._emit(uuencode_line(block[i:i + BYTES_PER_LINE]) + b"\r\n")
        self.read_blocks_seen += 1
        self.log["read"]["blocks_sent"] += 1
        checksum = sum(block)
        if self.opts.r_bad_checksum is not None and self.opts.r_bad_checksum(self.read_blocks_seen):
            checksum += 1
            ctx["entry"].setdefault("bad_checksums_sent", 0)
            ctx["entry"]["bad_checksums_sent"] += 1
        self._emit(b"%d\r\n" % checksum)
        ctx["end"] = end
        self.state = READ_ACK
        self.dirty = True

    def _read_ack(self, text):
        ctx = self.rctx
        entry = ctx["entry"]
        if text == b"OK":
            entry["blocks_ok"] += 1
            self.log["read"]["blocks_ok"] += 1
            ctx["pos"] = ctx["end"]
            if ctx["pos"] >= len(ctx["data"]):
                entry["complete"] = True
                self.rctx = None
                self.state = COMMAND
                self.dirty = True
            else:
                self._send_read_block()
        elif text == b"RESEND":
            entry["resends"] += 1
            self.log["read"]["resends"] += 1
            self._send_read_block()
        else:
            # Anything else ends the transfer and is taken as a command.
            entry["aborted_by"] = text.decode("latin-1")
            self.rctx = None
            self.state = COMMAND
            self._command(text)

    # --- observability -------------------------------------------------

    def save(self, state_dir, port, final=False):
        if self.flash_dirty:
            state_dir.write("flash.bin", bytes(self.flash))
            self.flash_dirty = False
            self.dirty = True
        if not (self.dirty or port.changed or final):
            return
        log = self.log
        log.update(state=self.state, echo=self.echo, unlocked=self.unlocked,
                   prepared_sectors=sorted(self.prepared),
                   flash_blank=self.flash == b"\xff" * FLASH_SIZE,
                   port=port.describe(),
                   termios_first_byte=port.termios_first_byte,
                   termios_history=port.termios_history,
                   termios_now=port.current_termios(),
                   final=final)
        state_dir.write_json("log.json", log)
        self.dirty = False
        port.changed = False


def build_parser():
    p = argparse.ArgumentParser(
        prog="lpc_isp_sim.py",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=__doc__,
        epilog="""\
The slave path of the pty is printed on the first line of standard output,
written to --port-file (atomically, after everything else is ready) and
optionally symlinked at --link.  The simulator runs until SIGTERM or SIGINT
(exit status 0); SIGHUP acts as the chip's reset pin (back to auto-baud with
echo on, locked, nothing prepared; flash and RAM are kept).

State directory (--state-dir), updated before every answer goes out:
  flash.bin  the 512 KiB flash image (0xFF = erased), replaced atomically
             after every erase and copy
  log.json   handshake events, every command line received (text, letter,
             arguments, return code, fault applied, W/R block and RESEND
             counts), echo/unlock/prepare state, erases and copies, the G
             target and whether the vector checksum was valid, port
             open/close and byte counters, and the host's termios settings
             (when the first byte arrived, every change, and now)

Fault switches:
  --silent                   no answer at all, not even to "?"
  --fail 'C=10'              every C answers 10 (COMPARE_ERROR), no effect
  --fail 'A 1=12'            "A 1" answers 12; 'A 1=12@2' only the 2nd one
  --fail 'N=none'            N is echoed but never answered
  --w-resend once|always|N,M W checksum blocks answered RESEND regardless
  --r-bad-checksum once|...  R blocks sent with a wrong checksum
  --delay 'E=300'            stall 300 ms before answering E (a busy chip)

Example:
  lpc_isp_sim.py --port-file /tmp/isp.port --state-dir /tmp/isp \\
      --device-id 0x1,0x2,0x3,0x4 --fail 'C=9@3'
""")
    p.add_argument("--port-file", metavar="PATH", help="write the slave path here")
    p.add_argument("--link", metavar="PATH", help="also make PATH a symlink to the slave")
    p.add_argument("--state-dir", metavar="DIR", help="keep flash.bin and log.json here")
    p.add_argument("--device-id", type=parse_device_id, default=DEFAULT_DEVICE_ID,
                   metavar="W0,W1,W2,W3",
                   help="the four words N returns, in order (default %s)"
                        % ",".join("0x%08X" % w for w in DEFAULT_DEVICE_ID))
    p.add_argument("--part-id", type=toolutil.parse_u32, default=DEFAULT_PART_ID,
                   metavar="ID", help="part identification J returns (default 0x%08X, "
                                      "LPC1768)" % DEFAULT_PART_ID)
    p.add_argument("--boot-version", type=parse_version, default=(4, 1), metavar="MAJ.MIN",
                   help="boot code version K returns, major line first (default 4.1)")
    p.add_argument("--flash-image", metavar="FILE",
                   help="initial flash contents (at most 512 KiB, rest erased)")
    p.add_argument("--after-go", choices=("silent", "isp"), default="silent",
                   help="after a successful G: user code runs and the chip ignores "
                        "input (silent, default) or the ISP handler keeps answering (isp)")
    p.add_argument("--resync", action="store_true",
                   help="lenient: a '?' at the start of a command line restarts the "
                        "handshake at once, as after a reset (the real chip needs the "
                        "reset)")
    p.add_argument("--cr-wait-ms", type=int, default=10, metavar="MS",
                   help="after a CR, how long to wait for an LF before executing the "
                        "line (default 10)")
    p.add_argument("--silent", action="store_true", help="fault: never answer anything")
    p.add_argument("--fail", type=parse_fail, action="append", default=[],
                   metavar="PATTERN=CODE[@N]",
                   help="fault: answer matching commands with CODE (or 'none'); repeatable")
    p.add_argument("--w-resend", type=parse_selection, metavar="once|always|N,...",
                   help="fault: answer these W checksums (counted from 1 over the run) "
                        "with RESEND even when correct")
    p.add_argument("--r-bad-checksum", type=parse_selection, metavar="once|always|N,...",
                   help="fault: send these R blocks (counted from 1) with a wrong checksum")
    p.add_argument("--delay", type=parse_delay, action="append", default=[],
                   metavar="LETTER=MS", help="fault: stall before answering this command")
    p.add_argument("--erase-ms-per-sector", type=int, default=0, metavar="MS",
                   help="answer an erase only after MS per sector erased, as a real chip "
                        "does (the chip maker's manual gives about 100)")
    return p


def main(argv=None):
    opts = build_parser().parse_args(argv)
    chip = LpcIspChip(opts)
    port = simpty.PtyPort()
    state_dir = simpty.StateDir(opts.state_dir)
    chip.save(state_dir, port)
    port.publish(opts.port_file, opts.link)
    return simpty.serve(port, chip, state_dir)


if __name__ == "__main__":
    sys.exit(main())
