#ifndef KS_ENTITY_H
#define KS_ENTITY_H

#include <cstddef>
#include <cstdint>

#include "Module.h"
#include "aError.h"
#include "uei.h"

namespace Orvantis {
namespace Keystrand {

// One entity (command number and index) of a module, accessed through UEI
// exchanges. Results: aErrResource without a module or link, aErrParam for a
// null out-pointer, aErrTimeout when no reply comes within 1000 ms, an error
// reply's own code, else the link's errors.
class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    aErr init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Get: request option|0x40, index|0x20; the reply sets type and value.
    aErr getUEI(uint8_t option, uei* value);
    // Set: request option|0x80 with the value; confirmed by option|0xC0.
    aErr setUEI(uint8_t option, uei* value);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* value);
    // A set without a value.
    aErr callUEI(uint8_t option);

    // Typed gets: the value is stored on aErrNone and aErrStreamStale.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);

    // Sets a byte block (sent in chunks of 24 bytes with sequence bytes).
    aErr setUEIBytes(uint8_t option, const uint8_t* bytes, size_t count);
    // Reads a byte block into buffer; *received counts the bytes kept. A chunk
    // that would overflow capacity gives aErrMemory (earlier chunks kept).
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
    // Divides *count by unitSize when it is a multiple (aErrNone), else 1.
    aErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits (1000 ms) for a reply to this option without sending a request.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t timeoutMs);
    // Drops queued replies of this entity's option.
    aErr drainUEI(uint8_t option);

    // Raw command channel to the module's address.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

protected:
    Module* module() const;
    uint8_t command() const;

private:
    aErr exchange(uint8_t requestOption, uint8_t replyOption, uei* value, const uint8_t* subindex);

    struct impl;
    impl* m_impl;
};

}  // namespace Keystrand
}  // namespace Orvantis

#endif
