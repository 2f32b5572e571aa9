"""Self-tests of tools/lpc_isp_sim.py, driven byte for byte over its pty."""
import os
import signal
import subprocess
import time


import pytest

from bootsim_harness import PYTHON, TOOLS, sim_starter


@pytest.fixture
def start_sim(tmp_path):
    yield from sim_starter(tmp_path)


SCRIPT = "lpc_isp_sim.py"
RAM = 0x10001000            # where the updater stages data before a copy
FLASH_SIZE = 0x80000
PART_LPC1768 = 0x26013F37


def uuencode(data):
    """Independent encoder: count char, then 4 chars per 3 bytes, 0 as backquote."""
    def ch(v):
        return 96 if v == 0 else v + 32
    out = bytearray([ch(len(data))])
    padded = data + b"\0" * (-len(data) % 3)
    for i in range(0, len(padded), 3):
        v = int.from_bytes(padded[i:i + 3], "big")
        out += bytes(ch((v >> s) & 63) for s in (18, 12, 6, 0))
    return bytes(out)


def uudecode(line):
    n = (line[0] - 32) & 63
    out = bytearray()
    for i in range(1, len(line), 4):
        v = 0
        for c in line[i:i + 4]:
            v = (v << 6) | ((c - 32) & 63)
        out += v.to_bytes(3, "big")
    return bytes(out[:n])


def test_uuencode_reference_vector():
    assert uuencode(b"Cat") == b"#0V%T"
    assert uuencode(b"\0\0\0") == b"#````"
    assert uudecode(b"#0V%T") == b"Cat"


def sync(sim, crystal=b"14746"):
    sim.transact(b"?", b"Synchronized\r\n")
    sim.transact(b"Synchronized\r\n", b"Synchronized\r\nOK\r\n")
    sim.transact(crystal + b"\r\n", crystal + b"\r\nOK\r\n")


def cmd(sim, line, echo=True):
    """Send one command line; return the return code (echo checked exactly)."""
    data = line.encode() + b"\r\n"
    sim.send(data)
    if echo:
        sim.expect(data)
    (reply,) = lines_after(sim, 1)
    return int(reply)


def lines_after(sim, count):
    got = []
    for _ in range(count):
        line = b""
        while not line.endswith(b"\r\n"):
            line += sim.read_exact(1)
        got.append(line[:-2])
    return got


def write_ram(sim, address, data, echo):
    assert cmd(sim, "W %d %d" % (address, len(data)), echo) == 0
    lines = [data[i:i + 45] for i in range(0, len(data), 45)]
    oks = 0
    for b in range(0, len(lines), 20):
        block = lines[b:b + 20]
        for piece in block:
            text = uuencode(piece) + b"\r\n"
            sim.send(text)
            if echo:
                sim.expect(text)
        check = b"%d\r\n" % sum(b"".join(block))
        sim.send(check)
        sim.expect((check if echo else b"") + b"OK\r\n")
        oks += 1
    return oks


def read_mem(sim, address, count, echo):
    assert cmd(sim, "R %d %d" % (address, count), echo) == 0
    out = b""
    while len(out) < count:
        block = b""
        for _ in range(20):
            line = lines_after(sim, 1)[0]
            block += uudecode(line)
            if len(out) + len(block) >= count:
                break
        (checksum,) = lines_after(sim, 1)
        assert int(checksum) == sum(block)
        sim.send(b"OK\r\n")
        if echo:
            sim.expect(b"OK\r\n")
        out += block
    return out


def unlock_prepare_erase(sim):
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "P 0 29") == 0
    assert cmd(sim, "E 0 29") == 0


# --- process, publishing, state files ----------------------------------

def test_help_describes_usage():
    out = subprocess.run([PYTHON, os.path.join(TOOLS, SCRIPT), "--help"],
                         capture_output=True, timeout=10, check=True).stdout.decode()
    for word in ("--port-file", "--state-dir", "--device-id", "--fail", "--w-resend",
                 "--silent", "flash.bin", "log.json", "SIGTERM"):
        assert word in out


