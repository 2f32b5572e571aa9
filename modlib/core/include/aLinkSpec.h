#ifndef KS_ALINKSPEC_H
#define KS_ALINKSPEC_H

#include <cstdint>

#include "aError.h"

// Transport of a link.
typedef enum {
    INVALID = 0,  // no transport; also a link made on a caller's stream
    USB = 1,
    TCPIP = 2,
    SERIAL = 3
} linkType;

#define aLINKSPEC_PORTNAME_SIZE 256

// How to reach one module. Copied by value.
typedef struct linkSpec {
    uint32_t type;           // linkType
    uint32_t serialNumber;   // 0 = unknown
    uint32_t moduleAddress;  // even, 8-bit value
    uint32_t routerAddress;  // equal to moduleAddress when reached directly
    uint32_t routerSerialNumber;
    uint32_t model;  // 8-bit model number
    // Transport part. Only the fields of the record's type are meaningful; they
    // are kept apart (not overlaid) so a copy never reinterprets bytes.
    uint32_t usbId;                          // USB: the serial number again
    uint32_t ipAddress;                      // TCP/IP: IPv4, network byte order (as in sockaddr_in)
    uint32_t ipPort;                         // TCP/IP: TCP port, host order
    uint32_t baudRate;                       // serial
    char portName[aLINKSPEC_PORTNAME_SIZE];  // serial, NUL-terminated
} linkSpec;

// New record with the type set and everything else zero; null when out of
// memory. Destroy with aLinkSpec_Destroy.
linkSpec* aLinkSpec_Create(linkType type);
// New record equal to spec; null for a null spec or out of memory.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees and clears *spec; aErrParam for a null record.
aErr aLinkSpec_Destroy(linkSpec** spec);

#endif
