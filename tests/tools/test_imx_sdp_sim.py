"""Self-tests of tools/imx_sdp_sim.py, driven byte for byte over its pty."""
import hashlib
import os
import signal
import subprocess

import pytest

from bootsim_harness import PYTHON, TOOLS, sim_starter


@pytest.fixture
def start_sim(tmp_path):
    yield from sim_starter(tmp_path)


SCRIPT = "imx_sdp_sim.py"
HAB_OPEN = bytes.fromhex("56787856")
STATUS_OK = bytes.fromhex("f0f0f0f0")
COMPLETE = bytes.fromhex("88888888")


def status_cmd():
    return bytes.fromhex("0505") + bytes(14)


def read_register_cmd(address, count=4):
    return (bytes.fromhex("0101") + address.to_bytes(4, "big") + b"\x20"
            + count.to_bytes(4, "big") + bytes(5))


def write_file_cmd(address, count):
    return (bytes.fromhex("0404") + address.to_bytes(4, "big") + b"\x20"
            + count.to_bytes(4, "big") + bytes(5))


def jump_cmd(address):
    return bytes.fromhex("0b0b") + address.to_bytes(4, "big") + bytes(10)


def test_command_layout_matches_the_host_example():
    # WRITE_FILE for 0x20000000 and 0x1234 bytes, as a host sends it.
    assert write_file_cmd(0x20000000, 0x1234) == bytes.fromhex(
        "0404200000002000001234") + bytes(5)
    assert len(status_cmd()) == len(jump_cmd(0)) == len(read_register_cmd(0)) == 16


def test_help_describes_usage():
    out = subprocess.run([PYTHON, os.path.join(TOOLS, SCRIPT), "--help"],
                         capture_output=True, timeout=10, check=True).stdout.decode()
    for word in ("--port-file", "--state-dir", "--cfg0", "--cfg1", "--silent",
                 "--talk-during-transfer", "--wrong-completion", "--no-register-reply",
                 "load_", "log.json", "SIGTERM"):
        assert word in out


def test_publishes_port_and_exits_on_sigterm(start_sim, tmp_path):
    link = str(tmp_path / "ttySDP")
    sim = start_sim(SCRIPT, "--link", link, open_port=False)
    with open(sim.stdout_path) as f:
        assert f.readline().strip() == sim.path
    assert os.readlink(link) == sim.path
    assert sim.log()["tool"] == "imx_sdp_sim" and sim.log()["state"] == "ready"
    assert sim.stop() == 0
    assert not os.path.lexists(link)


# --- commands ----------------------------------------------------------

