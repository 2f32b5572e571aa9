"""The command line: banners, usage, option errors and their exit statuses."""
import os
import stat

import pytest

from conftest import GOLDEN_DIR
from netns import passwd_home

BANNER = [
    "Updater (Version: 1.1 Apr 26 2023)",
    "(Copyright (c) 2023 Orvantis, Inc.)",
    "[Keystrand Release: 2.9.29]",
]
SHORT_USAGE = (GOLDEN_DIR / "usage_short.txt").read_text()
FULL_USAGE = (GOLDEN_DIR / "usage_full.txt").read_text()


def test_no_arguments_prints_banner_and_short_usage(updater):
    r = updater()
    assert r.status == 0
    assert r.out_lines == BANNER
    assert r.stderr == SHORT_USAGE


@pytest.mark.parametrize("word", ["-h", "-H", "--help", "--he", "--"])
def test_help_prints_full_usage(updater, word):
    r = updater(word)
    assert r.status == 0
    assert r.out_lines == BANNER
    assert r.stderr == FULL_USAGE


def test_help_after_an_error_reports_it_then_shows_help(updater):
    r = updater("-d", "12G4", "-h")
    assert r.status == 0
    assert r.stderr == "Invalid serial number obtained from argument [12G4]\n" + FULL_USAGE
    assert r.out_lines == BANNER


def test_help_stops_parsing_before_a_later_error(updater):
    r = updater("-h", "-d", "12G4")
    assert r.status == 0
    assert r.stderr == FULL_USAGE


OPTION_ERRORS = [
    (["-OVER", "-U", "-d", "1234"], "Invalid format for firmware update override parameter [-OVER]"),
    (["-O"], "Invalid format for firmware update override parameter [-O]"),
    (["-Y"], "Unhandled command: [-Y]"),
    (["-d", "0x"], "Invalid serial number obtained from argument []"),
    (["-d", "0"], "Invalid serial number obtained from argument [0]"),
    (["-d", "0x12Z4"], "Invalid serial number obtained from argument [12Z4]"),
    (["-r", "xyz"], "Invalid router serial number obtained from argument [xyz]"),
    (["-t", "usb", "-D"], "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER"),
]


@pytest.mark.parametrize("args,message", OPTION_ERRORS)
def test_option_error_exits_1_with_banner_and_short_usage(updater, args, message):
    r = updater(*args)
    assert r.status == 1
    assert r.stderr == message + "\n" + SHORT_USAGE
    assert r.out_lines == BANNER[:2]


def test_several_option_errors_are_all_reported(updater):
    r = updater("-Y", "-d", "zz", "-t", "bad")
    assert r.status == 1
    assert r.err_lines[:4] == [
        "Unhandled command: [-Y]",
        "Invalid serial number obtained from argument [zz]",
        "Invalid transport type:[bad]",
        "Must be one of the following: USB, TCPIP, RECOVER",
    ]


def test_unprocessed_log_mask_characters_are_reported_but_not_an_error(updater):
    r = updater("-X", "12abc")
    assert r.status == 0
    assert r.stderr.startswith('Invalid format for "-X" parameter, unprocessed characters [abc]\n')
    assert r.stderr.endswith(SHORT_USAGE)


@pytest.mark.parametrize("args", [["-Q", "-I"], ["-I", "-d"], ["-Z", "-D"], ["-e", "-U", "-I"]])
def test_unknown_options_missing_arguments_and_swallowed_words_are_silent(updater, args):
    r = updater(*args)
    assert r.status == 0
    # -I is the one command left standing; it lists the (empty) store.
    inventory = []
    if "-I" in args:
        inventory = ["No devices in the store at %s" % os.path.join(passwd_home(), ".orvantis", "updater")]
    assert r.out_lines == [BANNER[0]] + inventory
    assert r.stderr == ""


COMMAND_ERRORS = [
    (["-N"], ["Must specify the serial port used for connecting"]),
    (["-G"], ["-G must specify a specific device via -d", "--help for usage information"]),
    (["-U"], ["Must specify the specific device to be updated"]),
    (["-U", "-t", "TCPIP"], ["Must specify the specific device to be updated"]),
]


@pytest.mark.parametrize("args,messages", COMMAND_ERRORS)
def test_command_without_its_required_parameter(updater, args, messages):
    r = updater(*args)
    assert r.status == 1
    assert r.err_lines == messages
    assert r.out_lines == [BANNER[0]]


def test_list_builds_without_device_shows_short_usage(updater):
    r = updater("-B")
    assert r.status == 1
    assert r.stderr == "Error must supply a serial number for the List Builds command\n" + SHORT_USAGE


def test_updater_directory_is_created_with_mode_0755(updater, home):
    r = updater("-Z", "1")
    assert r.status == 0
    store = home / ".orvantis" / "updater"
    assert store.is_dir()
    assert stat.S_IMODE(os.stat(store).st_mode) == 0o755


def test_updater_directory_that_cannot_be_made_is_reported(updater, home):
    (home / ".orvantis").write_text("not a directory")
    r = updater("-Z", "1")
    assert r.status == 1
    expected = os.path.join(passwd_home(), ".orvantis", "updater")
    assert r.err_lines == ["Could not find updater directory at %s" % expected]
