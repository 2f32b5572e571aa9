#ifndef KS_AUEI_H
#define KS_AUEI_H

#include <cstddef>
#include <cstdint>

// Protocol values travel big-endian (most significant byte first).

// 16-bit value of bytes[0] (high) and bytes[1].
uint16_t aUEI_RetrieveShort(const uint8_t* bytes);
// Writes value into bytes[0..1], high byte first.
void aUEI_StoreShort(uint8_t* bytes, uint16_t value);
// 32-bit value of bytes[0..3], most significant first.
uint32_t aUEI_RetrieveInt(const uint8_t* bytes);
// Writes value into bytes[0..3], most significant first.
void aUEI_StoreInt(uint8_t* bytes, uint32_t value);
// Converts count 32-bit words in place from wire order to host order; returns
// count.
size_t aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

#endif
