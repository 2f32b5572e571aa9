"""Fault matrix: each stage of each command against each fault the stand-ins inject.

Every row runs its command once with its fault injected and checks the exit
status, standard output after the banner, standard error (each failure's
message and, where its cause is known, the line naming it), the row's time
limit, and that the store is byte for byte as it was unless the row names the
effect of a good run. A failed update never tells the module to reboot; a
failed recovery never starts the chip's image, nor erases its flash where the
row says so.

Stage.prepare() sets up what a stage finds before its command runs; an
injection is "mod" or "child" virtual-module keys, "srv" server faults, a
"url", "flood" of the discovery reply port, "lpc"/"imx" simulator switches,
"port gone", or "store ro"/"store full" (with "new": a device not stored).

A stalled server costs the HTTP client's 30 s low-speed abort and a module
that does not restart the 30 s reboot wait, so each appears once. An i.MX
chip talking during the loader transfer is tests/e2e/test_recovery.py's.
"""
import re
import shlex
import time

import pytest

from conftest import (BANNER, CHIP_SERIAL, STORE, SYSTEM_PYTHON, UPDATE_TIME, birdpack, module_spec, serve_loader,
                      serve_recovery, settings, snapshot)

SERIAL = "0001ABCD"
OTHER = "0002BEEF"
ROUTER = "D272031D"
FRESH = "0001ABCE"

# Standard output after the banner. Discovery rows after the header may come
# in any order.
D_COLUMNS = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
D_HEAD = ["Searching for Keystrand devices", "Discovered Devices: (TCPIP)", D_COLUMNS]
D_OTHER = "    0002BEEF  04       04      Cedar          2.0.7 (77) [10.231.0.3]"
R_HEAD = ["Searching for Keystrand Network devices connected to D272031D", "Discovered Devices: (TCPIP)"]
R_NONE = R_HEAD + ["    No devices found."]
R_OK = R_HEAD + [D_COLUMNS, "    D272031D  02       02      Ironwood       1.0.0 (10) [10.231.0.2]",
                 "    00000404  04       02      Cedar          1.4.4 (44) [10.231.0.2]"]
B_NONE = ["No builds found for device [0001ABCD]"]
B_LIST = ["Build List for device [0001ABCD]:", "", "Build          \tVersion        ",
          "1100           \t1.1.0          ", "1200           \t1.2.0          "]
G_ASK = ["Retrieving firmware for device with serial number 0001ABCD", "No build specified", "Using Latest build"]
G_NEW = ["Retrieving firmware for device with serial number 0001ABCE", "No build specified", "Using Latest build"]
G_CHECK = G_ASK + ["Retrieving build 1200", "Validating build 1200 with server"]
G_VALID = G_CHECK + ["Build 1200 is valid"]
U_PICK = ["Updating firmware with build: 1200"]
U_LOADER = U_PICK + ["Transferring loader to device", "Transferring loader block 1 of 1, 4100 bytes"]
U_FIRMWARE = U_LOADER + ["Transferred 1 blocks, 4100 total bytes", "Starting Load on Device",
                         "Transferring firmware block 1 of 1, 65540 bytes"]
U_DONE = U_FIRMWARE + ["Transferred 1 blocks, 65540 total bytes", UPDATE_TIME]
U_NO_LOADER = U_LOADER + ["Transferred 0 blocks, 0 total bytes", UPDATE_TIME]
U_NO_FIRMWARE = U_FIRMWARE + ["Transferred 0 blocks, 0 total bytes", UPDATE_TIME]

