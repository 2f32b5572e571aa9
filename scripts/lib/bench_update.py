"""scripts/bench update: a firmware update into a virtual module over TCP/IP,
timed against the floor the module protocol sets.

The host paces what it sends at one packet per millisecond, so an update can
take no less than one millisecond per packet the module receives from the
host; the virtual module counts them (stats host_packets in its status
file). The figures: the updater's wall time, that floor, their ratio, and the
updater's CPU time (user + system) per second of the update. The same split
is shown for the firmware transfer alone (from "Transferring firmware block"
to "Transferred"), which carries nearly all of the packets, with the
smallest and the median gap between host packets as the module read them
(packets that arrived in one read have no gap of their own and are counted
apart; the figures are for the module's whole life). The rest of the
update is mostly fixed waits of the flow: the reply to LOAD that a module
leaving the link for its loader never sends (the reply time-out, 1 s) and
the poll for the link to drop after REBOOT (250 ms steps).
"""
import statistics
import time

import stage as st

HELP = "update a 256 KiB firmware into a virtual module: wall time against the 1 ms/packet floor, CPU per second"

SERIAL = "0001ABCD"
MODEL, MODEL_NAME = 19, "Ironwood"
OLD, NEW = ("1.1.0", 1100), ("1.2.0", 1200)
# The packets of a block transfer (loader or firmware).
TRANSFER_KINDS = ("upgrade_prepare", "upgrade_data", "upgrade_sum", "upgrade_write")


def add_arguments(p):
    p.add_argument("--size", type=int, default=256 * 1024, help="firmware payload bytes (default 262144)")
    p.add_argument("--block-size", type=int, default=512,
                   help="block size the module answers PREPARE with (default 512)")
    p.add_argument("--runs", type=int, default=1, help="updates to run, one after the other (default 1)")
    p.add_argument("--load-offline-ms", type=int, default=300,
                   help="how long the module stays away after LOAD (default 300)")
    p.add_argument("--reboot-offline-ms", type=int, default=500,
                   help="how long the module stays away after REBOOT (default 500)")
    p.add_argument("--lines", action="store_true",
                   help="print the updater's output lines with the time each arrived")
    p.add_argument("--debug-mask", metavar="MASK",
                   help="pass -X MASK to the updater; its debug log is kept with --keep")
    p.add_argument("--keep", action="store_true", help="keep the temporary directory and print where it is")


def counts(status):
    """(all host packets, those of the upgrade block transfers, LOADs) so far."""
    if status is None:
        return 0, 0, 0
    stats = status["stats"]
    kinds = stats["host_packets_by_kind"]
    return stats["host_packets"], sum(kinds[k] for k in TRANSFER_KINDS), kinds["upgrade_load"]


def settled_status(stage, timeout):
    """The module's status once it runs the new firmware and its counts have
    stopped moving (the file is rewritten at most every 20 ms)."""
    status = stage.wait_status(SERIAL, lambda s: s["version"] == NEW[0], timeout)
    if status is None:
        raise RuntimeError("the module does not report %s after the update" % NEW[0])
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        time.sleep(0.1)
        again = stage.status(SERIAL)
        if again["stats"] == status["stats"]:
            return again
        status = again
    return status


def line_time(run, prefix):
    for t, line in run.lines:
        if line.startswith(prefix):
            return t
    raise RuntimeError("the updater never printed %r:\n%s" % (prefix, run.output))


