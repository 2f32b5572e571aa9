#include "aDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "aKeystrand.h"
#include "aTime.h"
#include "ksusb_libusb.h"

namespace {

// Only serial strings of exactly this length are modules.
constexpr int kSerialLength = 8;
constexpr int kReplySize = 16;
constexpr uint8_t kUnknownModel = 255;

aDiscoveryMessageProc sMessageSink = nullptr;
// Per thread, so that enumerations on several threads each see their own.
thread_local uint32_t tRefusedUSB = 0;

uint32_t sEnumerateUSB(aDiscoveryModuleFoundProc callback, void* reference)
{
    const ksusb_libusb_api* usb = ksusb_libusb();
    libusb_context* context = nullptr;
    if (usb->init(&context) != 0) return 0;
    libusb_device** list = nullptr;
    ssize_t count = usb->get_device_list(context, &list);
    uint32_t matches = 0;
    bool go_on = true;
    tRefusedUSB = 0;
    for (ssize_t i = 0; i < count && go_on; ++i) {
        libusb_device* device = list[i];
        if (!is_keystrand_device(device)) continue;
        libusb_device_handle* handle = nullptr;
        const int opened = usb->open(device, &handle);
        if (opened == LIBUSB_ERROR_ACCESS) ++tRefusedUSB;
        if (opened != 0 || handle == nullptr) continue;
        struct libusb_device_descriptor descriptor;
        unsigned char text[32] = {0};
        int length = -1;
        if (usb->get_device_descriptor(device, &descriptor) == 0)
            length = usb->get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
        unsigned int serial = 0;
        char serialText[kSerialLength + 1] = {0};
        if (length == kSerialLength) memcpy(serialText, text, kSerialLength);
        if (length == kSerialLength && sscanf(serialText, "%X", &serial) == 1) {
            linkSpec* spec = aLinkSpec_Create(USB);
            if (spec != nullptr) {
                spec->serialNumber = serial;
                spec->model = descriptor.idProduct & 0xFFu;
                spec->usbId = serial;
                bool found = false;
                go_on = callback(spec, &found, reference);
                if (found) ++matches;
                aLinkSpec_Destroy(&spec);
            }
        }
        usb->close(handle);
    }
    if (list != nullptr) usb->free_device_list(list, 1);
    usb->exit(context);
    return matches;
}

// The reply port is bound without SO_REUSEADDR: two listeners sharing it
// would each receive only part of the replies and both miss modules without
// a word. A second discovery finds the port busy and says so instead.
int sListener()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    struct timeval timeout = {aDISCOVERY_RECEIVE_TIMEOUT_MS / 1000,
                              (aDISCOVERY_RECEIVE_TIMEOUT_MS % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    struct sockaddr_in any {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(aDISCOVERY_REPLY_PORT);
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        int e = errno;
        close(fd);
        if (sMessageSink != nullptr) {
            char text[160];
            snprintf(text, sizeof text, "discovery: cannot listen for replies on UDP port %d: %s%s\n",
                     aDISCOVERY_REPLY_PORT, strerror(e),
                     e == EADDRINUSE ? " (another discovery is running)" : "");
            sMessageSink(text);
        }
        return -1;
    }
    return fd;
}

// Sends the request out of one interface (or the default one for
// INADDR_ANY); true when it went out.
bool sSendRequest(in_addr_t interfaceAddress)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (interfaceAddress != htonl(INADDR_ANY)) {
        struct in_addr iface;
        iface.s_addr = interfaceAddress;
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
    }
    uint8_t request[kReplySize] = {1};
    struct sockaddr_in group {};
    group.sin_family = AF_INET;
    group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
    ssize_t sent = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group);
    close(fd);
    return sent == static_cast<ssize_t>(sizeof request);
}

bool sBroadcastRequest()
{
    struct ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return sSendRequest(htonl(INADDR_ANY));
    bool sent = false;
    for (struct ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        in_addr_t address = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (address == htonl(INADDR_LOOPBACK) || address == htonl(INADDR_ANY)) continue;
        if (sSendRequest(address)) sent = true;
    }
    freeifaddrs(interfaces);
    return sent;
}

