#ifndef KS_TEST_PACKETS_H
#define KS_TEST_PACKETS_H

#include <cstdint>
#include <vector>

#include "aPacket.h"

// A complete packet for address with the given data (at most 28 bytes), as a
// value the queue and link calls copy from.
aPacket MakePacket(uint8_t address, const std::vector<uint8_t>& data);
// A packet as it goes on the wire: address, length, data.
std::vector<uint8_t> WireBytes(const aPacket* packet);

#endif
