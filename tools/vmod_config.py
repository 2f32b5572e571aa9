"""The configuration of virtual modules: the module keys of --module,
--child and the JSON config file (MODULE_KEYS, with their parsers, defaults
and help), parse_module_spec for 'key=value,...' text, ModuleConfig for one
checked module and its children, and build_configs for a whole set.  Every
fault in a configuration is a ConfigError.
"""

import re
import socket

from toolutil import parse_int
from vmod_protocol import pack_version

# --------------------------------------------------------------------------
# Configuration

class ConfigError(Exception):
    pass


def _parse_int(text, lo=0, hi=0xFFFFFFFF):
    if isinstance(text, bool):
        raise ConfigError("expected a number, got %r" % (text,))
    if isinstance(text, int):
        value = text
    else:
        try:
            value = parse_int(text)
        except ValueError:
            raise ConfigError("expected a number, got %r" % (text,))
    if not lo <= value <= hi:
        raise ConfigError("%d is outside %d..%d" % (value, lo, hi))
    return value


def _parse_serial(text):
    if isinstance(text, int) and not isinstance(text, bool):
        value = text
    else:
        t = str(text).strip()
        if t.lower().startswith("0x"):
            t = t[2:]
        if not re.fullmatch(r"[0-9A-Fa-f]{1,8}", t):
            raise ConfigError("serial number %r is not 1 to 8 hexadecimal digits" % (text,))
        value = int(t, 16)
    if not 0 < value <= 0xFFFFFFFF:
        raise ConfigError("serial number must be a non-zero 32-bit value")
    return value


def _parse_address(text):
    value = _parse_int(text, 0, 255)
    if value == 0 or value & 1:
        raise ConfigError("module address %d is not even and non-zero" % value)
    return value


def _parse_addresses(text):
    if isinstance(text, list):
        items = text
    else:
        items = [t for t in str(text).split(":") if t.strip()]
    return sorted({_parse_address(t) for t in items})


def _parse_version(text):
    if isinstance(text, int) and not isinstance(text, bool):
        return _parse_int(text)
    t = str(text).strip()
    m = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)", t)
    if m:
        major, minor, patch = (int(g) for g in m.groups())
        if major > 15 or minor > 15 or patch > 0xFFFFFF:
            raise ConfigError("version %s does not fit the packed word" % t)
        return pack_version(major, minor, patch)
    return _parse_int(t)


def _parse_bool(text):
    if isinstance(text, bool):
        return text
    t = str(text).strip().lower()
    if t in ("1", "true", "yes", "on"):
        return True
    if t in ("0", "false", "no", "off"):
        return False
    raise ConfigError("expected 0/1, got %r" % (text,))


def _parse_words(text):
    items = text if isinstance(text, list) else str(text).split(":")
    if len(items) != 4:
        raise ConfigError("fingerprint needs 4 words (index 0 to 3)")
    return [_parse_int(t) for t in items]


def _choice(*choices):
    def parse(text):
        t = str(text).strip().lower()
        if t not in choices:
            raise ConfigError("expected one of %s, got %r" % ("/".join(choices), text))
        return t
    return parse


def _parse_uei_error(text):
    if isinstance(text, dict):
        parts = [text.get("command"), text.get("option"), text.get("code")]
        if None in parts:
            raise ConfigError("uei_error needs command, option and code")
    else:
        parts = str(text).split(":")
        if len(parts) != 3:
            raise ConfigError("uei_error is COMMAND:OPTION:CODE, got %r" % (text,))
    command = _parse_int(parts[0], 0, 255)
    option = _parse_int(parts[1], 0, 63)
    code = _parse_int(parts[2], 1, 255)
    return (command, option, code)


