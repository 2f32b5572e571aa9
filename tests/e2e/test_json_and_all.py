"""--json (one document per run, read with json.loads) and -U --all over a
rack of virtual modules, in text and as JSON."""
import json

import pytest

from conftest import CHIP_WORDS, STORE, module_spec, settings

SERIAL = "0001ABCD"
V110, V120 = 0x11000000, 0x12000000
KEYS = dict(model=19, address=2, load_offline_ms=300, reboot_offline_ms=500)
DEVICE = {"serial": SERIAL, "transport": "TCPIP", "module_address": 2, "router_address": 2, "model": 19,
          "model_name": "Ironwood", "version": "1.1.0", "version_number": V110, "build": 1100, "error_code": 0,
          "ip_address": "10.231.0.2"}
FILE = "%s/%s/1200.bird" % (STORE, SERIAL)
BUILDS = [{"build": 1100, "version": "1.1.0", "version_number": V110},
          {"build": 1200, "version": "1.2.0", "version_number": V120}]
LISTED = {"serial": SERIAL, "latest_download": "1200.bird", "latest_transfer": ""}

JSON_ROWS = [
    # arguments, exit status, fields of the document
    (["-D", "-t", "TCPIP"], 0, {"discovery": {"transport": "TCPIP", "devices": [DEVICE]}}),
    (["-B", "-d", SERIAL], 0, {"build_list": {"serial": SERIAL, "builds": BUILDS}}),
    (["-G", "-U", "-d", SERIAL], 0, {"download": {"serial": SERIAL, "build": 1200, "file": FILE},
                                     "update": {"serial": SERIAL, "build": 1200, "file": FILE}}),
    (["-I", "-d", SERIAL], 0, {"store": {"path": STORE, "device": {
        "serial": SERIAL, "directory": "%s/%s" % (STORE, SERIAL), "builds": [
            {"file": "1200.bird", "build": 1200, "version": "1.2.0", "version_number": V120, "model": "Ironwood"}]}}}),
    (["-I"], 0, {"store": {"path": STORE, "devices": [LISTED]}}),
    (["-G", "-d", SERIAL, "-b", "999"], 1, {"download": {"serial": SERIAL, "build": None, "file": None},
                                            "error": "No valid build 999",
                                            "cause": "not among the 2 builds the server lists"}),
    # -B exits 0 also when the server is not there: "ok" tells.
    (["-B", "-d", SERIAL, "-u", "http://10.231.0.1:9/cgi/u"], 0, {
        "build_list": {"builds": []}, "error": "Server request failed for http://10.231.0.1:9/cgi/u",
        "cause": "connection refused by 10.231.0.1 port 9"}),
    (["-N", "-s", "{port}"], 0, {"fingerprint": {"port": "{port}", "words": ["%08X" % w for w in CHIP_WORDS]}}),
    (["-C", "-f", "{file}"], 0, {"check": {"file": "{file}", "valid": True, "problems": [], "info": {
        "build": 1200, "version": "1.2.0", "version_number": V120, "serial": SERIAL, "model": "Ironwood"}}}),
]


def same(expected, actual, values):
    """expected's fields (text filled from values) are actual's."""
    if isinstance(expected, dict):
        return all(k in actual and same(v, actual[k], values) for k, v in expected.items())
    if isinstance(expected, list):
        return len(expected) == len(actual) and all(same(e, a, values) for e, a in zip(expected, actual))
    return (expected.format(**values) if isinstance(expected, str) else expected) == actual


@pytest.mark.parametrize("args,status,fields", JSON_ROWS, ids=[" ".join(r[0]) for r in JSON_ROWS])
def test_json_document(updater, server, sims, args, status, fields):
    for build, version in ((1100, "1.1.0"), (1200, "1.2.0")):
        path = server.add_build(SERIAL, build, version)
    sims.modules(module_spec(SERIAL, 0, version="1.1.0", build=1100, **KEYS))
    if "-I" in args:
        assert updater("-G", "-d", SERIAL, "-u", server.url).status == 0
    values = dict(file=path, port=sims.chip("lpc").port if "{port}" in args else "")
    r = updater("--json", "-u", server.url, *[a.format(**values) for a in args])
    doc = json.loads(r.stdout)
    assert (r.status, doc["ok"]) == (status, "error" not in fields), r.stdout
    assert same(fields, doc, values), r.stdout
    # Standard error is the text's: the failure and its cause.
    assert r.err_lines == ([fields["error"], "  " + fields["cause"]] if "error" in fields else [])


TIMEOUT = "module answered: aErrTimeout (no reply within 1000 ms)"
NO_DEVICE = 'the server answered "error: unknown device 0003CAFE" instead of "ok"'
RACK = [
    # serial, version and build it runs, keys, builds on the server, result, version after
    ("0001ABCD", "1.1.0", 1100, {}, [1200], "updated", "1.2.0 (1200)"),
    ("0002BEEF", "1.2.0", 1200, {}, [1200], "current", "1.2.0 (1200)"),
    ("0003CAFE", "1.0.0", 5, {}, [], "failed: " + NO_DEVICE, "1.0.0 (5)"),
    ("0004D00D", "1.1.0", 1100, dict(drop_after_data=400, drop_offline_ms=60000), [1200], "failed: " + TIMEOUT, "-"),
]


@pytest.mark.parametrize("mode", [[], ["--json"], ["--jobs", "3"]], ids=["text", "json", "jobs"])
def test_update_all_modules_of_a_rack(updater, server, sims, mode):
    for serial, _, _, _, builds, _, _ in RACK:
        for b in builds:
            server.add_build(serial, b, "1.2.0", serial_offsets=True)
    sims.modules(*[module_spec(s, i, version=v, build=b, **dict(KEYS, **k))
                   for i, (s, v, b, k, _, _, _) in enumerate(RACK)])
    r = updater("-U", "--all", "-u", server.url, *mode, timeout=180)
    assert r.status == 1, r.stdout + r.stderr
    # The store: a download for the modules that got one, a transfer only for the one updated.
    stored = {s: [settings(updater.store, s).get(k) for k in ("LATEST_DOWNLOAD", "LATEST_TRANSFER")] for s, *_ in RACK}
    assert stored == {"0001ABCD": ["1200.bird"] * 2, "0002BEEF": [None] * 2, "0003CAFE": [None] * 2,
                      "0004D00D": ["1200.bird", None]}
    if mode != ["--json"]:
        start = r.out_lines.index("Summary:")
        assert r.out_lines[start + 1] == "    Device    Model        Before            After             Result"
        assert sorted(r.out_lines[start + 2:]) == ["    %s  Ironwood     %-17s %-17s %s" % (
            s, "%s (%d)" % (v, b), after, result) for s, v, b, _, _, result, after in RACK]
        # Side by side, each module says each stage in one line.
        stages = [line for line in r.out_lines if line.startswith("0001ABCD: ")]
        assert stages == (["0001ABCD: asking the server for the newest build", "0001ABCD: downloading build 1200",
                           "0001ABCD: installing build 1200", "0001ABCD: updated"] if mode else [])
        return
    modules = sorted(json.loads(r.stdout)["modules"], key=lambda m: m["serial"])
    for (serial, version, build, _, _, result, after), m in zip(RACK, modules):
        assert (m["serial"], m["version"], m["build"]) == (serial, version, build)
        assert (m["after"] and "%s (%d)" % (m["after"]["version"], m["after"]["build"]) or "-") == after
        assert m["result"] == result.split(":")[0]
        assert m.get("cause", "") == result[8:]