# Standard error: a failure's message and the line of its cause; {url},
# {srv} (the server's address and port), {port} (the chip's) and {store}
# are filled in.
REFUSED = "  connection refused by 10.231.0.1 port 9"
NO_ROUTE = "  10.231.0.9 port 8080: No route to host"
HUNG_UP = "  {srv} closed the connection before the whole reply came"
NOT_OK = '  the server answered "??" instead of "ok"'
INJECTED = '  the server answered "error: injected fault" instead of "ok"'
EMPTY = "  the server sent an empty reply"
NO_BIRD = "Failed to retreive a valid BIRD file"
NOT_BASE64 = "  the server's reply is not base64 text"
INFLATE = "  the downloaded file: the compressed data does not inflate (zlib: data error)"
TIMEOUT = "  module answered: aErrTimeout (no reply within 1000 ms)"
NO_STATUS = "  {port}: chip did not answer the status command (5 tries)"
NO_WORDS = "  {port}: chip sent no device identification"
GONE = "  /dev/ttyKSnone: No such file or directory"
FW_FAILED = ["NETWORK: Failed to transfer firmware", "Update failed while transferring the firmware"]
LOADER_FAILED = ["Update failed while transferring the loader"]
NO_BUILDS = ["Failed to retrieve builds for 0001ABCD"]
PING_FAILED = ["Server request failed for {url}"]
NOT_RECORDED = ["Could not record the transfer in the store", "  {store}/0001ABCD/.settings: %s"]

# Recovery (the image has one 8 KiB block and an end marker).
C_PICK = ["Recovering firmware with build: 3100"]
C_GET = C_PICK + ["Downloading firmware build 3100", "Retrieving build 3100", "Validating build 3100 with server",
                  "Build 3100 is valid"]
C_BLOCK = C_PICK + ["Transferring firmware block 1 of 1, 8192 bytes"]
C_DONE = C_BLOCK + ["Transferred 1 blocks, 8192 total bytes", "Rebooting Device", UPDATE_TIME]
NO_CHIP = ["Got no response from chip"]
NO_ID = ["Could not get Device Identifier"]
NOT_STORED = ["Failed to load bird file", "  {store}/0042F00D/3100.bird: No such file or directory"]


def not_loaded(cause):
    return ["Download failed", cause, NO_BIRD]

# Effects of rows that end like a good run; every other row leaves the store
# unchanged (and a failed recovery never starts the chip's image).
DOWNLOADED = "1200.bird stored, LATEST_DOWNLOAD=1200.bird"
TRANSFERRED = "LATEST_TRANSFER=1200.bird"
RECOVERED = "the chip runs the image"
UNTOUCHED = "the chip's flash was not erased"
# The recovery makes the device's entry before it downloads (as -G does for
# a device it has not seen): settings with nothing but their time stamps.
NEW_ENTRY = "an empty entry for 0042F00D, the chip's flash not erased"