// The threads of one process take turns on the reply port instead of
// finding it busy. Callbacks run under it and must not search themselves.
std::mutex sReplyPortMutex;

uint32_t sEnumerateTCPIP(aDiscoveryModuleFoundProc callback, void* reference)
{
    std::lock_guard<std::mutex> turn(sReplyPortMutex);
    int listener = sListener();
    bool sent = sBroadcastRequest();
    uint32_t matches = 0;
    if (listener >= 0 && sent) {
        // Each receive waits at most the listener's time-out, so the loop
        // ends that long after the last reply. Anything that keeps sending to
        // the reply port (a flood, stray datagrams, a chattering device)
        // would restart that time-out for ever, so the whole collection has a
        // deadline too: the last receive waits only for what is left of it.
        const uint64_t deadline = aTime_GetMSTicks() + aDISCOVERY_MAX_WINDOW_MS;
        for (;;) {
            const uint64_t now = aTime_GetMSTicks();
            if (now >= deadline) break;
            const uint64_t wait = std::min<uint64_t>(deadline - now, aDISCOVERY_RECEIVE_TIMEOUT_MS);
            struct timeval timeout = {static_cast<time_t>(wait / 1000),
                                      static_cast<suseconds_t>((wait % 1000) * 1000)};
            setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            uint8_t reply[kReplySize];
            reply[12] = kUnknownModel;
            struct sockaddr_in from {};
            socklen_t fromLength = sizeof from;
            ssize_t n =
                recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n <= 0) break;
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (spec == nullptr) break;
            bool go_on = true;
            if (aDiscovery_ParseReply(reply, static_cast<int>(n), from.sin_addr.s_addr, spec)) {
                bool found = false;
                go_on = callback(spec, &found, reference);
                if (found) ++matches;
            }
            aLinkSpec_Destroy(&spec);
            if (!go_on) break;
        }
    }
    if (listener >= 0) close(listener);
    return matches;
}

struct FindBySerial {
    uint32_t serial;  // 0: the first module with a non-zero serial number
    linkSpec* result;
};

bool sFindCallback(const linkSpec* spec, bool* found, void* reference)
{
    FindBySerial* f = static_cast<FindBySerial*>(reference);
    bool match = f->serial == 0 ? spec->serialNumber != 0 : spec->serialNumber == f->serial;
    if (!match) return true;
    f->result = aLinkSpec_Copy(spec);
    *found = true;
    return false;
}

}  // namespace

bool aDiscovery_ParseReply(const uint8_t* reply, int length, uint32_t senderAddress, linkSpec* spec)
{
    if (reply == nullptr || spec == nullptr || length < 8) return false;
    spec->type = TCPIP;
    spec->moduleAddress = reply[1];
    spec->ipPort = static_cast<uint32_t>(reply[2] | (reply[3] << 8));
    spec->serialNumber = static_cast<uint32_t>(reply[4]) | (static_cast<uint32_t>(reply[5]) << 8) |
                         (static_cast<uint32_t>(reply[6]) << 16) | (static_cast<uint32_t>(reply[7]) << 24);
    spec->model = length >= 13 ? reply[12] : kUnknownModel;
    spec->routerAddress = spec->moduleAddress;
    spec->routerSerialNumber = spec->serialNumber;
    spec->ipAddress = senderAddress;
    return true;
}

uint32_t aDiscovery_RefusedUSBDevices(void)
{
    return tRefusedUSB;
}

void aDiscovery_SetMessageSink(aDiscoveryMessageProc sink)
{
    sMessageSink = sink;
}

uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference)
{
    if (callback == nullptr) return 0;
    switch (type) {
        case USB:
            return sEnumerateUSB(callback, reference);
        case TCPIP:
            return sEnumerateTCPIP(callback, reference);
        default:
            return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber)
{
    FindBySerial f{serialNumber, nullptr};
    if (serialNumber == 0) return nullptr;
    aDiscovery_EnumerateModules(type, sFindCallback, &f);
    return f.result;
}

linkSpec* aDiscovery_FindFirstModule(linkType type)
{
    FindBySerial f{0, nullptr};
    aDiscovery_EnumerateModules(type, sFindCallback, &f);
    return f.result;
}
