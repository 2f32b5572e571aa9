#include "Packets.h"

#include <algorithm>

aPacket MakePacket(uint8_t address, const std::vector<uint8_t>& data)
{
    aPacket p = {};
    p.tag = aPACKET_TAG;
    p.address = address;
    p.dataSize = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), p.data);
    p.curSize = static_cast<uint8_t>(data.size() + 2);
    return p;
}

std::vector<uint8_t> WireBytes(const aPacket* packet)
{
    // Built in one go: GCC's bounds check misreads an insert after a
    // two-element initialiser at -O2.
    std::vector<uint8_t> b(2u + packet->dataSize);
    b[0] = packet->address;
    b[1] = packet->dataSize;
    std::copy(packet->data, packet->data + packet->dataSize, b.begin() + 2);
    return b;
}