def test_publishes_port_and_state_and_exits_on_sigterm(start_sim, tmp_path):
    link = str(tmp_path / "ttyISP")
    sim = start_sim(SCRIPT, "--link", link, open_port=False)
    with open(sim.stdout_path) as f:
        assert f.readline().strip() == sim.path
    assert sim.path.startswith("/dev/pts/")
    assert os.readlink(link) == sim.path
    flash = sim.file("flash.bin")
    assert flash == b"\xff" * FLASH_SIZE
    log = sim.log()
    assert log["tool"] == "lpc_isp_sim"
    assert log["state"] == "autobaud"
    assert log["echo"] is True and log["unlocked"] is False
    assert sim.stop() == 0
    assert not os.path.lexists(link)
    assert sim.log()["final"] is True


def test_bad_arguments_are_refused():
    r = subprocess.run([PYTHON, os.path.join(TOOLS, SCRIPT), "--fail", "C10"],
                       capture_output=True, timeout=10)
    assert r.returncode == 2
    assert b"PATTERN=CODE" in r.stderr


# --- handshake and echo ------------------------------------------------

def test_handshake_is_exact_and_logged(start_sim):
    sim = start_sim(SCRIPT)
    sim.send(b"\x00x\r\n")          # line noise before auto-baud is ignored
    sim.expect_silence(0.05)
    sync(sim)
    log = sim.log()
    assert [e["event"] for e in log["handshake"]] == ["autobaud", "sync_string", "crystal"]
    assert log["crystal_khz"] == 14746
    assert log["synchronized"] is True and log["state"] == "command"