MATRIX = [
    # stage      fault                                  injection                     exit
    #            standard output / standard error                                      limit (s), effect
    ("discover", "silence",                             "mod silent=1",               0,
     D_HEAD + ["    0001ABCD  02       02      Ironwood       0.0.0 (0) [10.231.0.2]", D_OTHER], [], 15),
    ("discover", "disconnect (connection refused)",     "mod listen=127.0.0.1",       0,
     D_HEAD + ["    0001ABCD  02       02      Ironwood       0.0.0 (0) [10.231.0.2]", D_OTHER], [], 10),
    ("discover", "garbage (datagrams on the reply port)", "flood",                    0,
     D_HEAD + ["    0001ABCD  02       02      Ironwood       1.2.0 (1200) [10.231.0.2]", D_OTHER], [], 14),
    ("discover", "wrong status (version query)",        "mod uei_error=3:7:5",        0,
     D_HEAD + ["    0001ABCD  02       02      Ironwood       0.0.0 (1200) [10.231.0.2]", D_OTHER], [], 10),
    ("discover", "wrong status (build query)",          "mod build_error=29",         0,
     D_HEAD + ["    0001ABCD  02       02      Ironwood       1.2.0 (0) [10.231.0.2]", D_OTHER], [], 10),

    ("router",   "silence (router)",                    "mod silent=1",               0, R_NONE, [], 15),
    ("router",   "disconnect (router refuses)",         "mod listen=127.0.0.1",       0, R_NONE, [], 10),
    ("router",   "wrong status (route to me)",          "mod uei_error=3:20:5",       0, R_NONE, [], 10),
    ("router",   "silence (child)",                     "child silent=1",             0, R_OK, [], 15),
    ("router",   "wrong status (child's build query)",  "child build_error=29",       0,
     R_OK + ["    00000606  06       02      Elmwood        1.6.6 (0) [10.231.0.2]"], [], 15),

    ("list",     "silence (nobody answers)",            "url blackhole",              0,
     B_NONE, PING_FAILED + [NO_ROUTE], 15),
    ("list",     "disconnect (connection refused)",     "url refused",                0,
     B_NONE, PING_FAILED + [REFUSED], 5),
    ("list",     "disconnect (hangs up after 2 s)",     "srv builds:stall=2",         0,
     B_NONE, NO_BUILDS + [HUNG_UP], 10),
    ("list",     "wrong status (HTTP 500)",             "srv hi:status=500",          0,
     B_NONE, PING_FAILED + ["  HTTP status 500"], 5),
    ("list",     "wrong status (error reply)",          "srv builds:first-line",      0,
     B_NONE, NO_BUILDS + [INJECTED], 5),
    ("list",     "garbage",                             "srv builds:garbage",         0,
     B_NONE, NO_BUILDS + [NOT_OK], 5),
    ("list",     "empty reply",                         "srv hi:empty",               0,
     B_NONE, PING_FAILED + [EMPTY], 5),
    ("list",     "truncated reply",                     "srv builds:truncate",        0,
     B_NONE, NO_BUILDS + [HUNG_UP], 5),
    ("list",     "slow server (2 s)",                   "srv builds:delay=2",         0, B_LIST, [], 10),

    ("download", "silence (nobody answers)",            "url blackhole",              1,
     G_ASK, PING_FAILED + [NO_ROUTE], 15),
    ("download", "disconnect (connection refused)",     "url refused",                1,
     G_ASK, PING_FAILED + [REFUSED], 5),
    ("download", "disconnect (hangs up after 1 s)",     "srv bird:stall=1",           1,
     G_VALID, not_loaded(HUNG_UP), 10),
    ("download", "wrong status (HTTP 503)",             "srv hi:status=503",          1,
     G_ASK, PING_FAILED + ["  HTTP status 503"], 5),
    ("download", "wrong status (HTTP 500 to the file)", "srv bird:status=500",        1,
     G_VALID, not_loaded("  HTTP status 500"), 5),
    ("download", "wrong status (error reply)",          "srv qu:first-line",          1,
     G_ASK, ["No build information for device", INJECTED], 5),
    ("download", "wrong status (empty build list)",     "srv builds:empty",           1,
     G_CHECK, ["No valid build 1200", EMPTY], 5),
    ("download", "garbage (build query)",               "srv qu:garbage",             1,
     G_ASK, ["No build information for device", NOT_OK], 5),
    ("download", "garbage (file)",                      "srv bird:garbage",           1,
     G_VALID, not_loaded(NOT_OK), 5),
    ("download", "wrong sum (a byte of the file inverted)", "srv bird:bad-base64=bytes", 1,
     G_VALID, [NO_BIRD, INFLATE], 5),
    ("download", "garbage (base64 alphabet)",           "srv bird:bad-base64=alphabet", 1,
     G_VALID, [NO_BIRD, NOT_BASE64], 5),
    ("download", "wrong sum (base64 cut short)",        "srv bird:bad-base64=drop",   1,
     G_VALID, [NO_BIRD, NOT_BASE64], 5),
    ("download", "truncated reply",                     "srv bird:truncate=5000",     1,
     G_VALID, not_loaded(HUNG_UP), 5),
    ("download", "slow server (3 s)",                   "srv bird:delay=3",           0, G_VALID, [], 10, DOWNLOADED),
    ("download", "stalled server (never answers)",      "srv bird:stall",             1,
     G_VALID, not_loaded("  {srv} stopped sending for 30 s"), 45),
    ("download", "full disk",                           "store full",                 1,
     G_VALID, ["Failed to write file with 6", "  {store}/0001ABCD/1200.bird: No space left on device"], 5),
    ("download", "read-only store",                     "store ro",                   1,
     G_VALID, ["Failed to write file with 3", "  {store}/0001ABCD/1200.bird: Read-only file system"], 5),
    ("download", "read-only store, new device",         "store ro new",               1,
     G_NEW, ["Could not create directory for storing BIRD file", "  {store}/0001ABCE: Read-only file system"], 5),

    ("update",   "silence",                             "mod silent=1",               1,
     U_PICK, ["Birdfile failed validation", "  serial number query: module answered: aErrPacket (Packet byte "
                                                       "invalid)"], 10),
    ("update",   "disconnect (connection refused)",     "mod listen=127.0.0.1",       1,
     U_PICK + [UPDATE_TIME],
     ["Failed to connect to module [0001ABCD]", "  link to 0001ABCD failed: aErrConnection (Connection error)"], 10),
    ("update",   "disconnect (loader transfer)",        "mod drop_after_data=40,drop_offline_ms=60000", 1,
     U_NO_LOADER, LOADER_FAILED + [TIMEOUT], 15),
    ("update",   "disconnect (firmware transfer)",      "mod drop_after_data=400,drop_offline_ms=60000", 1,
     U_NO_FIRMWARE, FW_FAILED + [TIMEOUT], 20),
    ("update",   "silence (no restart after reboot)",   "mod no_reboot_drop=1",       1,
     U_FIRMWARE + ["Transferred 1 blocks, 65540 total bytes", UPDATE_TIME],
     ["Update failed while rebooting the module", "  module did not restart within 30 s"], 45),
    ("update",   "wrong acknowledgement (every time)",  "mod bad_ack=always",         1,
     U_NO_LOADER, LOADER_FAILED + ["  module miscounted the data 11 times"], 10),
    ("update",   "wrong acknowledgement (once)",        "mod bad_ack=once",           0, U_DONE, [], 20, TRANSFERRED),
    ("update",   "wrong sum",                           "mod bad_sum=once",           1,
     U_NO_LOADER, ["", "NETWORK: Unable to validate transfer [00] [0007FD4C != 0007FD4D]."] + LOADER_FAILED +
     ["  module's sum 0007FD4D of the block is not 0007FD4C (status 00)"], 10),
    ("update",   "wrong status (serial number query)",  "mod uei_error=3:9:5",        1,
     U_PICK, ["Birdfile failed validation", "  serial number query: module answered: aErrBusy (Resource busy)"], 5),
    ("update",   "wrong status (model query)",          "mod uei_error=3:8:5",        1,
     U_PICK, ["Connected device model and Bird file model do not match [Unknown]", "Birdfile failed validation",
              "  the file is made for model Ironwood"], 5),
    ("update",   "wrong status (prepare)",              "mod prepare_status=3",       1,
     U_NO_LOADER, LOADER_FAILED + ["  module refused the block (status 3)"], 10),
    ("update",   "wrong status (block size 0)",         "mod block_size=0",           1,
     U_NO_FIRMWARE, FW_FAILED + ["  module announced blocks of 0 bytes"], 15),
    ("update",   "wrong status (write)",                "mod write_status=4",         1,
     U_NO_FIRMWARE, FW_FAILED + ["  module refused to write the chunk (status 4)"], 15),
    ("update",   "garbage (build query: stored download used)", "srv qu:garbage",     0,
     ["Updating with the Latest Download"] + U_DONE, [], 20, TRANSFERRED),
    ("update",   "full disk",                           "store full",                 0,
     U_DONE, [NOT_RECORDED[0], NOT_RECORDED[1] % "No space left on device"], 20),
    ("update",   "read-only store",                     "store ro",                   0,
     U_DONE, [NOT_RECORDED[0], NOT_RECORDED[1] % "Read-only file system"], 20),

    ("fingerprint", "silence",                          "lpc --silent",               1, [], NO_CHIP + [NO_STATUS], 5),
    ("fingerprint", "silence (device ID unanswered)",   "lpc --fail N=none",          1, [], NO_CHIP + [NO_WORDS], 5),
    ("fingerprint", "disconnect (port gone)",           "port gone",                  1, [], NO_CHIP + [GONE], 5),
    ("fingerprint", "silence (i.MX status unanswered)", "imx --ignore-status 5",      1, [], NO_CHIP + [NO_STATUS], 10),
    ("fingerprint", "wrong status (i.MX completion word)", "imx --wrong-completion 0x12345678", 1,
     [], NO_CHIP + ["  {port}: chip answered 12345678, not the completion word 88888888"], 10),

    ("recover",  "silence",                             "lpc --silent",               1,
     [], NO_ID + [NO_STATUS], 10, UNTOUCHED),
    ("recover",  "silence (device ID unanswered)",      "lpc --fail N=none",          1,
     [], NO_ID + [NO_WORDS], 10, UNTOUCHED),
    ("recover",  "disconnect (port gone)",              "port gone",                  1,
     [], NO_ID + [GONE], 5, UNTOUCHED),
    ("recover",  "wrong status (erase refused)",        "lpc --fail E=9",             1,
     C_PICK + [UPDATE_TIME], ["Recovery failed while erasing the chip's flash",
                              "  chip answered 9 (SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION)"], 5, UNTOUCHED),
    ("recover",  "wrong status (copy refused)",         "lpc --fail C=10",            1,
     C_BLOCK + [UPDATE_TIME],
     ["Recovery failed while copying to the chip's flash", "  chip answered 10 (COMPARE_ERROR)"], 5),
    ("recover",  "wrong status (echo not restored)",    "lpc --fail 'A 1=12'",        1,
     C_BLOCK + ["Transferred 1 blocks, 8192 total bytes", UPDATE_TIME],
     ["Recovery Error transfering data to device ==> [2, aErrParam]", "  chip answered 12 (PARAM_ERROR)"], 5),
    ("recover",  "wrong sum (one block resent)",        "lpc --w-resend once",        0, C_DONE, [], 10, RECOVERED),
    ("recover",  "wrong sum (every block resent)",      "lpc --w-resend always",      1,
     C_BLOCK + [UPDATE_TIME],
     ["Recovery failed while writing to the chip's RAM", "  chip asked for the data again 3 times (checksum mismatch)"],
     5),
    ("recover",  "slow chip (100 ms a sector erased)",  "lpc --erase-ms-per-sector 100", 0, C_DONE, [], 15, RECOVERED),
    # 9 s is far outside the erase budget (150 polls a sector, 30 sectors)
    # even when a loaded machine stretches the 1 ms polls.
    ("recover",  "slow chip (erase answered in 9 s)",   "lpc --delay E=9000",         1,
     C_PICK + [UPDATE_TIME], ["Recovery failed while erasing the chip's flash", "  chip did not answer"], 15),
    ("recover",  "garbage (recovery information)",      "srv fix:garbage",            1,
     ["Recovering firmware with build: 0", "Downloading firmware build 0"],
     ["Serial Number must be non-zero", "Failed to load bird file",
      "  no device is named for the image (serial number 0)"], 5, UNTOUCHED),
    ("recover",  "full disk",                           "store full",                 0, C_DONE, [], 10, RECOVERED),
    ("recover",  "read-only store",                     "store ro",                   0, C_DONE, [], 10, RECOVERED),

    ("recover-get", "truncated reply (image)",          "srv bird:truncate",          1,
     C_GET, not_loaded(HUNG_UP) + NOT_STORED, 5, NEW_ENTRY),
    ("recover-get", "wrong sum (image damaged)",        "srv bird:bad-base64=bytes",  1,
     C_GET, [NO_BIRD, INFLATE] + NOT_STORED, 5, NEW_ENTRY),
    ("recover-get", "full disk",                        "store full",                 1,
     C_GET, ["Failed to write file with 6", "  {store}/0042F00D/3100.bird: No space left on device"] + NOT_STORED, 5,
     UNTOUCHED),
    ("recover-get", "read-only store",                  "store ro",                   1,
     [], ["Failed to load bird file", "  {store}/0042F00D: Read-only file system"], 5, UNTOUCHED),
]