def test_error_status(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    sim.expect_silence()
    entry = sim.log()["commands"][0]
    assert (entry["type"], entry["code"], entry["raw"]) == (
        "ERROR_STATUS", 0x0505, status_cmd().hex())


def test_error_status_configurable_words(start_sim):
    sim = start_sim(SCRIPT, "--hab", "closed", "--status-word", "0x33333333")
    sim.transact(status_cmd(), bytes.fromhex("12343412") + bytes.fromhex("33333333"))


def test_command_split_over_writes_is_assembled(start_sim):
    sim = start_sim(SCRIPT)
    sim.send(status_cmd()[:10])
    sim.expect_silence(0.05)
    sim.transact(status_cmd()[10:] + status_cmd(), (HAB_OPEN + STATUS_OK) * 2)


def test_read_register_serves_fuses_and_memory(start_sim):
    sim = start_sim(SCRIPT, "--cfg0", "0x11223344", "--cfg1", "0xA1B2C3D4",
                    "--register", "0x400D8000=0xCAFE0001")
    sim.transact(read_register_cmd(0x401F4410), HAB_OPEN + bytes.fromhex("44332211"))
    sim.transact(read_register_cmd(0x401F4420), HAB_OPEN + bytes.fromhex("d4c3b2a1"))
    sim.transact(read_register_cmd(0x400D8000), HAB_OPEN + bytes.fromhex("0100feca"))
    sim.transact(read_register_cmd(0x30000000), HAB_OPEN + bytes(4))
    sim.transact(read_register_cmd(0x401F4410, 8), HAB_OPEN + bytes.fromhex("4433221100000000"))
    sim.expect_silence()
    log = sim.log()
    assert [(c["type"], c["address"], c["format"], c["count"]) for c in log["commands"]] == [
        ("READ_REGISTER", 0x401F4410, 0x20, 4), ("READ_REGISTER", 0x401F4420, 0x20, 4),
        ("READ_REGISTER", 0x400D8000, 0x20, 4), ("READ_REGISTER", 0x30000000, 0x20, 4),
        ("READ_REGISTER", 0x401F4410, 0x20, 8)]


def test_default_fuse_words(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(read_register_cmd(0x401F4410), HAB_OPEN + (0x5A1C3E07).to_bytes(4, "little"))
    sim.transact(read_register_cmd(0x401F4420), HAB_OPEN + (0x9B2D4F61).to_bytes(4, "little"))


def test_write_file_takes_exact_count_then_completes(start_sim):
    sim = start_sim(SCRIPT)
    image = os.urandom(2500)
    sim.send(write_file_cmd(0x20000000, len(image)))
    for start, end in ((0, 1024), (1024, 2048), (2048, 2499)):
        sim.send(image[start:end])
        sim.expect_silence(0.03)              # nothing before the last byte
    sim.transact(image[2499:], HAB_OPEN + COMPLETE)
    assert sim.file("load_20000000.bin") == image
    # The loaded bytes read back; the next command is framed after the data.
    sim.transact(read_register_cmd(0x20000000), HAB_OPEN + image[:4])
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    log = sim.log()
    assert log["loads"] == [dict(log["loads"][0], address=0x20000000, count=2500,
                                 received=2500, complete=True, completion_word=0x88888888,
                                 file="load_20000000.bin",
                                 sha256=hashlib.sha256(image).hexdigest())]
    assert [c["type"] for c in log["commands"]] == ["WRITE_FILE", "READ_REGISTER",
                                                     "ERROR_STATUS"]


def test_write_file_command_and_data_in_one_write(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(write_file_cmd(0x20200000, 8) + b"ABCDEFGH" + status_cmd(),
                 HAB_OPEN + COMPLETE + HAB_OPEN + STATUS_OK)
    assert sim.file("load_20200000.bin") == b"ABCDEFGH"


def test_jump_answers_hab_and_then_the_rom_is_gone(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(write_file_cmd(0x20000400, 4) + b"\xd1\x00\x20\x41", HAB_OPEN + COMPLETE)
    sim.transact(jump_cmd(0x20000400), HAB_OPEN)
    sim.transact(status_cmd(), b"")
    log = sim.log()
    assert log["jump"] == dict(log["jump"], address=0x20000400)
    assert log["state"] == "jumped"
    assert log["commands"][-1]["type"] == "JUMP_ADDRESS"
    assert log["ignored_bytes"] == 16
    # The reset pin brings the ROM back.
    sim.signal(signal.SIGHUP)
    sim.wait_log(lambda log: log["resets"] == 1)
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)


def test_after_jump_sdp_keeps_answering(start_sim):
    sim = start_sim(SCRIPT, "--after-jump", "sdp")
    sim.transact(jump_cmd(0x20000400), HAB_OPEN)
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)


def test_unsupported_command_is_logged_not_answered(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(bytes.fromhex("0202") + bytes(14), b"")
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    assert sim.log()["commands"][0]["ignored"] == "unsupported"


def test_frame_timeout_discards_a_partial_command(start_sim):
    sim = start_sim(SCRIPT, "--frame-timeout-ms", "60")
    sim.send(b"\x05\x05\x00")
    log = sim.wait_log(lambda log: log.get("discarded_partial"))
    assert log["discarded_partial"][0]["bytes"] == "050500"
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)


def test_termios_of_the_host_is_recorded(start_sim):
    sim = start_sim(SCRIPT)
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    first = sim.log()["termios_first_byte"]
    assert (first["ospeed"], first["cs8"], first["parenb"], first["cstopb"]) == (
        115200, True, False, False)
    assert first["raw"] and (first["vmin"], first["vtime"]) == (0, 0)


# --- fault switches ----------------------------------------------------

def test_silent_chip_logs_but_never_answers(start_sim):
    sim = start_sim(SCRIPT, "--silent")
    for _ in range(5):
        sim.send(status_cmd())
    sim.expect_silence()
    log = sim.wait_log(lambda log: len(log["commands"]) == 5)
    assert {c["type"] for c in log["commands"]} == {"ERROR_STATUS"}
    assert log["silent"] is True


def test_ignore_status_answers_only_later_attempts(start_sim):
    sim = start_sim(SCRIPT, "--ignore-status", "2")
    sim.transact(status_cmd(), b"")
    sim.transact(status_cmd(), b"")
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    assert [c.get("fault") for c in sim.log()["commands"]] == [
        "ignore-status", "ignore-status", None]


def test_talk_during_transfer_after_first_packet(start_sim):
    sim = start_sim(SCRIPT, "--talk-during-transfer", "1024")
    image = bytes(range(256)) * 10
    sim.transact(write_file_cmd(0x20000000, len(image)) + image[:1023], b"")
    sim.transact(image[1023:1024], HAB_OPEN)         # before the data is complete
    sim.transact(image[1024:], HAB_OPEN + COMPLETE)
    load = sim.log()["loads"][0]
    assert (load["talked_at"], load["complete"]) == (1024, True)


def test_talk_during_transfer_at_once_on_second_write_only(start_sim):
    sim = start_sim(SCRIPT, "--talk-during-transfer", "0@2")
    sim.transact(write_file_cmd(0x20000000, 4) + b"abcd", HAB_OPEN + COMPLETE)
    sim.transact(write_file_cmd(0x20001000, 4), HAB_OPEN)
    sim.transact(b"abcd", HAB_OPEN + COMPLETE)


def test_wrong_completion_word(start_sim):
    sim = start_sim(SCRIPT, "--wrong-completion", "0x12345678@2")
    sim.transact(write_file_cmd(0x20000000, 4) + b"abcd", HAB_OPEN + COMPLETE)
    sim.transact(write_file_cmd(0x20000100, 4) + b"efgh", HAB_OPEN + bytes.fromhex("78563412"))
    sim.transact(write_file_cmd(0x20000200, 4) + b"ijkl", HAB_OPEN + COMPLETE)
    loads = sim.log()["loads"]
    assert [l["completion_word"] for l in loads] == [0x88888888, 0x12345678, 0x88888888]
    assert loads[1]["fault"] == "wrong-completion"


def test_no_register_reply_none(start_sim):
    sim = start_sim(SCRIPT, "--no-register-reply", "none")
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    sim.transact(read_register_cmd(0x401F4410), b"")
    sim.transact(read_register_cmd(0x401F4420), b"")
    assert [c.get("fault") for c in sim.log()["commands"]] == [
        None, "no-register-reply none", "no-register-reply none"]


def test_no_register_reply_hab_only_on_second_read(start_sim):
    sim = start_sim(SCRIPT, "--no-register-reply", "hab-only@2", "--cfg0", "7")
    sim.transact(read_register_cmd(0x401F4410), HAB_OPEN + bytes.fromhex("07000000"))
    sim.transact(read_register_cmd(0x401F4420), HAB_OPEN)
    sim.expect_silence()
    sim.transact(read_register_cmd(0x401F4410), HAB_OPEN + bytes.fromhex("07000000"))


def test_loader_sequence_as_the_updater_runs_it(start_sim):
    """Status, three data packets, completion, status, jump; then fingerprint."""
    sim = start_sim(SCRIPT, "--after-jump", "sdp")
    loader = os.urandom(2500)
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    sim.send(write_file_cmd(0x20000000, len(loader)))
    for start in range(0, len(loader), 1024):
        sim.expect_silence(0.0)
        sim.send(loader[start:start + 1024])
    sim.expect(HAB_OPEN + COMPLETE)
    sim.transact(status_cmd(), HAB_OPEN + STATUS_OK)
    sim.transact(jump_cmd(0x20000400), HAB_OPEN)
    assert sim.file("load_20000000.bin") == loader
    assert [c["type"] for c in sim.log()["commands"]] == [
        "ERROR_STATUS", "WRITE_FILE", "ERROR_STATUS", "JUMP_ADDRESS"]


def test_hid_reports_of_replies():
    import imx_sdp_sim
    replies = [imx_sdp_sim.Reply("hab", HAB_OPEN), imx_sdp_sim.Reply("response", COMPLETE)]
    assert imx_sdp_sim.hid_reports(replies) == [
        b"\x03" + HAB_OPEN, b"\x04" + COMPLETE + bytes(60)]
    long = imx_sdp_sim.hid_reports([imx_sdp_sim.Reply("response", bytes(range(100)))])
    assert long == [b"\x04" + bytes(range(64)), b"\x04" + bytes(range(64, 100)) + bytes(28)]


def test_device_cuts_padding_after_the_announced_count():
    import argparse
    import imx_sdp_sim
    opts = imx_sdp_sim.build_parser().parse_args([])
    assert isinstance(opts, argparse.Namespace)
    dev = imx_sdp_sim.SdpDevice(opts)
    assert dev.command(write_file_cmd(0x20000000, 6)) == []
    assert dev.data_expected == 6
    replies = dev.data(b"abcdef" + bytes(1018))       # one padded 1024-byte report
    assert replies == [imx_sdp_sim.Reply("hab", HAB_OPEN),
                       imx_sdp_sim.Reply("response", COMPLETE)]
    assert dev.data_expected == 0
    assert dev.log["loads"][0]["excess_bytes"] == 1018
    assert dev.command(read_register_cmd(0x20000004)) == [
        imx_sdp_sim.Reply("hab", HAB_OPEN), imx_sdp_sim.Reply("response", b"ef\0\0")]
