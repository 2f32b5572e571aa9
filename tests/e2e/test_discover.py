"""-D: modules on TCP/IP, behind a router, and the USB-only default."""
import time

from vmodule import module_spec

HEADER_IP = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
HEADER_USB = "    Device    Module   Router  Model          Firmware Version (Build)"


def test_two_modules_on_tcpip(updater, modules):
    modules(module_spec("0001ABCD", 0, model=19, address=2, version="1.2.0", build=1200),
            module_spec("0002BEEF", 1, model=13, address=4, version="2.0.7", build=77, build_error=29))
    r = updater("-D", "-t", "TCPIP")
    assert r.status == 0
    assert r.stderr == ""
    lines = r.out_lines
    assert lines[:4] == ["Updater (Version: 1.1 Apr 26 2023)", "Searching for Keystrand devices",
                         "Discovered Devices: (TCPIP)", HEADER_IP]
    # Replies arrive in any order; a failing build query shows build 0.
    assert sorted(lines[4:]) == [
        "    0001ABCD  02       02      Ironwood       1.2.0 (1200) [10.231.0.2]",
        "    0002BEEF  04       04      Cedar          2.0.7 (0) [10.231.0.3]",
    ]


def test_no_module_answers(updater):
    start = time.time()
    r = updater("-D", "-t", "TCP")
    elapsed = time.time() - start
    assert r.status == 0
    assert r.out_lines[2:] == ["Discovered Devices: (TCPIP)", "    No devices found."]
    assert 1.9 < elapsed < 10


def test_default_transport_is_usb_only(updater, modules):
    modules(module_spec("0001ABCD", 0))
    r = updater("-D")
    assert r.status == 0
    assert r.out_lines[1:] == ["Searching for Keystrand devices", "Discovered Devices: (USB)",
                               "    No devices found."]


def test_modules_behind_a_router(updater, modules):
    vm = modules((module_spec("D272031D", 0, model=19, address=2, version="1.0.0", build=10, answer_absent=3),
                  ["serial=00000404,address=4,model=13,version=1.4.4,build=44",
                   "serial=00000606,address=6,model=15,version=1.6.6,build=66"]))
    r = updater("-D", "-r", "D272031D")
    assert r.status == 0, r.stderr
    assert r.out_lines == [
        "Updater (Version: 1.1 Apr 26 2023)",
        "Searching for Keystrand Network devices connected to D272031D",
        "Discovered Devices: (Unknown)",
        HEADER_IP,
        # The router itself answers at its own address.
        "    D272031D  02       02      Ironwood       1.0.0 (10) [10.231.0.2]",
        "    00000404  04       02      Cedar          1.4.4 (44) [10.231.0.2]",
        "    00000606  06       02      Elmwood        1.6.6 (66) [10.231.0.2]",
    ]
    status = vm.wait_status("D272031D", lambda s: len(s.get("route_to_me", [])) >= 2)
    assert [e["value"] if isinstance(e, dict) else e for e in status["route_to_me"]] == [1, 0]


def test_silent_addresses_behind_a_router_cost_a_second_each(updater, modules):
    modules((module_spec("D272031D", 0, address=2, answer_absent=3, silent_addresses="8:10"),
             ["serial=00000404,address=4,model=13,version=1.4.4,build=44"]))
    start = time.time()
    r = updater("-D", "-r", "D272031D", "-t", "TCPIP")
    elapsed = time.time() - start
    assert r.status == 0
    assert r.out_lines[2] == "Discovered Devices: (TCPIP)"
    assert [l.split()[0] for l in r.out_lines[4:]] == ["D272031D", "00000404"]
    assert elapsed > 2.0


def test_unknown_router_lists_nothing(updater, modules):
    modules(module_spec("0001ABCD", 0))
    r = updater("-D", "-r", "12345678", "-t", "TCPIP")
    assert r.status == 0
    assert r.out_lines[2:] == ["Discovered Devices: (TCPIP)", "    No devices found."]