class Case:
    """One row of MATRIX, with its injection parsed."""

    def __init__(self, stage, fault, injection, status, out, err, limit, effect=None):
        self.stage, self.fault, self.injection = stage, fault, injection
        self.status, self.out, self.err, self.limit, self.effect = status, out, err, limit, effect
        kind, _, rest = injection.partition(" ")
        words = shlex.split(rest)
        self.kind = kind
        self.keys = dict(kv.split("=", 1) for kv in rest.split(",")) if kind in ("mod", "child") else {}
        self.server_faults = words if kind == "srv" else []
        self.url = rest if kind == "url" else None
        self.store = words[0] if kind == "store" else None
        self.device = FRESH if "new" in words[1:] else SERIAL
        # The bootloader simulator and its switches; the LPC one by default.
        self.chip = kind if kind in ("lpc", "imx") else "lpc"
        self.chip_args = words if kind in ("lpc", "imx") else []

    @property
    def id(self):
        return "%s-%s" % (self.stage, re.sub(r"[^a-z0-9]+", "_", self.fault.lower()).strip("_"))


CASES = [Case(*row) for row in MATRIX]


def flood_reply_port(netns, seconds=120):
    """From 10.231.0.5 to the updater's reply port every 0.3 s, until the namespace goes."""
    code = ("import socket, time\n"
            "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
            "s.bind(('10.231.0.5', 0))\n"
            "end = time.time() + %d\n"
            "while time.time() < end:\n"
            "    s.sendto(b'garbage', ('10.231.0.1', 9889))\n"
            "    time.sleep(0.3)\n" % seconds)
    netns.peer_popen([SYSTEM_PYTHON, "-c", code])


