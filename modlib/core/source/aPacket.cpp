#include "aPacket.h"

#include <cstdlib>
#include <cstring>

#define aPACKET_MAX_WIRE (aPACKET_MAX_DATA + 2)

namespace {

bool sValid(const aPacket* packet)
{
    return packet != nullptr && packet->tag == aPACKET_TAG;
}

}  // namespace

aPacket* aPacket_Create(void)
{
    aPacket* packet = static_cast<aPacket*>(calloc(1, sizeof(aPacket)));
    if (packet != nullptr) packet->tag = aPACKET_TAG;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data)
{
    if (length > aPACKET_MAX_DATA || (data == nullptr && length > 0)) return nullptr;
    aPacket* packet = aPacket_Create();
    if (packet == nullptr) return nullptr;
    packet->address = address;
    packet->dataSize = length;
    if (length > 0) memcpy(packet->data, data, length);
    packet->curSize = static_cast<uint8_t>(length + 2);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet)
{
    if (!sValid(packet) || packet->dataSize > aPACKET_MAX_DATA) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd)
{
    if (cmd == nullptr) return aErrParam;
    if (!sValid(packet) || packet->dataSize < 1) return aErrPacket;
    *cmd = packet->data[0];
    return aErrNone;
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option)
{
    if (option == nullptr) return aErrParam;
    if (!sValid(packet) || packet->dataSize < 2) return aErrPacket;
    *option = packet->data[1] & 0x3F;
    return aErrNone;
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index)
{
    if (index == nullptr) return aErrParam;
    if (!sValid(packet) || packet->dataSize < 3) return aErrPacket;
    *index = packet->data[2] & 0x1F;
    return aErrNone;
}

aErr aPacket_Reset(aPacket* packet)
{
    if (!sValid(packet)) return aErrParam;
    packet->curSize = 0;
    packet->address = 0;
    packet->dataSize = 0;
    memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte)
{
    if (!sValid(packet)) return aErrParam;
    if (packet->curSize > aPACKET_MAX_WIRE) return aErrOverrun;  // saturated, never wraps
    packet->curSize++;
    if (packet->curSize > aPACKET_MAX_WIRE) return aErrOverrun;
    if (packet->address == 0) {
        // Module addresses are even and non-zero; odd ones are the host's.
        if (byte == 0 || (byte & 1) != 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0 && packet->curSize == 2) {
        if (byte > aPACKET_MAX_DATA) return aErrPacket;
        packet->dataSize = byte;
        return aErrNone;
    }
    if (packet->curSize > packet->dataSize + 2) return aErrPacket;
    packet->data[packet->curSize - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet)
{
    return sValid(packet) && packet->curSize == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet)
{
    if (packet == nullptr || *packet == nullptr) return aErrParam;
    (*packet)->tag = 0;
    free(*packet);
    *packet = nullptr;
    return aErrNone;
}
