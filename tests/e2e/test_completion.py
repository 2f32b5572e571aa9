"""Tab completion (packaging/completion/updater) in bash, with a /dev of only
the ports below and a sample store in the password-database home."""
import os
import subprocess

import pytest

from conftest import SOURCE_DIR
from netns import private_home_prefix

SCRIPT = SOURCE_DIR / "packaging" / "completion" / "updater"
PORTS = ["/dev/ttyUSB0", "/dev/ttyACM1", "/dev/ttyS3"]
OPTIONS = "-B -C -D -G -I -N -U -OVERRIDE -h -H --help -b -d -f -t -r -s -o -u -X -e -k -l -n -Z --json --all --jobs".split()
RATES = ["2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400"]
DRIVER = """source "$0" || exit 2
[[ $(complete -p updater) == "complete -F _updater updater" ]] || exit 3
COMP_WORDS=(updater "$@"); COMP_CWORD=$#
_updater
printf '%s\\n' "${COMPREPLY[@]}"
"""

ROWS = [
    # words after "updater" (the last is the one completed), candidates
    ([""], OPTIONS),
    (["-U", "-d", "40F5849A", "-O"], ["-OVERRIDE"]),
    (["-t", ""], ["USB", "TCPIP", "RECOVER"]),
    (["-o", ""], RATES),
    (["-s", ""], ["USB"] + PORTS),
    (["-f", ""], ["a.bird", "sub"]),
    (["-C", "-f", "sub/"], ["sub/c.bird"]),
    (["-d", ""], ["0001ABCD", "40F5849A", "DEADDEAD"]),
    (["-b", ""], []),
]


@pytest.mark.parametrize("words,expected", ROWS, ids=[" ".join(w) for w, _ in ROWS])
def test_completion_candidates(words, expected, home, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("mount namespaces need root")
    store = home / ".orvantis" / "updater"
    for entry in ("0001ABCD", "40F5849A", "DEADDEAD", "old", ".cache"):
        (store / entry).mkdir(parents=True, exist_ok=True)
    (store / "1234ABCD").write_text("a file, not a device entry")
    files = tmp_path / "files"
    (files / "sub").mkdir(parents=True)
    for name in ("a.bird", "b.txt", "sub/c.bird", "sub/d.bin"):
        (files / name).write_text("")
    setup = 'mount -t tmpfs none /dev && touch /dev/null %s && cd "$0" && exec bash -c "$@"' % " ".join(PORTS)
    cmd = private_home_prefix(home) + ["sh", "-c", setup, files, DRIVER, SCRIPT] + words
    r = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    assert sorted(r.stdout.split()) == sorted(expected)
