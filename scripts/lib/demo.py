"""The demo's stage and script (started by scripts/demo once the updater is
built): two virtual modules on a private LAN, the update server stand-in
offering a newer build for one of them, and the updater finding, listing,
downloading and installing it."""
import argparse
import sys
import time

import stage as st

# The module that is updated, and a neighbour that stays as it is.
TARGET = dict(serial="40F5849A", model=19, model_name="Ironwood", old=("1.1.0", 1100), new=("1.2.0", 1200))
OTHER = dict(serial="1B7E20C4", model=13, model_name="Cedar", old=("2.0.1", 2010))

FIRMWARE_BYTES = 128 * 1024
# How long a virtual module stays away after LOAD and after REBOOT, as a real
# one does while it switches between its loader and its application.
LOAD_OFFLINE_MS = 1000
REBOOT_OFFLINE_MS = 1500


def say(text=""):
    print(text, flush=True)


def run(stage, args, timeout, terminal=False):
    """Prints the command as a user would type it, then runs it."""
    say("\n$ updater " + " ".join(args))
    r = stage.run_updater(args, timeout=timeout, capture=not terminal)
    if r.output is not None:
        sys.stdout.write(r.output)
        sys.stdout.flush()
    if r.status != 0:
        raise RuntimeError("updater %s exited with status %d" % (" ".join(args), r.status))
    return r


def main():
    ap = argparse.ArgumentParser(prog="scripts/demo", description="Run the updater against virtual modules in private namespaces.")
    ap.add_argument("--keep", action="store_true", help="keep the temporary directory (store, server tree, "
                    "module state files) and print where it is")
    opts = ap.parse_args()
    st.install_exit_signals()

    why = st.missing_privileges()
    if why:
        raise st.NoPrivileges(why)

    serial = TARGET["serial"]
    modules = [st.module_spec(m["serial"], ip, m["model"], m["old"][0], m["old"][1],
                              load_offline_ms=LOAD_OFFLINE_MS, reboot_offline_ms=REBOOT_OFFLINE_MS)
               for m, ip in ((TARGET, st.LAN_IPS[0]), (OTHER, st.LAN_IPS[1]))]
    with st.Stage(modules, keep=opts.keep) as stage:
        for m in (TARGET, OTHER):
            version, build = m["old"]
            stage.add_build(m["serial"], build, version, m["model_name"], size=FIRMWARE_BYTES, serial_offsets=True)
        version, build = TARGET["new"]
        stage.add_build(serial, build, version, TARGET["model_name"], size=FIRMWARE_BYTES, serial_offsets=True)

        say("== A private network of namespaces: the updater and the update server stand-in")
        say("   (%s) on %s, two virtual modules on %s and %s." % (stage.url, st.HOST_IP, *st.LAN_IPS[:2]))
        say("   %s (%s) runs %s (build %d); the server also offers %s (build %d)."
            % (serial, TARGET["model_name"], *TARGET["old"], *TARGET["new"]))
        say("   The updater's store is in a temporary home; your own home is not touched.")

        run(stage, ["-D", "-t", "TCPIP"], timeout=30)
        run(stage, ["-B", "-d", serial, "-u", stage.url], timeout=30)
        r = run(stage, ["-G", "-U", "-d", serial, "-u", stage.url], timeout=120, terminal=True)

        say("\n(waiting for %s to restart with its new firmware)" % serial)
        new_version, new_build = TARGET["new"]
        if stage.wait_status(serial, lambda s: s["version"] == new_version, timeout=10) is None:
            raise RuntimeError("%s does not report %s after the update" % (serial, new_version))
        # Discovery finds it again once it listens; its restart takes REBOOT_OFFLINE_MS.
        time.sleep(REBOOT_OFFLINE_MS / 1000.0 + 0.3)
        d = run(stage, ["-D", "-t", "TCPIP"], timeout=30)
        row = [l for l in d.output.splitlines() if l.split()[:1] == [serial]]
        if not row or "%s (%d)" % (new_version, new_build) not in row[0]:
            raise RuntimeError("discovery does not show %s with %s (%d)" % (serial, new_version, new_build))

        say("\n== %s went from %s (build %d) to %s (build %d); the update took %.1f s."
            % (serial, *TARGET["old"], new_version, new_build, r.wall_s))
        if opts.keep:
            say("   Kept: %s (home/ is the updater's home, server/ the server's tree, modules/ the modules' state)"
                % stage.tmp)
    say("   Namespaces and processes are gone.")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except st.NoPrivileges as e:
        print("demo: cannot make network namespaces: %s.\n"
              "demo: it needs root with CAP_NET_ADMIN and CAP_SYS_ADMIN; run it as: sudo scripts/demo" % e,
              file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        print("\ndemo: interrupted; cleaned up", file=sys.stderr)
        sys.exit(130)
    except st.Stopped as e:
        print("\ndemo: stopped by %s; cleaned up" % e, file=sys.stderr)
        sys.exit(128 + e.signum)
    except RuntimeError as e:
        print("\ndemo: FAILED: %s" % e, file=sys.stderr)
        sys.exit(1)