RECOVER = ["-U", "-t", "RECOVER", "-s", "{port}", "-u", "{url}"]
COMMANDS = {
    "discover": ["-D", "-t", "TCPIP"],
    "router": ["-D", "-r", ROUTER, "-t", "TCPIP"],
    "list": ["-B", "-d", SERIAL, "-u", "{url}"],
    "download": ["-G", "-d", "{device}", "-u", "{url}"],
    "update": ["-U", "-d", SERIAL, "-u", "{url}"],
    "fingerprint": ["-N", "-s", "{port}", "-u", "{url}"],
    "recover": RECOVER,
    "recover-get": RECOVER,
}


class Stage:
    """Starts what one stage needs and names its command."""

    def __init__(self, case, netns, updater, sims):
        self.case, self.netns, self.updater, self.sims = case, netns, updater, sims
        self.server = sims.server()
        self.sim = None
        self.vm = None

    @property
    def url(self):
        return {"refused": "http://10.231.0.1:9/cgi/u",
                "blackhole": "http://10.231.0.9:8080/cgi/u"}.get(self.case.url, self.server.url)

    @property
    def port(self):
        return "/dev/ttyKSnone" if self.case.kind == "port" else self.sim and self.sim.port

    def prepare(self):
        stage = self.case.stage
        if stage in ("fingerprint", "recover", "recover-get"):
            self._serve_recovery(stored=stage != "recover-get")
        else:
            getattr(self, "_prepare_" + stage)()

    def command(self):
        values = dict(url=self.url, port=self.port, device=self.case.device)
        return [word.format(**values) for word in COMMANDS[self.case.stage]]

    def _module_keys(self, **defaults):
        if self.case.kind == "mod":
            defaults.update(self.case.keys)
        return defaults

    def _get(self, *serials):
        for serial in serials:
            good = self.updater("-G", "-d", serial, "-u", self.server.url)
            assert good.status == 0, good.stderr

    def _prepare_discover(self):
        keys = self._module_keys(model=19, address=2, version="1.2.0", build=1200)
        self.sims.modules(module_spec(SERIAL, 0, **keys),
                          module_spec(OTHER, 1, model=13, address=4, version="2.0.7", build=77))
        if self.case.kind == "flood":
            flood_reply_port(self.netns)

    def _prepare_router(self):
        keys = self._module_keys(model=19, address=2, version="1.0.0", build=10, answer_absent=3)
        children = ["serial=00000404,address=4,model=13,version=1.4.4,build=44"]
        if self.case.kind == "child":
            children.append(",".join(["serial=00000606,address=6,model=15,version=1.6.6,build=66"] +
                                     ["%s=%s" % kv for kv in self.case.keys.items()]))
        self.sims.modules((module_spec(ROUTER, 0, **keys), children))

    def _prepare_list(self):
        self.server.add_build(SERIAL, 1100, "1.1.0")
        self.server.add_build(SERIAL, 1200, "1.2.0")

    def _prepare_download(self):
        for serial in (SERIAL, FRESH):
            self.server.add_build(serial, 1100, "1.1.0")
        self._get(SERIAL)
        for serial in (SERIAL, FRESH):
            self.server.add_build(serial, 1200, "1.2.0")

    def _prepare_update(self):
        self.server.add_build(SERIAL, 1200, "1.2.0", serial_offsets=True)
        self._get(SERIAL)
        keys = self._module_keys(model=19, address=2, version="1.1.0", build=1100, load_offline_ms=300,
                                 reboot_offline_ms=500)
        self.vm = self.sims.modules(module_spec(SERIAL, 0, **keys))

    def _serve_recovery(self, stored):
        serve_loader(self.server)
        serve_recovery(self.server, birdpack.pseudo_random_bytes(8192, 11))
        # The default loader is stored, as after any earlier -N on this
        # machine; otherwise every chip that is no LPC fetches it first.
        self._get("DEADDEAD", *([CHIP_SERIAL] if stored else []))
        self.sim = self.sims.chip(self.case.chip, *self.case.chip_args)


