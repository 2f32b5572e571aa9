"""The command line: banners, usage, option errors and their exit statuses,
and the store's directory under the password database's home."""
import hashlib
import os
import stat

import pytest

from conftest import STORE

BANNER = [
    "Updater (Version: 1.1 Apr 26 2023)",
    "(Copyright (c) 2023 Orvantis, Inc.)",
    "[Keystrand Release: 2.9.29]",
]
# The usage texts end standard error, from their blank line before
# "Application Usage:"; they are held by their digests. After a deliberate
# change to one, read the new text and take its digest.
SHORT = "<short usage>\n"
FULL = "<full usage>\n"
USAGE = {"a651e6e8b8abd5c484e5dafd12233cd02452a21d4823bacf63c28af1eb29d8f8": SHORT,
         "2516ad551886d93309a1436dee469b12494c26ad217024f6c1238cbc6804e192": FULL}
EMPTY_STORE = ["No devices in the store at %s" % STORE]

CASES = [
    # arguments                      exit  standard output           standard error
    ([],                             0, BANNER,                      SHORT),
    (["-h"],                         0, BANNER,                      FULL),
    (["--help"],                     0, BANNER,                      FULL),
    (["--he"],                       0, BANNER,                      FULL),
    # "--" no longer names one option alone (--help, --json, --all).
    (["--"],                         0, BANNER,                      SHORT),
    # Help after an error reports it.
    (["-d", "12G4", "-h"],           0, BANNER, "Invalid serial number obtained from argument [12G4]\n" + FULL),
    # Option errors: two banner lines and the short usage.
    (["-OVER", "-U", "-d", "1234"],  1, BANNER[:2], "Invalid format for firmware update override parameter [-OVER]\n"
                                                    + SHORT),
    (["-r", "xyz"],                  1, BANNER[:2], "Invalid router serial number obtained from argument [xyz]\n"
                                                    + SHORT),
    (["-Y", "-d", "zz", "-t", "bad"], 1, BANNER[:2], "Unhandled command: [-Y]\n"
     "Invalid serial number obtained from argument [zz]\nInvalid transport type:[bad]\n"
     "Must be one of the following: USB, TCPIP, RECOVER\n" + SHORT),
    # Leftover log mask characters are reported, but no error.
    (["-X", "12abc"],                0, BANNER, 'Invalid format for "-X" parameter, unprocessed characters [abc]\n'
                                                + SHORT),
    # Unknown options, missing arguments and swallowed words are silent;
    # -I is the one command left standing and lists the (empty) store.
    (["-Q", "-I"],                   0, BANNER[:1] + EMPTY_STORE, ""),
    (["-Z", "-D"],                   0, BANNER[:1],                  ""),
    # A command without its required parameter.
    (["-N"],                         1, BANNER[:1], "Must specify the serial port used for connecting\n"),
    (["-G"],                         1, BANNER[:1], "-G must specify a specific device via -d\n--help for usage "
                                                    "information\n"),
    (["-U", "-t", "TCPIP"],          1, BANNER[:1], "Must specify the specific device to be updated\n"),
    (["-B"],                         1, BANNER[:1], "Error must supply a serial number for the List Builds "
                                                    "command\n" + SHORT),
    (["-C"],                         1, BANNER[:1], "-C must specify a BIRD file via -f\n"),
    # --json has no document for the usage; --all works only for -U, on the
    # modules it finds.
    (["--json", "-h"],               1, [], "--json needs a command: the usage text has no JSON document\n"),
    (["--all", "-I"],                1, BANNER[:1], "--all needs -U: it updates every module found\n"),
    (["-U", "--all", "-d", "1234"],  1, BANNER[:1], "--all updates every module found to its newest build: -b, -d, "
                                                    "-f and -t RECOVER do not apply\n"),
    (["-U", "--jobs", "2"],          1, BANNER[:1], "--jobs needs --all: it is the number of modules updated at "
                                                    "once\n"),
    (["--jobs", "0", "--jobs", "x"], 1, BANNER[:2], "Invalid number of jobs [0]: --jobs takes a number from 1 up\n"
                                                    "Invalid number of jobs [x]: --jobs takes a number from 1 up\n"
                                                    + SHORT),
    # A failure's cause on the line under it.
    (["-U", "-f", "/none.bird", "-d", "1234", "-u", "http://127.0.0.1:9/cgi/u"], 1,
     BANNER[:1] + ["Updating from Birdfile: /none.bird"],
     "Failed to load bird file\n  /none.bird: No such file or directory\n"),
]


@pytest.mark.parametrize("args,status,out,err", CASES, ids=[" ".join(c[0]) or "none" for c in CASES])
def test_command_line(updater, args, status, out, err):
    r = updater(*args)
    stderr = r.stderr
    start = stderr.find("\nApplication Usage:\n")
    if start >= 0:
        usage = stderr[start:]
        stderr = stderr[:start] + USAGE.get(hashlib.sha256(usage.encode()).hexdigest(), usage)
    assert (r.status, r.out_lines, stderr) == (status, out, err)


def test_store_directory_is_made_under_the_home_with_mode_0755(updater, home):
    assert updater("-Z", "1").status == 0
    store = home / ".orvantis" / "updater"
    assert store.is_dir()
    assert stat.S_IMODE(os.stat(store).st_mode) == 0o755


def test_store_directory_that_cannot_be_made_is_reported(updater, home):
    (home / ".orvantis").write_text("not a directory")
    r = updater("-Z", "1")
    assert r.status == 1
    assert r.err_lines == ["Could not find updater directory at %s" % STORE, "  %s: Not a directory" % STORE]
