"""-D: modules behind a router, and searches that find nothing; modules with
faults are the fault matrix's."""
import time

import pytest

from conftest import BANNER, module_spec

HEADER_IP = "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]"
ROUTER = module_spec("D272031D", 0, model=19, address=2, version="1.0.0", build=10, answer_absent=3,
                     silent_addresses="8:10")
CEDAR = "serial=00000404,address=4,model=13,version=1.4.4,build=44"


@pytest.mark.parametrize("modules,args,transport", [
    ([], ["-D", "-t", "TCP"], "TCPIP"),                                # the transport's name may be cut short
    ([module_spec("0001ABCD")], ["-D"], "USB"),                        # USB only by default
    ([module_spec("0001ABCD")], ["-D", "-r", "12345678", "-t", "TCPIP"], "TCPIP"),  # an unknown router
], ids=["nobody", "usb-only", "unknown-router"])
def test_nothing_found(updater, sims, modules, args, transport):
    if modules:
        sims.modules(*modules)
    start = time.monotonic()
    r = updater(*args)
    assert r.status == 0
    assert r.out_lines[2:] == ["Discovered Devices: (%s)" % transport, "    No devices found."]
    assert r.stderr == ""
    if transport == "TCPIP" and "-r" not in args:
        assert 1.9 < time.monotonic() - start < 10


def test_modules_behind_a_router(updater, sims):
    vm = sims.modules((ROUTER, [CEDAR, "serial=00000606,address=6,model=15,version=1.6.6,build=66"]))
    start = time.monotonic()
    r = updater("-D", "-r", "D272031D")
    assert r.status == 0, r.stderr
    assert r.out_lines == [
        BANNER,
        "Searching for Keystrand Network devices connected to D272031D",
        "Discovered Devices: (Unknown)",
        HEADER_IP,
        # The router itself answers at its own address.
        "    D272031D  02       02      Ironwood       1.0.0 (10) [10.231.0.2]",
        "    00000404  04       02      Cedar          1.4.4 (44) [10.231.0.2]",
        "    00000606  06       02      Elmwood        1.6.6 (66) [10.231.0.2]",
    ]
    # Each of the three silent addresses costs a second.
    assert time.monotonic() - start > 2.0
    # Routing to the updater switched on for the search, off after it.
    status = vm.wait_status("D272031D", lambda s: len(s.get("route_to_me", [])) >= 2)
    assert [e["value"] if isinstance(e, dict) else e for e in status["route_to_me"]] == [1, 0]