def check_output(case, r, values):
    out = [UPDATE_TIME if UPDATE_TIME.match(line) else line for line in r.out_lines[1:]]
    expected = list(case.out)
    if case.stage in ("discover", "router"):
        out = out[:3] + sorted(out[3:])
        expected = expected[:3] + sorted(expected[3:])
    assert (r.out_lines[0], out) == (BANNER, expected), r.stdout
    assert r.err_lines == [e.format(**values) for e in case.err]


def check_module(case, vm):
    # Only the module that ignores the reboot was told to start the new image.
    if vm is None or case.status == 0:
        return
    status = vm.wait_status(SERIAL, lambda s: True)
    told = 1 if case.keys.get("no_reboot_drop") else 0
    assert status["stats"]["reboots"] == told


def check_chip(case, sim):
    if sim is None:
        return
    log = sim.log()
    if case.effect == RECOVERED:
        assert log["go"] is not None
        flash = sim.flash()
        assert flash[0x4000:0x4000 + 8192] == birdpack.pseudo_random_bytes(8192, 11)
        # The 4-byte end marker is not written.
        assert flash[0x20000:0x20004] == b"\xff" * 4
    elif log:
        # A failed recovery never starts what it wrote.
        assert log.get("go") is None
        if case.effect in (UNTOUCHED, NEW_ENTRY):
            assert not log.get("flash_erased")


