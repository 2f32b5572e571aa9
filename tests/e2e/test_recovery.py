"""-N and -U -t RECOVER through the LPC ISP and i.MX serial-download
simulators on pseudo-terminals, with the update server stand-in."""
import re
import time

import pytest

from bootsim import BootSim
from server import birdpack

# The chip's device identification words: its fingerprint and decoding key.
WORDS = [0x1F0A2B3C, 0x8C4D5E6F, 0x00000042, 0xFEDCBA98]
SERIAL = "0042F00D"
BUILD = 3100
FW_ADDRESS = 0x4000


@pytest.fixture
def sims(tmp_path):
    started = []

    def start(script, *args):
        sim = BootSim(script, tmp_path / ("sim%d" % len(started)), args)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


def lpc_image(payloads, serial_offsets=False):
    """A recovery image: firmware blocks scrambled with the chip's words."""
    desc = {
        "info": {"build": BUILD, "version": "3.1.0", "serial": SERIAL, "model": "Ironwood"},
        "blocks": [{"type": 1, "address": "0x%X" % address, "payload": {"hex": payload.hex()}}
                   for address, payload in payloads],
        "scramble": {"key": ["%08X" % w for w in WORDS]},
    }
    if serial_offsets:
        desc["serial_offsets"] = {"serial_word": "0x%X" % (FW_ADDRESS + 0x200), "descriptor": "0x%X" % (FW_ADDRESS + 0x210)}
    return birdpack.build_bird(desc)


def serve_recovery(server, image):
    (server.root / SERIAL).mkdir(parents=True, exist_ok=True)
    (server.root / SERIAL / ("%d.bird" % BUILD)).write_bytes(image)
    (server.root / "recovery").write_text(" ".join("%08X" % w for w in WORDS) + " %s %d\n" % (SERIAL, BUILD))


def payload(size, seed):
    return birdpack.pseudo_random_bytes(size, seed)


def test_fingerprint_of_an_lpc_chip_touches_no_flash(updater, sims):
    sim = sims("lpc_isp_sim.py")
    r = updater("-N", "-s", sim.port)
    assert r.status == 0, r.stderr
    assert r.out_lines == ["Updater (Version: 1.1 Apr 26 2023)", "[ 1F0A2B3C 8C4D5E6F 00000042 FEDCBA98 ]"]
    log = sim.log()
    assert [c["cmd"] for c in log["commands"]] == ["N"]
    assert not log["flash_erased"]
    assert log["termios_first_byte"]["raw"] and log["termios_first_byte"]["ispeed"] == 115200


def test_silent_port_gives_no_fingerprint(updater, sims, tmp_path):
    sim = sims("lpc_isp_sim.py", "--silent")
    r = updater("-N", "-s", sim.port, "-f", tmp_path / "x.bird")
    assert r.status == 1
    # The LPC path failed; the i.MX path needs a serial number with a file.
    assert r.err_lines == ["Add serial number or remove the bird filename to use a default recovery image.",
                           "Got no response from chip"]


def test_lpc_recovery_writes_the_decoded_image(updater, server, sims):
    first = payload(8192, 1)
    end_marker = bytes([1, 2, 3, 4])
    serve_recovery(server, lpc_image([(FW_ADDRESS, first), (0x20000, end_marker)]))
    sim = sims("lpc_isp_sim.py")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url, timeout=120)
    assert r.status == 0, r.stdout + r.stderr
    out = r.out_lines
    assert "Recovering firmware with build: %d" % BUILD in out
    assert "Transferring firmware block 1 of 1, 8192 bytes" in out
    assert "Transferred 1 blocks, 8192 total bytes" in out
    assert "Rebooting Device" in out
    assert re.match(r"^Update time: \d+\.\d{4} sec$", out[-1])
    flash = sim.flash()
    assert flash[FW_ADDRESS:FW_ADDRESS + len(first)] == first
    # The terminating 4-byte block is not written.
    assert flash[0x20000:0x20004] == b"\xff" * 4
    log = sim.log()
    assert log["flash_erased"]
    assert log["go"] is not None
    fix = [q for q in server.requests() if q["op"] == "fix"]
    assert fix and fix[0]["query"]["fp"] == " ".join("%08X" % w for w in WORDS)
    assert "bird" in server.ops()
    assert (updater.store / SERIAL / ("%d.bird" % BUILD)).exists()


def test_lpc_recovery_survives_one_resend_but_not_three(updater, server, sims):
    image = payload(4096, 2)
    serve_recovery(server, lpc_image([(FW_ADDRESS, image)]))
    sim = sims("lpc_isp_sim.py", "--w-resend", "once")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    assert r.status == 0, r.stderr
    assert sim.flash()[FW_ADDRESS:FW_ADDRESS + 4096] == image
    sim = sims("lpc_isp_sim.py", "--w-resend", "always")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    assert r.status == 1
    assert "Rebooting Device" not in r.out_lines
    assert sim.log()["go"] is None


@pytest.mark.parametrize("fault,error", [
    ("C=10", None),  # COMPARE_ERROR: the whole number decides, not its last digit
    ("A 1=12", "Recovery Error transfering data to device ==> [2, aErrParam]"),
])
def test_lpc_recovery_fails_on_a_refused_step(updater, server, sims, fault, error):
    serve_recovery(server, lpc_image([(FW_ADDRESS, payload(4096, 3))]))
    sim = sims("lpc_isp_sim.py", "--fail", fault)
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    assert r.status == 1
    assert "Rebooting Device" not in r.out_lines
    if error:
        assert r.err_lines == [error]
    assert sim.log()["go"] is None


def test_image_with_serial_number_block_is_refused_before_erasing(updater, server, sims):
    serve_recovery(server, lpc_image([(FW_ADDRESS, payload(4096, 4))], serial_offsets=True))
    sim = sims("lpc_isp_sim.py")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    assert r.status == 1
    assert r.err_lines == ["Updater does not support offline recovery"]
    assert not sim.log()["flash_erased"]


def test_recovery_with_an_unknown_chip(updater, server, sims):
    sim = sims("lpc_isp_sim.py")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    assert r.status == 1
    # No recovery answer: serial number 0, build 0, nothing to load, and the
    # download on demand refuses serial number 0.
    assert r.err_lines == ["Serial Number must be non-zero", "Failed to load bird file"]


def test_imx_path_over_serial_up_to_the_jump(updater, server, sims):
    loader = payload(2500, 5)
    desc = {"info": {"build": 7, "version": "0.0.7", "serial": "DEADDEAD", "model": "Ironwood"},
            "blocks": [{"type": 0, "address": "0x20000000", "payload": {"hex": loader.hex()}}],
            "loader_start": "0x20000400"}
    (server.root / "DEADDEAD").mkdir(parents=True)
    (server.root / "DEADDEAD" / "7.bird").write_bytes(birdpack.build_bird(desc))
    sim = sims("imx_sdp_sim.py", "--frame-timeout-ms", "200")
    start = time.time()
    r = updater("-N", "-s", sim.port, "-u", server.url, timeout=120)
    elapsed = time.time() - start
    # The loader runs, but it cannot be found on USB here.
    assert r.status == 1
    assert r.err_lines == ["Got no response from chip"]
    assert r.out_lines == ["Updater (Version: 1.1 Apr 26 2023)"]  # the download was silent
    assert 14 < elapsed < 60
    log = sim.log()
    assert (sim.state_dir / "load_20000000.bin").read_bytes() == loader
    assert log["jump"] == 0x20000400 or log["jump"].get("address") == 0x20000400
    assert (updater.store / "DEADDEAD" / "7.bird").exists()
