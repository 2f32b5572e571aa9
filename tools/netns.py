"""Private network and mount namespaces for tests.

Everything that sends discovery datagrams or talks to modules runs inside a
network namespace made here, never in the machine's own namespace.  The
updater itself additionally runs in a private mount namespace in which a
temporary directory is bind-mounted over the home directory of the password
database, so its store never touches the real one.
"""
import itertools
import os
import pwd
import subprocess

from standin import DIE_WITH_PARENT, PYTHON as SYSTEM_PYTHON, stop_group  # noqa: F401 (SYSTEM_PYTHON is for callers)

_counter = itertools.count()


def passwd_home():
    return pwd.getpwuid(os.getuid()).pw_dir


class NetNS:
    """A network namespace with loopback up and one veth pair (ks0/ks1).

    ks0 carries the addresses given (10.x only). Without peer addresses ks1
    stays here, up, so the link has carrier and multicast loops back. With
    peer addresses ks1 moves into a second namespace (the "LAN" where the
    simulated modules live) that holds those addresses: the host and the
    modules then talk over the veth pair as two machines on a LAN would.
    """

    def __init__(self, addresses=("10.231.0.1/24",), peer_addresses=()):
        self.name = "kstest%d_%d" % (os.getpid(), next(_counter))
        self.peer = None
        self.procs = []
        # Deletes both namespaces if this process dies without close() (a
        # test process killed on a time-out, say): a shell waiting, at most a
        # day, for the SIGTERM its parent's death brings.
        script = 'sleep 86400 & trap "kill $!; ip netns del $0; ip netns del $0p; exit" TERM; wait'
        self.reaper = subprocess.Popen(DIE_WITH_PARENT + ["sh", "-c", script, self.name], start_new_session=True,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._ip("netns", "add", self.name)
        try:
            self.exec_ok("ip", "link", "set", "lo", "up")
            self.exec_ok("ip", "link", "add", "ks0", "type", "veth", "peer", "name", "ks1")
            for addr in addresses:
                assert addr.startswith("10."), "test addresses stay in 10.x"
                self.exec_ok("ip", "addr", "add", addr, "dev", "ks0")
            if peer_addresses:
                self.peer = self.name + "p"
                self._ip("netns", "add", self.peer)
                self.exec_ok("ip", "link", "set", "ks1", "netns", self.peer)
                self.peer_ok("ip", "link", "set", "lo", "up")
                for addr in peer_addresses:
                    assert addr.startswith("10."), "test addresses stay in 10.x"
                    self.peer_ok("ip", "addr", "add", addr, "dev", "ks1")
                self.peer_ok("ip", "link", "set", "ks1", "up")
            else:
                self.exec_ok("ip", "link", "set", "ks1", "up")
            self.exec_ok("ip", "link", "set", "ks0", "up")
        except Exception:
            self.close()
            raise

    def peer_prefix(self):
        return ["ip", "netns", "exec", self.peer or self.name]

    def peer_ok(self, *cmd):
        subprocess.run(self.peer_prefix() + list(cmd), check=True, capture_output=True, timeout=30)

    def peer_popen(self, cmd, **kw):
        """Starts a process in the peer namespace (the modules' side)."""
        p = subprocess.Popen(DIE_WITH_PARENT + self.peer_prefix() + list(cmd), start_new_session=True, **kw)
        self.procs.append(p)
        return p

    @staticmethod
    def _ip(*args):
        subprocess.run(["ip"] + list(args), check=True, capture_output=True, timeout=30)

    def prefix(self):
        return ["ip", "netns", "exec", self.name]

    def exec_ok(self, *cmd):
        subprocess.run(self.prefix() + list(cmd), check=True, capture_output=True, timeout=30)

    def run(self, cmd, timeout=60, **kw):
        kw.setdefault("capture_output", True)
        kw.setdefault("text", True)
        return subprocess.run(self.prefix() + list(cmd), timeout=timeout, **kw)

    def popen(self, cmd, **kw):
        p = subprocess.Popen(DIE_WITH_PARENT + self.prefix() + list(cmd), start_new_session=True, **kw)
        self.procs.append(p)
        return p

    def close(self):
        for p in self.procs + [self.reaper]:
            stop_group(p)
        self.procs = []
        if self.peer:
            subprocess.run(["ip", "netns", "del", self.peer], capture_output=True, timeout=30)
        subprocess.run(["ip", "netns", "del", self.name], capture_output=True, timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def private_home_prefix(home_dir, store=None):
    """Command prefix that runs the rest in a private mount namespace with
    home_dir bind-mounted over the password database's home directory,
    empty directories over the USB device trees and /dev/null over every
    hidraw node.

    store chooses a broken store for fault tests:
      "ro"    home_dir is bound read-only, so nothing in it can be written;
      "full"  a small tmpfs gets a copy of home_dir and is filled up before
              the command runs, so no file can grow; afterwards the tmpfs's
              contents (filler excluded) replace home_dir's, so callers read
              the result in home_dir as usual.
    """
    # USB is hidden too: tests never see the machine's real USB devices.
    # Emulated devices (umockdev) live elsewhere and are redirected to by
    # path, so these mounts do not hide them; they catch any path that falls
    # through to the real /dev, e.g. a node opened after its emulated device
    # was unplugged.
    usb = ('for d in /dev/bus/usb /sys/bus/usb/devices; do [ -d "$d" ] && mount -t tmpfs none "$d"; done; '
           'for f in /dev/hidraw*; do [ -c "$f" ] && mount --bind /dev/null "$f"; done; ')
    if store is None:
        script = 'mount --bind "$0" "$1" && shift && ' + usb + 'exec "$@"'
    elif store == "ro":
        script = ('mount --bind "$0" "$1" && mount -o remount,bind,ro "$1" && shift && ' + usb +
                  'exec "$@"')
    elif store == "full":
        # dd stops at ENOSPC; what is left is less than one block.
        script = ('src="$0"; dst="$1"; shift; '
                  'mount -t tmpfs -o size=4m,mode=0755 none "$dst" && cp -a "$src"/. "$dst"/ || exit 99; '
                  'dd if=/dev/zero of="$dst/.fill" bs=4k 2>/dev/null; '
                  'dd if=/dev/zero of="$dst/.fill2" bs=1 2>/dev/null; ' + usb +
                  '"$@"; rc=$?; rm -f "$dst/.fill" "$dst/.fill2"; '
                  'find "$src" -mindepth 1 -delete && cp -a "$dst"/. "$src"/ || exit 98; exit $rc')
    else:
        raise ValueError("store must be None, 'ro' or 'full'")
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script,
            str(home_dir), passwd_home()]
