#ifndef KS_APACKET_H
#define KS_APACKET_H

#include <cstdint>

#include "aError.h"

#define aPACKET_MAX_DATA 28
#define aPACKET_TAG 0xBEEF

// One module-protocol packet. On the wire: address byte, length byte
// (0..28), then the payload; no marker, checksum or terminator. A fixed-size
// record, copied by value between queues.
typedef struct aPacket {
    uint16_t tag;      // aPACKET_TAG while valid
    uint8_t curSize;   // wire bytes taken in so far (address and length included)
    uint8_t address;   // even and non-zero for packets from a module
    uint8_t dataSize;  // payload length
    uint8_t data[aPACKET_MAX_DATA];
} aPacket;

// Returns true when the filter takes (matches or consumes) the packet.
typedef bool (*aPacketFilterProc)(const aPacket* packet, void* reference);

// New empty packet (tag set, everything else 0), or null. Free with
// aPacket_Destroy.
aPacket* aPacket_Create(void);

// New complete packet with the given address and payload (curSize = length +
// 2); null for length above 28, a null data pointer with length > 0, or no
// memory.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// New packet with the same address and payload, or null for an invalid one.
aPacket* aPacket_Copy(const aPacket* packet);

// data[0] (dataSize >= 1); data[1] & 0x3F (dataSize >= 2); data[2] & 0x1F
// (dataSize >= 3). aErrParam for a null out-pointer, aErrPacket for an
// invalid or too short packet.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears curSize, address, dataSize and the payload; aErrParam if invalid.
aErr aPacket_Reset(aPacket* packet);

// Takes one received wire byte. aErrParam for an invalid packet; aErrOverrun
// beyond 30 bytes; aErrPacket for a zero or odd address byte, a length byte of
// 29 or more, or a byte beyond the announced payload.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when curSize = dataSize + 2 on a valid packet.
bool aPacket_IsComplete(const aPacket* packet);

// Frees *packet and clears the pointer; aErrParam for null.
aErr aPacket_Destroy(aPacket** packet);

#endif
