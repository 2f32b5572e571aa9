#include "Entity.h"

#include "Link.h"

namespace Orvantis {
namespace Keystrand {

struct EntityClass::impl {
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl) {}

EntityClass::~EntityClass()
{
    delete m_impl;
}

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index)
{
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
    return aErrNone;
}

uint8_t EntityClass::getIndex() const
{
    return m_impl->index;
}
Module* EntityClass::module() const
{
    return m_impl->module;
}
uint8_t EntityClass::command() const
{
    return m_impl->command;
}

aErr EntityClass::exchange(uint8_t requestOption, uint8_t replyOption, uei* value, const uint8_t* subindex)
{
    if (value == nullptr) return aErrParam;
    Module* m = m_impl->module;
    if (m == nullptr || m->getLink() == nullptr) return aErrResource;
    Link* link = m->getLink();

    value->address = m->getModuleAddress();
    value->command = m_impl->command;
    value->option = requestOption;
    value->index = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    aErr err = subindex != nullptr ? link->sendUEI(*value, *subindex) : link->sendUEI(*value);
    if (err != aErrNone) return err;

    // The request itself becomes the template of the awaited reply; a byte
    // block that went out is confirmed by a plain reply.
    if (value->type == ueiBytes) value->type = ueiVoid;
    value->option = replyOption;
    value->index = m_impl->index;
    return link->receiveUEI(value->address, value->command, replyOption, m_impl->index, value);
}

aErr EntityClass::getUEI(uint8_t option, uei* value)
{
    // Streamed values are not supported: every get asks the module.
    return exchange(static_cast<uint8_t>(option | ueiOPTION_GET), option, value, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uei* value)
{
    return exchange(static_cast<uint8_t>(option | ueiOPTION_SET),
                    static_cast<uint8_t>(option | ueiOPTION_ACK), value, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* value)
{
    if (value == nullptr) return aErrParam;
    if (value->type == ueiBytes) return aErrParam;
    return exchange(static_cast<uint8_t>(option | ueiOPTION_SET),
                    static_cast<uint8_t>(option | ueiOPTION_ACK), value, &subindex);
}

aErr EntityClass::callUEI(uint8_t option)
{
    uei value;
    return setUEI(option, &value);
}

namespace {

template <typename T>
aErr sStoreTyped(aErr err, const uei& v, T* out)
{
    if (err == aErrNone || err == aErrStreamStale) {
        switch (v.type) {
            case ueiByte:
                *out = static_cast<T>(v.v.byteVal);
                break;
            case ueiShort:
                *out = static_cast<T>(v.v.shortVal);
                break;
            case ueiInt:
                *out = static_cast<T>(v.v.intVal);
                break;
            default:
                *out = 0;
                break;
        }
    }
    return err;
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value)
{
    if (value == nullptr) return aErrParam;
    uei v;
    return sStoreTyped(getUEI(option, &v), v, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value)
{
    if (value == nullptr) return aErrParam;
    uei v;
    return sStoreTyped(getUEI(option, &v), v, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value)
{
    if (value == nullptr) return aErrParam;
    uei v;
    return sStoreTyped(getUEI(option, &v), v, value);
}

// The subindex forms carry the subindex as the request's one value byte.
aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value)
{
    if (value == nullptr) return aErrParam;
    uei v;
    v.type = ueiByte;
    v.v.byteVal = subindex;
    return sStoreTyped(getUEI(option, &v), v, value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value)
{
    if (value == nullptr) return aErrParam;
    uei v;
    v.type = ueiByte;
    v.v.byteVal = subindex;
    return sStoreTyped(getUEI(option, &v), v, value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value)
{
    if (value == nullptr) return aErrParam;
    uei v;
    v.type = ueiByte;
    v.v.byteVal = subindex;
    return sStoreTyped(getUEI(option, &v), v, value);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value)
{
    uei v;
    v.type = ueiByte;
    v.v.byteVal = value;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value)
{
    uei v;
    v.type = ueiShort;
    v.v.shortVal = value;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value)
{
    uei v;
    v.type = ueiInt;
    v.v.intVal = value;
    return setUEI(option, &v);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value)
{
    uei v;
    v.type = ueiByte;
    v.v.byteVal = value;
    return setUEI(option, subindex, &v);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value)
{
    uei v;
    v.type = ueiInt;
    v.v.intVal = value;
    return setUEI(option, subindex, &v);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* bytes, size_t count)
{
    if (bytes == nullptr && count > 0) return aErrParam;
    uei v;
    v.type = ueiBytes;
    v.v.bytes.data = const_cast<uint8_t*>(bytes);
    v.v.bytes.size = count;
    return setUEI(option, &v);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received)
{
    if (buffer == nullptr || received == nullptr || capacity == 0) return aErrParam;
    Module* m = m_impl->module;
    if (m == nullptr || m->getLink() == nullptr) return aErrResource;
    Link* link = m->getLink();
    *received = 0;

    uei request;
    request.address = m->getModuleAddress();
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.index = static_cast<uint8_t>(m_impl->index | ueiINDEX_REQUEST);
    aErr err = link->sendUEI(request);
    if (err != aErrNone) return err;

    // Chunks arrive numbered from 0; a chunk with another number stays
    // queued, and bit 7 of the sequence byte says more follow.
    for (int expected = 0; expected < 128; ++expected) {
        uei chunk;
        chunk.address = request.address;
        chunk.command = m_impl->command;
        chunk.option = option;
        chunk.index = m_impl->index;
        chunk.type = ueiBytes;
        chunk.v.bytes.data = buffer;
        chunk.v.bytes.size = capacity;
        chunk.v.bytes.received = received;
        err = link->receiveUEI(chunk.address, chunk.command, option, m_impl->index, &chunk, expected);
        if (err != aErrNone) return err;
        if ((chunk.v.bytes.sequence & ueiSEQUENCE_MORE) == 0) return aErrNone;
    }
    return aErrOverrun;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize)
{
    if (count == nullptr || unitSize == 0 || *count % unitSize != 0) return static_cast<aErr>(1);
    *count /= unitSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t)
{
    if (value == nullptr) return aErrParam;
    Module* m = m_impl->module;
    if (m == nullptr || m->getLink() == nullptr) return aErrResource;
    uei v;
    v.address = m->getModuleAddress();
    v.command = m_impl->command;
    v.option = option;
    v.index = m_impl->index;
    aErr err = m->getLink()->receiveUEI(v.address, v.command, option, m_impl->index, &v);
    return sStoreTyped(err, v, value);
}

aErr EntityClass::drainUEI(uint8_t option)
{
    Module* m = m_impl->module;
    if (m == nullptr || m->getLink() == nullptr) return aErrResource;
    m->getLink()->dropMatchingUEIPackets(m->getModuleAddress(), m_impl->command, option, m_impl->index);
    return aErrNone;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data)
{
    Module* m = m_impl->module;
    if (m == nullptr || m->getLink() == nullptr) return aErrResource;
    return m->getLink()->sendPacket(m->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    Module* m = m_impl->module;
    if (m == nullptr || m->getLink() == nullptr) return aErrResource;
    return m->getLink()->receivePacket(m->getModuleAddress(), match, length, buffer);
}

}  // namespace Keystrand
}  // namespace Orvantis