# name: (parser, default, help). Defaults None are filled in later.
MODULE_KEYS = {
    "serial": (_parse_serial, None, "serial number, hexadecimal (required)"),
    "model": (lambda t: _parse_int(t, 0, 255), 19, "model number (8-bit)"),
    "address": (_parse_address, 2, "module address (even, 2..254)"),
    "router": (_parse_address, None,
               "router address reported by system option 2 (default: own address; "
               "for a child the router's address)"),
    "version": (_parse_version, "1.0.0", "firmware version x.y.z or a packed 32-bit word"),
    "build": (lambda t: _parse_int(t), 1, "firmware build number (32-bit)"),
    "fingerprint": (_parse_words, [0, 0, 0, 0],
                    "system option 39 words for index 0..3, e.g. 0x1:0x2:0x3:0x4"),
    "ip": (str, None, "module's IPv4 address: TCP listens there and discovery replies come "
                      "from it (top level only)"),
    "listen": (str, None, "TCP bind address (default: ip, else 127.0.0.1)"),
    "port": (lambda t: _parse_int(t, 0, 65535), 0, "TCP port; 0 picks a free one"),
    "discovery": (_parse_bool, True, "answer UDP discovery requests (needs ip)"),
    "hb_ms": (lambda t: _parse_int(t, 0, 600000), 0,
              "heartbeat interval in ms; 0 sends none"),
    "block_size": (lambda t: _parse_int(t, 0, 0xFFFF), 512,
                   "block size in PREPARE replies (0 is a fault case)"),
    "load_base": (lambda t: _parse_int(t), 0, "load base reported by INIT"),
    "load_mode": (_choice("drop", "stay"), "drop",
                  "LOAD: 'drop' = no reply, leave the link, announce 5F 02 on the next "
                  "connection; 'stay' = reply 5F 02 and keep the link"),
    "load_offline_ms": (lambda t: _parse_int(t, 0, 60000), 1000,
                        "refuse connections this long after LOAD in drop mode"),
    "reboot_offline_ms": (lambda t: _parse_int(t, 0, 60000), 1500,
                          "refuse connections this long after REBOOT or reset"),
    "answer_absent": (lambda t: _parse_int(t, 0, 255), 0,
                      "router: answer packets for absent addresses with an error reply "
                      "carrying this code; 0 keeps them silent"),
    "silent_addresses": (_parse_addresses, [],
                         "router: addresses never answered even with answer_absent, "
                         "e.g. 8:10"),
    # fault switches
    "bad_ack": (_choice("none", "once", "always"), "none",
                "fault: DATA acknowledged with a wrong count (data discarded)"),
    "bad_sum": (_choice("none", "once", "always"), "none",
                "fault: SUM reply carries sum + 1"),
    "prepare_status": (lambda t: _parse_int(t, 0, 255), 0,
                       "fault: status byte of PREPARE replies"),
    "write_status": (lambda t: _parse_int(t, 0, 255), 0,
                     "fault: status byte of WRITE replies (nothing is written)"),
    "no_reboot_drop": (_parse_bool, False, "fault: stay on the link after REBOOT"),
    "drop_after_data": (lambda t: _parse_int(t, 0, 0xFFFFFFFF), 0,
                        "fault: reset the link instead of answering the Nth DATA packet "
                        "(once; 0 = off)"),
    "drop_offline_ms": (lambda t: _parse_int(t, 0, 60000), 0,
                        "refuse connections this long after the drop_after_data reset"),
    "silent": (_parse_bool, False, "fault: take packets but never answer"),
    "build_error": (lambda t: _parse_int(t, 0, 255), 0,
                    "fault: answer the build query with an error reply of this code"),
    "uei_error": (_parse_uei_error, None,
                  "fault: COMMAND:OPTION:CODE answered with an error reply "
                  "(repeatable)"),
}

TOP_LEVEL_ONLY = ("ip", "listen", "port", "discovery", "hb_ms", "answer_absent",
                  "silent_addresses")


def parse_module_spec(text):
    """'key=value,key=value' (repeated uei_error keys collect) -> dict."""
    result = {}
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        if "=" not in item:
            raise ConfigError("%r is not key=value" % item)
        key, value = item.split("=", 1)
        key = key.strip()
        if key == "uei_error":
            result.setdefault("uei_error", []).append(value.strip())
        elif key in result:
            raise ConfigError("key %s given twice" % key)
        else:
            result[key] = value.strip()
    return result


class ModuleConfig:
    def __init__(self, raw, parent=None):
        unknown = set(raw) - set(MODULE_KEYS) - {"children"}
        if unknown:
            raise ConfigError("unknown key(s): %s" % ", ".join(sorted(unknown)))
        if "serial" not in raw:
            raise ConfigError("every module needs serial=")
        if parent is not None:
            bad = [k for k in TOP_LEVEL_ONLY if k in raw]
            if bad:
                raise ConfigError("child modules have no %s" % ", ".join(bad))
            if "children" in raw:
                raise ConfigError("child modules cannot have children")
        for key, (parse, default, _) in MODULE_KEYS.items():
            if key == "uei_error":
                items = raw.get("uei_error", [])
                if not isinstance(items, list):
                    items = [items]
                try:
                    value = {}
                    for it in items:
                        c, o, code = _parse_uei_error(it)
                        value[(c, o)] = code
                except ConfigError as e:
                    raise ConfigError("uei_error: %s" % e)
            elif key in raw:
                try:
                    value = parse(raw[key])
                except ConfigError as e:
                    raise ConfigError("%s: %s" % (key, e))
            else:
                value = None if default is None else parse(default)
            setattr(self, key, value)
        if self.router is None:
            self.router = parent.address if parent is not None else self.address
        if self.ip is not None:
            try:
                socket.inet_aton(self.ip)
            except OSError:
                raise ConfigError("ip %r is not an IPv4 address" % self.ip)
        if self.listen is None and parent is None:
            self.listen = self.ip or "127.0.0.1"
        self.children = []
        for child in raw.get("children", []):
            self.children.append(ModuleConfig(child, self))
        addresses = [self.address] + [c.address for c in self.children]
        if len(set(addresses)) != len(addresses):
            raise ConfigError("module %08X: router and children share an address" % self.serial)

    @property
    def serial_text(self):
        return "%08X" % self.serial


def build_configs(raw_modules):
    configs = [ModuleConfig(raw) for raw in raw_modules]
    serials = [c.serial for c in configs] + [k.serial for c in configs for k in c.children]
    if len(set(serials)) != len(serials):
        raise ConfigError("serial numbers must be unique")
    ports = [c.port for c in configs if c.port]
    if len(set(ports)) != len(ports):
        raise ConfigError("fixed ports must be unique")
    if not configs:
        raise ConfigError("no modules configured (use --module or --config)")
    return configs