def test_wrong_sync_string_returns_to_autobaud(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(b"?", b"Synchronized\r\n")
    sim.transact(b"Synchronised\r\n", b"Synchronised\r\n")   # echo, no OK
    sim.transact(b"Synchronized\r\n", b"")                  # auto-baud again: ignored
    sim.transact(b"?", b"Synchronized\r\n")
    sim.transact(b"Synchronized\r\n", b"Synchronized\r\nOK\r\n")
    sim.transact(b"12MHz\r\n", b"12MHz\r\n")                  # not a kHz number
    assert sim.log()["state"] == "autobaud"


def test_question_mark_after_sync_is_not_a_resync(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    sim.transact(b"?", b"?")
    sim.transact(b"\r\n", b"\r\n1\r\n")           # "?" is an invalid command


def test_resync_switch_restarts_handshake(start_sim):
    sim = start_sim(SCRIPT, "--resync")
    sync(sim)
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "A 0") == 0
    sim.transact(b"?", b"Synchronized\r\n")
    sync_rest = b"Synchronized\r\n"
    sim.transact(sync_rest, sync_rest + b"OK\r\n")   # echo is back on after the restart
    sim.transact(b"14746\r\n", b"14746\r\nOK\r\n")
    assert cmd(sim, "E 0 0") == 15                    # and the chip is locked again
    sim.transact(b"J?\r\n", b"J?\r\n1\r\n")          # inside a line "?" is a character
    assert [e["event"] for e in sim.log()["handshake"]] == [
        "autobaud", "sync_string", "crystal", "resync", "sync_string", "crystal"]


def test_echo_follows_a_commands(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    sim.transact(b"J\r\n", b"J\r\n0\r\n637615927\r\n")
    sim.transact(b"A 0\r\n", b"A 0\r\n0\r\n")       # echoed: echo was on on receipt
    sim.transact(b"J\r\n", b"0\r\n637615927\r\n")
    sim.transact(b"A 2\r\n", b"12\r\n")
    sim.transact(b"A 1\r\n", b"0\r\n")              # not echoed: off on receipt
    sim.transact(b"K\r\n", b"K\r\n0\r\n4\r\n1\r\n")
    log = sim.log()
    assert [(c["line"], c["code"], c["echo"]) for c in log["commands"]] == [
        ("J", 0, True), ("A 0", 0, True), ("J", 0, False), ("A 2", 12, False),
        ("A 1", 0, False), ("K", 0, True)]
    assert log["echo"] is True


def test_line_ends_cr_lf_or_either(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    sim.transact(b"J\n", b"J\n0\r\n637615927\r\n")
    sim.transact(b"J\r", b"J\r0\r\n637615927\r\n")      # lone CR, after a short wait
    sim.transact(b"\r\n\r\nJ\r\n", b"\r\n\r\nJ\r\n0\r\n637615927\r\n")  # empty lines ignored


def test_identification_commands_are_configurable(start_sim):
    sim = start_sim(SCRIPT, "--device-id", "0x1,4294967295,0x80000000,17",
                    "--part-id", "0x26113F37", "--boot-version", "8.3")
    sync(sim)
    sim.transact(b"N\r\n", b"N\r\n0\r\n1\r\n4294967295\r\n2147483648\r\n17\r\n")
    sim.transact(b"J\r\n", b"J\r\n0\r\n638664503\r\n")
    sim.transact(b"K\r\n", b"K\r\n0\r\n8\r\n3\r\n")
    sim.transact(b"N 1\r\n", b"N 1\r\n12\r\n")


def test_default_device_id(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    assert cmd(sim, "N") == 0
    assert lines_after(sim, 4) == [b"520760124", b"2353880687", b"66", b"4275878552"]


def test_commands_and_parameters_are_checked(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    assert cmd(sim, "X 1") == 1            # INVALID_COMMAND
    assert cmd(sim, "PP 0 1") == 1
    assert cmd(sim, "P 0") == 12           # PARAM_ERROR
    assert cmd(sim, "P a b") == 12
    assert cmd(sim, "P 0x0 1") == 12       # the chip takes decimal only
    assert cmd(sim, "P 5 4") == 7          # INVALID_SECTOR
    assert cmd(sim, "P 0 30") == 7
    assert cmd(sim, "B 115200 1") == 0
    assert cmd(sim, "B 1200 1") == 17      # INVALID_BAUD_RATE
    assert cmd(sim, "B 9600 3") == 18      # INVALID_STOP_BIT
    assert cmd(sim, "W 268439553 4") == 13  # ADDR_ERROR
    assert cmd(sim, "W 268439552 6") == 6   # COUNT_ERROR
    assert cmd(sim, "W 0 4") == 14          # flash is not RAM: ADDR_NOT_MAPPED
    assert cmd(sim, "W 268468220 8") == 14  # runs past the end of local SRAM
    assert cmd(sim, "R 524288 4") == 14     # past the flash
    log = sim.log()
    assert (log["baud_rate"], log["stop_bits"]) == (115200, 1)
    assert log["state"] == "command"


# --- unlock, prepare, erase, copy --------------------------------------

def test_unlock_is_required_for_erase_copy_and_go(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    assert cmd(sim, "P 0 29") == 0          # prepare works while locked
    assert cmd(sim, "E 0 29") == 15         # CMD_LOCKED
    assert cmd(sim, "C 0 268439552 256") == 15
    assert cmd(sim, "G 0 T") == 15
    assert cmd(sim, "U 12345") == 16        # INVALID_CODE
    assert cmd(sim, "U") == 12
    assert cmd(sim, "E 0 29") == 15
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "E 0 29") == 0
    log = sim.log()
    assert log["unlocked"] is True and log["flash_erased"] is True
    assert log["erased_sectors"] == list(range(30))
    assert log["prepared_sectors"] == []


def test_erase_needs_prepared_sectors_and_relocks(start_sim, tmp_path):
    image = tmp_path / "image.bin"
    image.write_bytes((bytes(range(256)) * 2048)[:FLASH_SIZE])
    sim = start_sim(SCRIPT, "--flash-image", str(image))
    sync(sim)
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "E 3 4") == 9           # SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION
    assert cmd(sim, "P 3 3") == 0
    assert cmd(sim, "E 3 4") == 9
    assert cmd(sim, "P 4 4") == 0
    assert cmd(sim, "E 3 4") == 0
    assert cmd(sim, "E 3 3") == 9           # a successful erase relocks all sectors
    assert cmd(sim, "E 4 3") == 7
    flash = sim.file("flash.bin")
    assert flash[0x3000:0x5000] == b"\xff" * 0x2000
    assert flash[:0x3000] == (bytes(range(256)) * 48)
    assert flash[0x5000:] == (bytes(range(256)) * 2048)[0x5000:FLASH_SIZE]
    log = sim.log()
    assert log["erased_sectors"] == [3, 4] and log["flash_blank"] is False


def test_write_prepare_copy_lands_in_flash(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    unlock_prepare_erase(sim)
    assert cmd(sim, "A 0") == 0
    data = bytes((i * 7 + 3) & 0xFF for i in range(1000))
    assert write_ram(sim, RAM, data, echo=False) == 2       # 23 lines: blocks of 20 and 3
    assert cmd(sim, "P 16 16", echo=False) == 0
    assert cmd(sim, "C 65536 268439552 1024", echo=False) == 0
    flash = sim.file("flash.bin")
    assert flash[0x10000:0x10000 + 1000] == data
    assert flash[0x10000 + 1000:0x10400] == b"\0" * 24       # RAM beyond the data was 0
    assert flash[:0x10000] == b"\xff" * 0x10000
    assert flash[0x10400:] == b"\xff" * (FLASH_SIZE - 0x10400)
    assert cmd(sim, "C 65536 268439552 1024", echo=False) == 9   # relocked by the copy
    log = sim.log()
    assert log["copies"][0]["flash"] == 0x10000
    assert log["copies"][0]["count"] == 1024
    assert log["copies"][0]["overwrote_nonblank"] is False
    assert [c["code"] for c in log["commands"] if c["cmd"] == "C"] == [0, 9]
    w = [c for c in log["commands"] if c["cmd"] == "W"][0]
    assert (w["blocks_ok"], w["resends"], w["complete"]) == (2, 0, True)
    assert read_mem(sim, 0x10000, 1000, echo=False) == data


def test_copy_rules(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    unlock_prepare_erase(sim)
    # Address and count errors take precedence over the missing prepare.
    assert cmd(sim, "C 128 268439552 256") == 3       # DST_ADDR_ERROR: not 256-aligned
    assert cmd(sim, "C 0 268439554 256") == 2         # SRC_ADDR_ERROR
    assert cmd(sim, "C 0 268439552 300") == 6         # COUNT_ERROR
    assert cmd(sim, "C 0 268439552 8192") == 6
    assert cmd(sim, "C 524032 268439552 512") == 5    # DST_ADDR_NOT_MAPPED: past 512 KiB
    assert cmd(sim, "C 0 268468224 256") == 4         # SRC_ADDR_NOT_MAPPED: 0x10008000
    assert cmd(sim, "C 0 268439552") == 12
    assert sim.file("flash.bin") == b"\xff" * FLASH_SIZE
    # A copy crossing from sector 15 into 16 needs both prepared.
    assert cmd(sim, "P 15 15") == 0
    assert cmd(sim, "C 63488 268439552 4096") == 9
    assert cmd(sim, "P 15 16") == 0
    assert cmd(sim, "C 63488 268439552 4096") == 0
    assert sim.log()["copies"][-1] == dict(sim.log()["copies"][-1], flash=63488, count=4096)


def test_copy_onto_programmed_flash_ands_the_bits(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    unlock_prepare_erase(sim)
    write_ram(sim, RAM, b"\x0f\xf0\xaa\x55" * 64, echo=True)
    assert cmd(sim, "P 0 0") == 0
    assert cmd(sim, "C 0 268439552 256") == 0
    write_ram(sim, RAM, b"\xff\x3c\x0f\xf0" * 64, echo=True)
    assert cmd(sim, "P 0 0") == 0
    assert cmd(sim, "C 0 268439552 256") == 0
    assert sim.file("flash.bin")[:256] == b"\x0f\x30\x0a\x50" * 64
    assert [c["overwrote_nonblank"] for c in sim.log()["copies"]] == [False, True]


# --- W and R data transfer ---------------------------------------------

def test_write_4096_bytes_goes_in_five_checksum_blocks(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    assert cmd(sim, "A 0") == 0
    data = os.urandom(4096)
    assert write_ram(sim, RAM, data, echo=False) == 5
    assert read_mem(sim, RAM, 4096, echo=False) == data
    log = sim.wait_log(lambda log: log["state"] == "command")
    assert log["write"]["blocks_ok"] == 5 and log["write"]["checksums"] == 5
    assert log["read"]["blocks_ok"] == 5


def test_wrong_checksum_gets_resend_and_block_repeats(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    data = b"ABCDEFGH"
    assert cmd(sim, "W 268439552 8") == 0
    line = uuencode(data) + b"\r\n"
    sim.transact(line, line)
    sim.transact(b"%d\r\n" % (sum(data) + 1), b"%d\r\nRESEND\r\n" % (sum(data) + 1))
    sim.transact(line, line)
    sim.transact(b"%d\r\n" % sum(data), b"%d\r\nOK\r\n" % sum(data))
    assert read_mem(sim, RAM, 8, echo=True) == data
    w = sim.log()["commands"][0]
    assert (w["line"], w["blocks_ok"], w["resends"], w["complete"]) == (
        "W 268439552 8", 1, 1, True)


def test_malformed_uuencode_line_gets_resend(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    assert cmd(sim, "A 0") == 0
    assert cmd(sim, "W 268439552 4", echo=False) == 0
    good = uuencode(b"\x01\x02\x03\x04")
    short = good[:-1]                      # one character missing
    sim.send(short + b"\r\n")
    sim.transact(b"%d\r\n" % 10, b"RESEND\r\n")
    sim.send(good[:1] + b"~" + good[2:] + b"\r\n")   # character outside the alphabet
    sim.transact(b"%d\r\n" % sum(uudecode(good[:1] + b"~" + good[2:])), b"RESEND\r\n")
    sim.send(b"%" + good[1:] + b"\r\n")    # count 5 in a 4-byte transfer
    sim.transact(b"10\r\n", b"RESEND\r\n")
    sim.send(good + b"\r\n")
    sim.transact(b"10\r\n", b"OK\r\n")
    log = sim.log()
    assert log["write"]["malformed_lines"] == 3
    assert log["write"]["resends"] == 3 and log["write"]["blocks_ok"] == 1


def test_read_mirror_with_resend(start_sim, tmp_path):
    image = tmp_path / "image.bin"
    content = bytes((i * 13) & 0xFF for i in range(2000))
    image.write_bytes(content)
    sim = start_sim(SCRIPT, "--flash-image", str(image))
    sync(sim)
    assert cmd(sim, "R 0 948") == 0          # 22 lines: a block of 20, then 45 + 3 bytes
    first = lines_after(sim, 21)
    assert first[:20] == [uuencode(content[i:i + 45]) for i in range(0, 900, 45)]
    assert first[20] == b"%d" % sum(content[:900])
    sim.transact(b"RESEND\r\n", b"RESEND\r\n" + b"".join(l + b"\r\n" for l in first))
    sim.send(b"OK\r\n")
    sim.expect(b"OK\r\n" + uuencode(content[900:945]) + b"\r\n" + uuencode(content[945:948])
               + b"\r\n%d\r\n" % sum(content[900:948]))
    sim.transact(b"OK\r\n", b"OK\r\n")
    r = sim.log()["commands"][0]
    assert (r["blocks_ok"], r["resends"], r["complete"]) == (2, 1, True)
    assert cmd(sim, "J") == 0                # back in command mode


def test_recovery_sequence_as_the_updater_runs_it(start_sim):
    """Fingerprint, reconnect without a new handshake, erase, write, go."""
    sim = start_sim(SCRIPT, "--device-id", "1,2,3,4")
    sync(sim)
    sim.transact(b"N\r\n", b"N\r\n0\r\n1\r\n2\r\n3\r\n4\r\n")
    sim.close()
    sim.wait_log(lambda log: log["port"]["closes"] == 1)
    sim.open()                      # the chip stays synchronised across opens
    unlock_prepare_erase(sim)
    assert cmd(sim, "A 0") == 0
    firmware = os.urandom(5000)
    for offset in range(0, len(firmware), 4096):
        chunk = firmware[offset:offset + 4096]
        chunk += b"\0" * (-len(chunk) % 4)
        write_ram(sim, RAM, chunk, echo=False)
        first, last = offset // 4096, (offset + len(chunk) - 1) // 4096
        assert cmd(sim, "P %d %d" % (first, last), echo=False) == 0
        size = 4096 if len(chunk) > 1024 else 1024
        assert cmd(sim, "C %d %d %d" % (offset, RAM, size), echo=False) == 0
    assert cmd(sim, "A 1", echo=False) == 0
    sim.transact(b"G 0 T\r\n", b"G 0 T\r\n0\r\n")
    flash = sim.file("flash.bin")
    assert flash[:5000] == firmware
    # The 1024-byte copy of the 904-byte tail carries what the previous chunk
    # left in RAM behind it.
    assert flash[5000:5120] == firmware[904:1024]
    assert flash[5120:] == b"\xff" * (FLASH_SIZE - 5120)
    log = sim.wait_log(lambda log: log["go"] is not None)
    assert [c["cmd"] for c in log["commands"]] == (
        ["N", "U", "P", "E", "A"] + ["W", "P", "C"] * 2 + ["A", "G"])
    assert all(c["code"] == 0 for c in log["commands"])
    assert log["flash_erased"] and log["erased_sectors"] == list(range(30))
    assert log["port"]["opens"] == 2


# --- go ----------------------------------------------------------------

def test_go_checks_and_then_user_code_runs(start_sim, tmp_path):
    vectors = [0x10008000, 0x1A1, 0x1B1, 0x1C1, 0x1D1, 0x1E1, 0x1F1, 0]
    vectors[7] = (-sum(vectors)) & 0xFFFFFFFF
    image = tmp_path / "image.bin"
    image.write_bytes(b"".join(v.to_bytes(4, "little") for v in vectors))
    sim = start_sim(SCRIPT, "--flash-image", str(image))
    sync(sim)
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "G 0 A") == 12         # no ARM state on a Cortex-M3
    assert cmd(sim, "G 2 T") == 13         # ADDR_ERROR
    assert cmd(sim, "G 589824 T") == 14    # 0x90000: ADDR_NOT_MAPPED
    assert cmd(sim, "G 0") == 12
    assert sim.log()["go"] is None
    sim.transact(b"G 0 T\r\n", b"G 0 T\r\n0\r\n")
    sim.transact(b"?", b"")                 # the ROM is gone
    sim.transact(b"J\r\n", b"")
    log = sim.log()
    assert log["go"] == dict(log["go"], address=0, mode="T", vector_checksum_valid=True)
    assert log["state"] == "executed" and log["ignored_bytes"] == 4


def test_go_on_blank_flash_and_after_go_isp(start_sim):
    sim = start_sim(SCRIPT, "--after-go", "isp")
    sync(sim)
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "G 268439552 T") == 0
    assert cmd(sim, "J") == 0
    log = sim.log()
    assert log["go"]["address"] == RAM
    assert log["go"]["vector_checksum_valid"] is False


def test_sighup_resets_to_autobaud_keeping_flash(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    unlock_prepare_erase(sim)
    write_ram(sim, RAM, b"\x11" * 256, echo=True)
    assert cmd(sim, "P 1 1") == 0
    assert cmd(sim, "A 0") == 0
    sim.signal(signal.SIGHUP)
    sim.wait_log(lambda log: log["resets"] == 1)
    sim.transact(b"J\r\n", b"")
    sync(sim)                                   # echo is on again
    sim.transact(b"C 4096 268439552 256\r\n", b"C 4096 268439552 256\r\n15\r\n")  # locked
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "C 4096 268439552 256") == 9     # prepare state is gone
    assert cmd(sim, "P 1 1") == 0
    assert cmd(sim, "C 4096 268439552 256") == 0     # RAM survived the reset
    assert sim.file("flash.bin")[0x1000:0x1100] == b"\x11" * 256


# --- fault switches ----------------------------------------------------

def test_silent_chip_never_answers(start_sim):
    sim = start_sim(SCRIPT, "--silent")
    sim.transact(b"?", b"")
    sim.transact(b"Synchronized\r\n", b"")
    log = sim.wait_log(lambda log: log["received_while_silent"])
    assert log["received_while_silent"] == (b"?Synchronized\r\n").hex()
    assert log["silent"] is True and log["handshake"] == []


def test_fail_switch_every_copy(start_sim):
    sim = start_sim(SCRIPT, "--fail", "C=10")
    sync(sim)
    unlock_prepare_erase(sim)
    write_ram(sim, RAM, b"\x00" * 256, echo=True)
    assert cmd(sim, "P 0 0") == 0
    assert cmd(sim, "C 0 268439552 256") == 10
    assert cmd(sim, "C 0 268439552 256") == 10
    assert sim.file("flash.bin") == b"\xff" * FLASH_SIZE   # the failed copy did nothing
    log = sim.log()
    assert log["copies"] == [] and log["prepared_sectors"] == [0]
    assert [c.get("fault") for c in log["commands"] if c["cmd"] == "C"] == ["C=10", "C=10"]


def test_fail_switch_final_echo_on(start_sim):
    sim = start_sim(SCRIPT, "--fail", "A 1=12")
    sync(sim)
    assert cmd(sim, "A 0") == 0
    assert cmd(sim, "A 1", echo=False) == 12
    sim.transact(b"J\r\n", b"0\r\n637615927\r\n")    # echo stayed off


def test_fail_switch_nth_occurrence_and_no_answer(start_sim):
    sim = start_sim(SCRIPT, "--fail", "P=9@2", "--fail", "N=none")
    sync(sim)
    assert [cmd(sim, "P 0 0"), cmd(sim, "P 1 1"), cmd(sim, "P 2 2")] == [0, 9, 0]
    sim.transact(b"N\r\n", b"N\r\n")
    log = sim.log()
    assert log["prepared_sectors"] == [0, 2]
    assert log["commands"][-1] == dict(log["commands"][-1], cmd="N", code=None, fault="N=none")


def test_w_resend_once(start_sim):
    sim = start_sim(SCRIPT, "--w-resend", "once")
    sync(sim)
    assert cmd(sim, "A 0") == 0
    assert cmd(sim, "W 268439552 4", echo=False) == 0
    line = uuencode(b"abcd") + b"\r\n"
    for answer in (b"RESEND\r\n", b"OK\r\n"):
        sim.send(line)
        sim.transact(b"%d\r\n" % sum(b"abcd"), answer)
    assert cmd(sim, "W 268439552 4", echo=False) == 0
    sim.send(line)
    sim.transact(b"%d\r\n" % sum(b"abcd"), b"OK\r\n")
    log = sim.log()
    assert log["write"] == dict(log["write"], resends=1, blocks_ok=2)
    assert log["commands"][1]["forced_resends"] == 1


def test_w_resend_always(start_sim):
    sim = start_sim(SCRIPT, "--w-resend", "always")
    sync(sim)
    assert cmd(sim, "W 268439552 4") == 0
    line = uuencode(b"abcd") + b"\r\n"
    for _ in range(4):
        sim.transact(line, line)
        sim.transact(b"%d\r\n" % sum(b"abcd"), b"%d\r\nRESEND\r\n" % sum(b"abcd"))
    assert sim.log()["write"]["blocks_ok"] == 0


def test_r_bad_checksum_once(start_sim, tmp_path):
    image = tmp_path / "image.bin"
    image.write_bytes(b"\x01\x02\x03\x04")
    sim = start_sim(SCRIPT, "--flash-image", str(image), "--r-bad-checksum", "once")
    sync(sim)
    assert cmd(sim, "A 0") == 0
    line = uuencode(b"\x01\x02\x03\x04")
    sim.transact(b"R 0 4\r\n", b"0\r\n" + line + b"\r\n11\r\n")
    sim.transact(b"RESEND\r\n", line + b"\r\n10\r\n")
    sim.transact(b"OK\r\n", b"")


def test_delay_switch_stalls_the_answer(start_sim):
    sim = start_sim(SCRIPT, "--delay", "E=250")
    sync(sim)
    assert cmd(sim, "U 23130") == 0
    assert cmd(sim, "P 0 0") == 0
    sim.send(b"E 0 0\r\n")
    start = time.monotonic()
    sim.expect(b"E 0 0\r\n")
    sim.expect(b"0\r\n", timeout=2.0)
    assert time.monotonic() - start >= 0.2


# --- the port as a serial line -----------------------------------------

def test_termios_of_the_host_is_recorded(start_sim):
    import termios
    sim = start_sim(SCRIPT, open_port=False)
    sim.open(speed=termios.B57600)
    sync(sim)
    first = sim.log()["termios_first_byte"]
    assert (first["ispeed"], first["ospeed"], first["data_bits"]) == (57600, 57600, 8)
    assert first["cs8"] and not first["parenb"] and not first["cstopb"]
    assert (first["vmin"], first["vtime"]) == (0, 0)
    assert not first["icanon"] and not first["echo"] and first["raw"]
    sim.close()
    sim.open(speed=termios.B115200, stop_bits=2)
    sim.transact(b"J\r\n", b"J\r\n0\r\n637615927\r\n")
    log = sim.log()
    assert log["termios_first_byte"]["ospeed"] == 57600
    assert [(h["ospeed"], h["cstopb"]) for h in log["termios_history"]] == [
        (57600, False), (115200, True)]


def test_answers_are_lost_while_the_port_is_closed(start_sim):
    sim = start_sim(SCRIPT)
    sync(sim)
    sim.send(b"J\r\n")
    sim.close()
    sim.wait_log(lambda log: log["commands"] and log["port"]["closes"] >= 1)
    sim.open()
    sim.expect_silence()
    sim.transact(b"K\r\n", b"K\r\n0\r\n4\r\n1\r\n")
    log = sim.log()
    assert log["port"]["opens"] >= 2
    assert log["state"] == "command"        # the chip kept its state
