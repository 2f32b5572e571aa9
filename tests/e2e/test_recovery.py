"""-N and -U -t RECOVER with the bootloader simulators on pseudo-terminals;
their faults are the fault matrix's."""
import time

from conftest import BANNER, CHIP_SERIAL, CHIP_WORDS, LOADER_CODE, birdpack, serve_loader, serve_recovery

FINGERPRINT = " ".join("%08X" % w for w in CHIP_WORDS)


def test_fingerprint_of_an_lpc_chip_touches_no_flash(updater, sims):
    sim = sims.chip("lpc")
    r = updater("-N", "-s", sim.port)
    assert (r.status, r.out_lines, r.stderr) == (0, [BANNER, "[ %s ]" % FINGERPRINT], "")
    log = sim.log()
    assert [c["cmd"] for c in log["commands"]] == ["N"]
    assert not log["flash_erased"]


def test_silent_port_with_a_file_but_no_serial_number(updater, sims, tmp_path):
    sim = sims.chip("lpc", "--silent")
    r = updater("-N", "-s", sim.port, "-f", tmp_path / "x.bird")
    assert r.status == 1
    # The LPC path failed; the i.MX path needs a serial number with a file.
    assert r.err_lines == ["Add serial number or remove the bird filename to use a default recovery image.",
                           "Got no response from chip", "  %s: chip did not answer the synchronisation" % sim.port]


def test_lpc_recovery_downloads_and_writes_the_decoded_image(updater, server, sims):
    image = birdpack.pseudo_random_bytes(8192, 1)
    serve_recovery(server, image)
    sim = sims.chip("lpc")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    # Its lines are the fault matrix's recover and recover-get rows'.
    assert (r.status, r.stderr) == (0, ""), r.stdout
    # The chip's words went to the server in the order read from the chip.
    assert [q["query"]["fp"] for q in server.requests() if q["op"] == "fix"] == [FINGERPRINT]
    assert server.ops() == ["fix", "hi", "qu", "builds", "bird"]
    assert (updater.store / CHIP_SERIAL / "3100.bird").exists()


def test_image_with_a_serial_number_block_is_refused_before_erasing(updater, server, sims):
    serve_recovery(server, birdpack.pseudo_random_bytes(4096, 4),
                   serial_offsets={"serial_word": "0x4200", "descriptor": "0x4210"})
    sim = sims.chip("lpc")
    r = updater("-U", "-t", "RECOVER", "-s", sim.port, "-u", server.url)
    assert (r.status, r.err_lines) == (1, ["Updater does not support offline recovery"])
    assert not sim.log()["flash_erased"]


def test_imx_chip_on_a_serial_line_runs_its_loader_then_is_looked_for_on_usb(updater, server, sims):
    serve_loader(server)
    sim = sims.chip("imx")
    start = time.monotonic()
    r = updater("-N", "-s", sim.port, "-u", server.url)
    # The loader runs, but it cannot be found on USB here: 15 s of looking.
    assert 14 < time.monotonic() - start < 60
    assert (r.status, r.out_lines, r.err_lines) == (1, [BANNER], ["Got no response from chip",
                                                                  "  the loader did not appear on USB as DEADDEAD"])
    assert (sim.state_dir / "load_20000000.bin").read_bytes() == LOADER_CODE
    assert sim.log()["jump"]["address"] == 0x20000400
    assert (updater.store / "DEADDEAD" / "7.bird").exists()
