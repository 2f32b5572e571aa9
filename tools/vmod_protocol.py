"""The module protocol as the virtual modules speak it: the packet size
limit, the host's control addresses, the command, UEI, upgrade-loader,
system-option and error codes, the UDP discovery group and ports, the
firmware version marker, and how versions and packets are packed.
"""

import re

MAX_PAYLOAD = 28

HOST_LINK_CONTROL = 0xAF     # 0xAF 0x01 0x01 start, 0xAF 0x01 0x00 stop
HOST_ADDRESS_QUERY = 0xAD    # 0xAD 0x00; six in one write = sync request

CMD_HEARTBEAT = 0x00
CMD_SYSTEM = 3
CMD_DEBUG = 23
CMD_CATALOGUE = 0x49         # option 0xFF of it is the build query
BUILD_QUERY_OPTION = 0xFF
CMD_UPGRADE = 0x5F

UEI_GET = 0x40
UEI_SET = 0x80
UEI_SET_ACK = 0xC0
UEI_INDEX_FROM_HOST = 0x20
UEI_INDEX_ERROR = 0x80

UPGRADE_INIT = 0
UPGRADE_DATA = 1
UPGRADE_LOAD = 2
UPGRADE_PREPARE = 3
UPGRADE_SUM = 4
UPGRADE_WRITE = 5
UPGRADE_REBOOT = 6
UPGRADE_STATUS = 7

SYS_MODULE = 1
SYS_ROUTER = 2
SYS_VERSION = 7
SYS_MODEL = 8
SYS_SERIAL = 9
SYS_RESET = 11
SYS_ROUTE_TO_ME = 20
SYS_FINGERPRINT = 39

ERR_INDEX_RANGE = 26
ERR_SHORT_COMMAND = 27
ERR_INVALID_ENTITY = 28
ERR_INVALID_OPTION = 29

DISCOVERY_GROUP = "232.2.2.2"
DISCOVERY_PORT = 9888
DISCOVERY_REPLY_PORT = 9889
DISCOVERY_REQUEST = 1

FIRMWARE_MARKER = re.compile(rb"KSFW-VERSION=(\d+)\.(\d+)\.(\d+);BUILD=(\d+);")


def pack_version(major, minor, patch):
    return ((major & 0xF) << 28) | ((minor & 0xF) << 24) | (patch & 0xFFFFFF)


def version_text(word):
    return "%d.%d.%d" % (word >> 28, (word >> 24) & 0xF, word & 0xFFFFFF)


def frame(address, payload):
    """Wire bytes of one packet: address, length, payload."""
    payload = bytes(payload)
    if len(payload) > MAX_PAYLOAD:
        raise ValueError("payload of %d bytes does not fit a packet" % len(payload))
    return bytes([address, len(payload)]) + payload


def hexbytes(data):
    return " ".join("%02X" % b for b in data)
