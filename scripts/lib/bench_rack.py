"""scripts/bench rack: -U --all over a rack of virtual modules, one at a time
against several at once.

Each run has a fresh stage (namespaces, modules on the LAN side, the update
server): every module runs build 1100 and the server offers 1200 with a
firmware of --size bytes, so -U --all downloads and installs it into each.
The figures: the wall time of one module alone, of the rack with --jobs 1
and with --jobs N, and the ratio of the last to the first. Every module
paces its own link at one packet per millisecond, so modules updated at
once should take little longer than one.
"""
import sys

import stage as st

HELP = "-U --all on a rack of virtual modules: --jobs 1 against --jobs N, against one module alone"

MODEL, MODEL_NAME = 19, "Ironwood"
OLD, NEW = ("1.1.0", 1100), ("1.2.0", 1200)


def add_arguments(p):
    p.add_argument("--modules", type=int, default=8, help="modules in the rack (default 8, at most 32)")
    p.add_argument("--size", type=int, default=256 * 1024, help="firmware payload bytes (default 262144)")
    p.add_argument("--jobs", type=int, default=None, help="modules updated at once (default: all of them)")


def serials(count):
    return ["0001%04X" % (0xA000 + n) for n in range(count)]


def update_all(count, jobs, opts):
    """Wall time of -U --all over a fresh rack of count modules."""
    # One LAN address each: the core shares one link among modules at one
    # address, as among modules behind a router.
    specs = [st.module_spec(s, st.LAN_IPS[n], MODEL, *OLD) for n, s in enumerate(serials(count))]
    with st.Stage(specs) as stage:
        for s in serials(count):
            stage.add_build(s, NEW[1], NEW[0], MODEL_NAME, size=opts.size, serial_offsets=True)
        args = ["-U", "--all", "-t", "TCPIP", "-u", stage.url]
        if jobs > 1:
            args += ["--jobs", str(jobs)]
        # Generous: one module's floor at the default size is about 12 s.
        r = stage.run_updater(args, timeout=120 + count * (30 + opts.size // 1000))
        if r.status != 0:
            raise RuntimeError("-U --all %s failed (status %d):\n%s" % (" ".join(args[4:]), r.status, r.output))
        for s in serials(count):
            status = stage.status(s)
            if status is None or status["version"] != NEW[0]:
                raise RuntimeError("module %s does not run %s afterwards:\n%s" % (s, NEW[0], r.output))
        return r.wall_s


def run(opts):
    if not 1 <= opts.modules <= len(st.LAN_IPS) or (opts.jobs is not None and opts.jobs < 1):
        print("bench rack: --modules from 1 to %d, --jobs at least 1" % len(st.LAN_IPS), file=sys.stderr)
        return 2
    return st.guarded("bench rack", lambda: measure(opts))


def measure(opts):
    jobs = opts.jobs or opts.modules
    one = update_all(1, 1, opts)
    serial = update_all(opts.modules, 1, opts)
    parallel = update_all(opts.modules, jobs, opts)
    print("firmware %d bytes into each of %d modules over TCP/IP" % (opts.size, opts.modules))
    rows = [("one module alone", one), ("%d modules, --jobs 1" % opts.modules, serial),
            ("%d modules, --jobs %d" % (opts.modules, jobs), parallel)]
    for label, wall in rows:
        print("  %-36s wall time %8.3f s  %5.2f x one module" % (label, wall, wall / one))
    print("  %-36s %8.2f" % ("--jobs 1 / --jobs %d" % jobs, serial / parallel))
    return 0
