#ifndef KS_ADISCOVERY_H
#define KS_ADISCOVERY_H

#include <cstdint>

#include "aLinkSpec.h"

// TCP/IP discovery: the request goes to this group and port from every IPv4
// interface; modules answer to the listener port.
#define aDISCOVERY_GROUP "232.2.2.2"
#define aDISCOVERY_REQUEST_PORT 9888
#define aDISCOVERY_REPLY_PORT 9889
// The listener gives up this long after the last reply.
#define aDISCOVERY_RECEIVE_TIMEOUT_MS 2000
// ... and this long after the request at the latest, however many datagrams
// keep arriving.
#define aDISCOVERY_MAX_WINDOW_MS 10000

// Called once per module found with the enumerator's own spec (copy it to
// keep it). Set *found to count the module as a match; return false to stop.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* reference);

// Enumerates modules on USB or TCPIP (other types find nothing) in the
// caller's thread; returns how many specs the callback marked found. Never
// reports errors: unusable devices and interfaces are skipped. A TCPIP
// enumeration ends aDISCOVERY_RECEIVE_TIMEOUT_MS after the last reply, and at
// most aDISCOVERY_MAX_WINDOW_MS after the request; TCPIP enumerations of one
// process take turns on the reply port (the callback must not enumerate).
uint32_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* reference);

// How many of the maker's USB devices the calling thread's last USB
// enumeration could not open because access was denied (device node
// permissions): a module among them cannot be told apart from no module.
uint32_t aDiscovery_RefusedUSBDevices(void);

// Diagnostics of discovery (for example a reply port another program holds)
// go to this sink, one line of text each; there is none by default, as the
// library never prints. Not thread-safe: set it before discovering.
typedef void (*aDiscoveryMessageProc)(const char* text);
void aDiscovery_SetMessageSink(aDiscoveryMessageProc sink);

// New spec (destroy with aLinkSpec_Destroy) of the first module with that
// serial number, or null.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber);

// New spec of the first module whose serial number is not 0, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type);

// Parses one 16-byte discovery reply from the given sender (IPv4, network
// order) into spec; replies shorter than 13 bytes read as model 255. False
// for a reply too short to carry a serial number.
bool aDiscovery_ParseReply(const uint8_t* reply, int length, uint32_t senderAddress, linkSpec* spec);

#endif
