#ifndef KS_UEI_H
#define KS_UEI_H

#include <cstddef>
#include <cstdint>

// Value types of a UEI.
enum ueiType : uint32_t {
    ueiVoid = 0,
    ueiByte = 1,
    ueiShort = 2,
    ueiInt = 4,
    ueiBytes = 5,
};

// Flag bits in the option and index bytes of a UEI packet.
#define ueiOPTION_GET 0x40u
#define ueiOPTION_SET 0x80u
#define ueiOPTION_ACK (ueiOPTION_SET | ueiOPTION_GET)  // a module's confirmation of a set
#define ueiOPTION_MASK 0x3Fu
#define ueiINDEX_REQUEST 0x20u  // set on every request from the host
#define ueiINDEX_ERROR 0x80u    // error reply: data[3] holds the aErr code
#define ueiINDEX_MASK 0x1Fu

// Byte-block chunks: at most 24 data bytes, then a sequence byte (bits 0..6
// the chunk number, bit 7 set while more chunks follow).
#define ueiBYTES_PER_CHUNK 24u
#define ueiSEQUENCE_MORE 0x80u

// One UEI request or reply.
struct uei {
    uint8_t address = 0;
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        struct {
            uint8_t* data;     // the bytes (sent or received into)
            uint8_t sequence;  // current sequence byte
            size_t size;       // count to send, or capacity to receive
            size_t* received;  // running count received (receive side)
        } bytes;
    } v{};
    uint32_t type = ueiVoid;
};

#endif