def check_store(case, before, after, store):
    changed = {k for k in set(before) | set(after) if before.get(k) != after.get(k)}
    if case.effect == DOWNLOADED:
        assert changed == {"0001ABCD/1200.bird", "0001ABCD/.settings"}
        assert settings(store, SERIAL)["LATEST_DOWNLOAD"] == "1200.bird"
    elif case.effect == TRANSFERRED:
        assert changed == {"0001ABCD/.settings"}
        assert settings(store, SERIAL)["LATEST_TRANSFER"] == "1200.bird"
    elif case.effect == NEW_ENTRY:
        assert changed == {"0042F00D/.settings"}
        assert sorted(settings(store, CHIP_SERIAL)) == ["CREATED_TIME", "UPDATED_TIME"]
    else:
        assert changed == set()


@pytest.mark.parametrize("case", [pytest.param(c, id=c.id) for c in CASES])
def test_fault(case, netns, updater, sims):
    stage = Stage(case, netns, updater, sims)
    stage.prepare()
    before = snapshot(updater.store)
    stage.server.set_faults(case.server_faults)
    start = time.monotonic()
    r = updater(*stage.command(), store=case.store, timeout=case.limit + 60)
    elapsed = time.monotonic() - start
    assert r.status == case.status, r.stdout + r.stderr
    check_output(case, r, dict(url=stage.url, srv="10.231.0.1 port %d" % stage.server.port, port=stage.port,
                               store=STORE))
    assert elapsed < case.limit
    check_store(case, before, snapshot(updater.store), updater.store)
    check_module(case, stage.vm)
    check_chip(case, stage.sim)


def test_a_search_ends_while_datagrams_keep_arriving(netns, updater, server):
    """Regression: every datagram on the reply port restarted the listener's
    2 s time-out, so a sender that never paused kept a search running."""
    path = server.add_build(FRESH, 1200, "1.2.0")
    flood_reply_port(netns)
    start = time.monotonic()
    r = updater("-U", "-d", FRESH, "-f", path, "-u", server.url, timeout=120)
    elapsed = time.monotonic() - start
    assert r.status == 1
    assert r.err_lines == ["Failed to connect to module [0001ABCE]", "  no module 0001ABCE answers on USB or TCP/IP"]
    # The search's own 10 s bound ends it, not the sender (120 s).
    assert 9.5 < elapsed < 14