def one_update(stage, bird, opts, number):
    total0, transfer0, loads0 = counts(stage.status(SERIAL))
    at_load = []

    def on_line(t, line):
        # The loader is in and LOAD is on its way. The module takes it and
        # drops the link, writing its status file; the updater sends nothing
        # more until it has waited for the reply and reconnected. The counts
        # of that moment split the loader's packets from the firmware's.
        if line.startswith("Starting Load on Device"):
            status = stage.wait_status(SERIAL, lambda s: counts(s)[2] > loads0, timeout=2)
            at_load.append(counts(status)[1] if status else None)

    args = ["-U", "-d", SERIAL, "-f", bird, "-u", stage.url]
    if opts.debug_mask:
        args = ["-X", opts.debug_mask] + args
    # Generous: the floor of the default size is about 12 s.
    r = stage.run_updater(args, timeout=60 + opts.size // 1000, on_line=on_line)
    if opts.keep:
        (stage.tmp / ("update%d.log" % number)).write_text(r.output)
    if opts.lines:
        for t, line in r.lines:
            print("  %8.3f  %s" % (t, line.rstrip("\n")))
    if r.status != 0:
        raise RuntimeError("the update failed (status %d):\n%s" % (r.status, r.output))
    if not at_load or at_load[0] is None:
        raise RuntimeError("the module's counts at LOAD could not be read")
    settled = settled_status(stage, timeout=10)
    total, transfer, _ = counts(settled)
    gaps = settled.get("host_gaps", {})
    fw_start = line_time(r, "Transferring firmware block")
    fw_end = line_time(r, "Transferred 1 blocks, %d" % (opts.size + 4))
    return dict(wall=r.wall_s, cpu=r.user_s + r.sys_s, user=r.user_s, sys=r.sys_s, packets=total - total0,
                fw_wall=fw_end - fw_start, fw_packets=transfer - at_load[0], gaps=gaps)


def report(results, opts):
    def row(label, values):
        print("  %-44s %s" % (label, "  ".join("%9s" % v for v in values)))

    def ratio(wall, packets):
        return "%.3f" % (wall / (packets / 1000.0))

    print("firmware %d bytes, block size %d; the module is away %d ms after LOAD and %d ms after REBOOT"
          % (opts.size, opts.block_size, opts.load_offline_ms, opts.reboot_offline_ms))
    row("run", [str(n + 1) for n in range(len(results))])
    row("whole update: wall time (s)", ["%.3f" % x["wall"] for x in results])
    row("  floor: host packets x 1 ms (s)", ["%.3f" % (x["packets"] / 1000.0) for x in results])
    row("  wall / floor", [ratio(x["wall"], x["packets"]) for x in results])
    row("  updater CPU s per second (user+sys)", ["%.3f" % (x["cpu"] / x["wall"]) for x in results])
    row("  updater CPU user / sys (s)", ["%.2f/%.2f" % (x["user"], x["sys"]) for x in results])
    row("firmware transfer: wall time (s)", ["%.3f" % x["fw_wall"] for x in results])
    row("  floor: its packets x 1 ms (s)", ["%.3f" % (x["fw_packets"] / 1000.0) for x in results])
    row("  wall / floor", [ratio(x["fw_wall"], x["fw_packets"]) for x in results])
    row("host packet gap at the module: min (us)", [str(x["gaps"].get("min_us")) for x in results])
    row("  median (us, 10 us steps)", [str(x["gaps"].get("median_us")) for x in results])
    row("  packets read together with another", [str(x["gaps"].get("together")) for x in results])
    row("rest: wall - floor (s)",
        ["%.3f" % ((x["wall"] - x["fw_wall"]) - (x["packets"] - x["fw_packets"]) / 1000.0) for x in results])
    if len(results) > 1:
        print("  median wall / floor: whole update %.3f, firmware transfer %.3f" % (
            statistics.median(x["wall"] / (x["packets"] / 1000.0) for x in results),
            statistics.median(x["fw_wall"] / (x["fw_packets"] / 1000.0) for x in results)))


def run(opts):
    return st.guarded("bench update", lambda: measure(opts))


def measure(opts):
    spec = st.module_spec(SERIAL, st.LAN_IPS[0], MODEL, *OLD, block_size=opts.block_size,
                          load_offline_ms=opts.load_offline_ms, reboot_offline_ms=opts.reboot_offline_ms)
    with st.Stage([spec], keep=opts.keep) as stage:
        bird = stage.tmp / "bench.bird"
        bird.write_bytes(st.birdpack.build_bird(st.birdpack.sample_description(
            serial=SERIAL, model=MODEL_NAME, build=NEW[1], version=NEW[0], size=opts.size,
            serial_offsets=True)))
        results = []
        for n in range(opts.runs):
            if n:
                # Until the module listens again after its reboot.
                time.sleep(opts.reboot_offline_ms / 1000.0 + 0.3)
            results.append(one_update(stage, bird, opts, n + 1))
        report(results, opts)
        if opts.keep:
            print("kept: %s" % stage.tmp)
    return 0
