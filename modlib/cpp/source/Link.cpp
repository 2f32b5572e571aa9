#include "Link.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "aDiscovery.h"
#include "aLogger.h"
#include "aPacket.h"
#include "aTime.h"

namespace Orvantis {
namespace Keystrand {

namespace {

// connect() polls a starting link every 10 ms for at most 2 s.
constexpr int kStartPolls = 200;
constexpr uint32_t kStartPollMs = 10;
// Odd address of the module address query.
constexpr uint8_t kAddressQuery = 0xAD;
constexpr size_t kMaxNameLength = 1024;

struct PacketMatch {
    const uint8_t* bytes;
    uint8_t length;
};

bool sMatchLeadingBytes(const aPacket* packet, void* reference)
{
    const PacketMatch* m = static_cast<const PacketMatch*>(reference);
    if (packet->dataSize < m->length) return false;
    return m->length == 0 || memcmp(packet->data, m->bytes, m->length) == 0;
}

bool sEmptyPacket(const aPacket* packet, void*)
{
    return packet->dataSize == 0;
}

struct UEIMatch {
    uint8_t address;
    uint8_t command;
    uint8_t option;
    uint8_t index;
    int sequence;  // -1: any
};

bool sMatchUEI(const aPacket* packet, void* reference)
{
    const UEIMatch* m = static_cast<const UEIMatch*>(reference);
    if (packet->address != m->address || packet->dataSize < 3) return false;
    if (packet->data[0] != m->command || packet->data[1] != m->option) return false;
    if ((packet->data[2] & ueiINDEX_MASK) != (m->index & ueiINDEX_MASK)) return false;
    if (m->sequence < 0 || (packet->data[2] & ueiINDEX_ERROR)) return true;
    if (packet->dataSize < 4) return false;
    return (packet->data[packet->dataSize - 1] & 0x7F) == m->sequence;
}

bool sMatchUEIAnyOption(const aPacket* packet, void* reference)
{
    const UEIMatch* m = static_cast<const UEIMatch*>(reference);
    return packet->address == m->address && packet->dataSize >= 3 && packet->data[0] == m->command &&
           (packet->data[1] & ueiOPTION_MASK) == (m->option & ueiOPTION_MASK) &&
           (packet->data[2] & ueiINDEX_MASK) == (m->index & ueiINDEX_MASK);
}

// Log reader run on the logger thread: one record per call, "%d %s " with
// length and direction, then the bytes.
void sLogReader(aFileRef* file, uint32_t reference)
{
    uint8_t buffer[64];
    uint8_t direction = 0;
    size_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(reference, &direction, &length, buffer) != aErrNone) {
        aTime_MSSleep(5);
        return;
    }
    aFile_Printf(file, "%d %s ", static_cast<int>(length), direction == 1 ? ">" : "<");
    for (size_t i = 0; i < length; ++i) {
        if (direction == 3)
            aFile_Printf(file, "%c", buffer[i]);
        else
            aFile_Printf(file, "0x%X ", buffer[i]);
    }
    aFile_Printf(file, "\r\n");
}

}  // namespace

struct Link::impl {
    Link* owner = nullptr;
    aLinkRef linkId = 0;
    // Reads the core link's log by id, so it never outlives that link: it is
    // destroyed before the link goes and made anew for the next one.
    aLogger* logger = nullptr;
    std::string logPath;  // non-empty while the packet log is wanted
    std::string name;
    bool hasSpec = false;
    linkSpec spec{};
};

Link::Link(const char* name) : m_impl(new impl)
{
    m_impl->owner = this;
    if (name != nullptr) m_impl->name.assign(name, strnlen(name, kMaxNameLength));
}

Link::Link(const linkSpec& spec, const char* name) : Link(name)
{
    m_impl->spec = spec;
    m_impl->hasSpec = true;
}

Link::~Link()
{
    disconnect();
    delete m_impl;
}

aErr Link::setLinkSpecifier(const linkSpec& spec)
{
    if (isConnected()) return aErrBusy;
    m_impl->spec = spec;
    m_impl->hasSpec = true;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const
{
    if (spec == nullptr) return aErrParam;
    if (!m_impl->hasSpec) return aErrNotFound;
    *spec = m_impl->spec;
    return aErrNone;
}

const char* Link::getName() const
{
    return m_impl->name.c_str();
}

aLinkRef Link::getLinkId() const
{
    return m_impl->linkId;
}

namespace {

struct FirstOfModel {
    uint8_t model;
    linkSpec* found;
};

bool sFirstOfModel(const linkSpec* spec, bool* found, void* reference)
{
    FirstOfModel* f = static_cast<FirstOfModel*>(reference);
    if (f->model != 0 && spec->model != f->model) return true;
    f->found = aLinkSpec_Copy(spec);
    *found = true;
    return false;
}

}  // namespace

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model)
{
    linkSpec* spec = nullptr;
    if (serialNumber != 0) {
        spec = aDiscovery_FindModule(type, serialNumber);
    } else {
        FirstOfModel f{model, nullptr};
        aDiscovery_EnumerateModules(type, sFirstOfModel, &f);
        spec = f.found;
    }
    if (spec == nullptr) {
        // A module whose device node the user may not open looks absent.
        return type == USB && aDiscovery_RefusedUSBDevices() > 0 ? aErrPermission : aErrNotFound;
    }
    aErr err = setLinkSpecifier(*spec);
    aLinkSpec_Destroy(&spec);
    if (err != aErrNone) return err;
    return connect();
}

aErr Link::connect()
{
    if (m_impl->linkId == 0) {
        if (!m_impl->hasSpec) return aErrConfiguration;
        const linkSpec& s = m_impl->spec;
        switch (s.type) {
            case USB:
                m_impl->linkId = aLink_CreateUSB(s.serialNumber);
                break;
            case TCPIP:
                m_impl->linkId = aLink_CreateTCPIP(s.ipAddress, s.ipPort);
                break;
            case SERIAL:
                m_impl->linkId = aLink_CreateSerial(s.serialNumber, s.portName, s.baudRate);
                break;
            default:
                break;
        }
        if (m_impl->linkId == 0) return aErrConnection;
        if (!m_impl->logPath.empty()) enablePacketLog(m_impl->logPath.c_str());
    }

    linkStatus status = aLink_GetStatus(m_impl->linkId);
    switch (status) {
        case STOPPED:
        case INITIALIZING:
        case SYNCING:
            for (int i = 0; i < kStartPolls && status != RUNNING; ++i) {
                aTime_MSSleep(kStartPollMs);
                status = aLink_GetStatus(m_impl->linkId);
            }
            return status == RUNNING ? aErrNone : aErrConnection;
        case RUNNING:
            return aErrNone;
        case STOPPING:
            return aErrBusy;
        case INVALID_LINK_STREAM:
        case IO_ERROR:
        case PACKET_ERROR:
            return aErrConnection;
        default:
            return aErrDuplicate;
    }
}

bool Link::isConnected() const
{
    linkStatus status = getStatus();
    return status == RUNNING || status == INITIALIZING;
}

linkStatus Link::getStatus() const
{
    if (m_impl->linkId == 0) return PACKET_ERROR;
    return aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect()
{
    if (m_impl->logger != nullptr) aLogger_Destroy(&m_impl->logger);
    if (m_impl->linkId != 0) aLink_Destroy(&m_impl->linkId);
    m_impl->linkId = 0;
    return aErrNone;
}

aErr Link::reset()
{
    aLink_Reset(m_impl->linkId);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address)
{
    if (address == nullptr) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    aPacket* query = aPacket_CreateWithData(kAddressQuery, 0, nullptr);
    if (query == nullptr) return aErrMemory;
    aErr err = aLink_PutPacket(m_impl->linkId, query);
    aPacket_Destroy(&query);
    if (err != aErrNone) return aErrNotReady;
    aPacket* reply = aLink_AwaitFirst(m_impl->linkId, sEmptyPacket, nullptr, kReplyTimeoutMs);
    if (reply == nullptr) return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

namespace {

aErr sCheckAddress(uint8_t address)
{
    return (address == 0 || (address & 1)) ? aErrPacket : aErrNone;
}

// Appends value bytes of a scalar UEI, most significant first.
uint8_t sPutValue(const uei& request, uint8_t* out)
{
    switch (request.type) {
        case ueiByte:
            out[0] = request.v.byteVal;
            return 1;
        case ueiShort:
            out[0] = static_cast<uint8_t>(request.v.shortVal >> 8);
            out[1] = static_cast<uint8_t>(request.v.shortVal);
            return 2;
        case ueiInt:
            out[0] = static_cast<uint8_t>(request.v.intVal >> 24);
            out[1] = static_cast<uint8_t>(request.v.intVal >> 16);
            out[2] = static_cast<uint8_t>(request.v.intVal >> 8);
            out[3] = static_cast<uint8_t>(request.v.intVal);
            return 4;
        default:
            return 0;
    }
}

}  // namespace

aErr Link::sendUEI(const uei& request)
{
    if (!isConnected()) return aErrConnection;
    aErr err = sCheckAddress(request.address);
    if (err != aErrNone) return err;

    uint8_t payload[aPACKET_MAX_DATA];
    payload[0] = request.command;
    payload[1] = request.option;
    payload[2] = request.index;

    if (request.type != ueiBytes) {
        uint8_t size = static_cast<uint8_t>(3 + sPutValue(request, payload + 3));
        aPacket* packet = aPacket_CreateWithData(request.address, size, payload);
        if (packet == nullptr) return aErrMemory;
        err = aLink_PutPacket(m_impl->linkId, packet);
        aPacket_Destroy(&packet);
        return err;
    }

    // A byte block goes as chunks of at most 24 bytes with a sequence byte;
    // an empty block is one packet holding only the sequence byte 0.
    size_t total = request.v.bytes.size;
    size_t sent = 0;
    uint8_t chunk = 0;
    do {
        size_t n = total - sent < ueiBYTES_PER_CHUNK ? total - sent : ueiBYTES_PER_CHUNK;
        if (n > 0) memcpy(payload + 3, request.v.bytes.data + sent, n);
        sent += n;
        uint8_t sequence = static_cast<uint8_t>(chunk & 0x7F);
        if (sent < total) sequence |= ueiSEQUENCE_MORE;
        payload[3 + n] = sequence;
        aPacket* packet = aPacket_CreateWithData(request.address, static_cast<uint8_t>(4 + n), payload);
        if (packet == nullptr) return aErrMemory;
        err = aLink_PutPacket(m_impl->linkId, packet);
        aPacket_Destroy(&packet);
        if (err != aErrNone) return err;
        ++chunk;
    } while (sent < total);
    return aErrNone;
}

aErr Link::sendUEI(const uei& request, uint8_t subindex)
{
    if (!isConnected()) return aErrConnection;
    aErr err = sCheckAddress(request.address);
    if (err != aErrNone) return err;
    if (request.type == ueiBytes) return aErrParam;
    uint8_t payload[aPACKET_MAX_DATA] = {request.command, request.option, request.index, subindex};
    uint8_t size = static_cast<uint8_t>(4 + sPutValue(request, payload + 4));
    aPacket* packet = aPacket_CreateWithData(request.address, size, payload);
    if (packet == nullptr) return aErrMemory;
    err = aLink_PutPacket(m_impl->linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr Link::receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply)
{
    return receiveUEI(address, command, option, index, reply, -1);
}

aErr Link::receiveUEI(uint8_t address, uint8_t, uint8_t, uint8_t, uei* reply, int seq)
{
    if (reply == nullptr) return aErrParam;
    if (!isConnected()) return aErrConnection;
    aErr err = sCheckAddress(address);
    if (err != aErrNone) return err;

    UEIMatch match{reply->address, reply->command, reply->option, reply->index, seq};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sMatchUEI, &match, kReplyTimeoutMs);
    if (packet == nullptr) return aErrTimeout;

    aErr result = aErrNone;
    if (packet->data[2] & ueiINDEX_ERROR) {
        result = packet->dataSize >= 4 ? static_cast<aErr>(packet->data[3]) : aErrPacket;
    } else if (reply->type == ueiBytes) {
        // A byte-block chunk: the data bytes sit between the index byte and
        // the trailing sequence byte.
        size_t n = packet->dataSize >= 4 ? packet->dataSize - 4u : 0u;
        size_t have = reply->v.bytes.received != nullptr ? *reply->v.bytes.received : 0;
        reply->v.bytes.sequence = packet->data[packet->dataSize - 1];
        if (have + n > reply->v.bytes.size) {
            result = aErrMemory;
        } else {
            memcpy(reply->v.bytes.data + have, packet->data + 3, n);
            if (reply->v.bytes.received != nullptr) *reply->v.bytes.received = have + n;
        }
    } else {
        switch (packet->dataSize) {
            case 3:
                reply->type = ueiVoid;
                break;
            case 4:
                reply->type = ueiByte;
                reply->v.byteVal = packet->data[3];
                break;
            case 5:
                reply->type = ueiShort;
                reply->v.shortVal = static_cast<uint16_t>((packet->data[3] << 8) | packet->data[4]);
                break;
            case 7:
                reply->type = ueiInt;
                reply->v.intVal = (static_cast<uint32_t>(packet->data[3]) << 24) |
                                  (static_cast<uint32_t>(packet->data[4]) << 16) |
                                  (static_cast<uint32_t>(packet->data[5]) << 8) | packet->data[6];
                break;
            default:
                break;  // a reply of 6 bytes leaves type and value
        }
    }
    aPacket_Destroy(&packet);
    return result;
}

size_t Link::dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index)
{
    if (m_impl->linkId == 0) return 0;
    UEIMatch match{address, command, option, index, -1};
    return aLink_DrainPackets(m_impl->linkId, sMatchUEIAnyOption, &match);
}

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data)
{
    if (!isConnected()) return aErrConnection;
    aErr err = sCheckAddress(address);
    if (err != aErrNone) return err;
    if (length >= aPACKET_MAX_DATA) return aErrParam;
    if (length > 0 && data == nullptr) return aErrParam;
    uint8_t payload[aPACKET_MAX_DATA];
    payload[0] = command;
    if (length > 0) memcpy(payload + 1, data, length);
    aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(length + 1), payload);
    if (packet == nullptr) return aErrMemory;
    err = aLink_PutPacket(m_impl->linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer)
{
    if (length == nullptr || buffer == nullptr || (*length > 0 && match == nullptr)) return aErrParam;
    if (!isConnected()) return aErrConnection;
    aErr err = sCheckAddress(address);
    if (err != aErrNone) return err;
    PacketMatch m{match, *length};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sMatchLeadingBytes, &m, kReplyTimeoutMs);
    if (packet == nullptr) return aErrTimeout;
    memcpy(buffer, packet->data, packet->dataSize);
    *length = packet->dataSize;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::enablePacketLog(const char* path)
{
    if (m_impl->linkId == 0) return aErrConfiguration;
    if (path != m_impl->logPath.c_str()) m_impl->logPath = path != nullptr ? path : "";
    aErr err = aLink_PacketDebug_Enable(m_impl->linkId);
    if (err != aErrNone) return err;
    if (m_impl->logger == nullptr) {
        m_impl->logger = aLogger_Create(m_impl->linkId, sLogReader, path);
        if (m_impl->logger == nullptr) return aErrResource;
    }
    err = aLogger_Enable(m_impl->logger);
    if (err != aErrNone) return err;
    static const uint8_t kStart[6] = {'S', 'T', 'A', 'R', 'T', '\0'};
    return aLink_PacketDebug_Write(m_impl->linkId, 3, sizeof kStart, kStart);
}

aErr Link::disablePacketLog()
{
    m_impl->logPath.clear();
    aErr err = aLink_PacketDebug_Disable(m_impl->linkId);
    if (m_impl->logger != nullptr) aLogger_Disable(m_impl->logger);
    return err;
}

}  // namespace Keystrand
}  // namespace Orvantis
