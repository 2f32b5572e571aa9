#ifndef KS_LINK_H
#define KS_LINK_H

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aLink.h"
#include "aLinkSpec.h"
#include "uei.h"

namespace Orvantis {
namespace Keystrand {

// One module link: owns a core link (by id) and the linkSpec used to reach the
// module, turns UEIs and raw commands into packets and waits for replies.
// Not safe for concurrent use by several caller threads.
class Link {
public:
    // Every request/response exchange waits at most this long for its reply.
    static constexpr uint32_t kReplyTimeoutMs = 1000;

    explicit Link(const char* name);
    Link(const linkSpec& spec, const char* name);
    virtual ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Replaces the held spec; aErrBusy while connected.
    aErr setLinkSpecifier(const linkSpec& spec);
    // Copies the held spec; aErrNotFound when none is held, aErrParam for null.
    aErr getLinkSpecifier(linkSpec* spec) const;
    const char* getName() const;

    // Finds a module (by serial number, or the first of the model, any model
    // for 0) and connects to it. aErrNotFound when discovery finds none;
    // aErrPermission instead when USB devices of the maker refused access.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
    // Creates or shares the core link for the held spec and waits (at most
    // 2 s) until it runs. aErrConfiguration without a spec, aErrConnection when
    // no link can be made or it does not run, aErrBusy while it stops. A failed
    // connect keeps the link id; disconnect() releases it.
    aErr connect();
    // True while the link is RUNNING or INITIALIZING.
    bool isConnected() const;
    // The core link's status; PACKET_ERROR without a link.
    linkStatus getStatus() const;
    // Drops this link's use of the core link. Always aErrNone.
    aErr disconnect();
    // Resets the core link (stream re-created). Always aErrNone.
    aErr reset();
    // Asks the module for its address (1000 ms). aErrNotReady when not
    // connected or without a reply.
    aErr getModuleAddress(uint8_t* address);

    // Queues a UEI request (byte blocks as chunks). aErrConnection when not
    // connected, aErrPacket for address 0 or odd.
    aErr sendUEI(const uei& request);
    aErr sendUEI(const uei& request, uint8_t subindex);
    // Waits (1000 ms) for the reply matching the template: same module
    // address, command and option byte, index bits 0..4. Fills type and value
    // from the reply; an error reply returns its code; aErrTimeout without one.
    aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply);
    // As above, additionally requiring the byte-block sequence number seq
    // (error replies match any sequence).
    aErr receiveUEI(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uei* reply, int seq);
    // Drops queued replies matching address, command, option and index bits.
    size_t dropMatchingUEIPackets(uint8_t address, uint8_t command, uint8_t option, uint8_t index);

    // Queues a packet with payload command + length data bytes. aErrParam for
    // length 28 or more.
    aErr sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data);
    // Takes the first inbound packet whose first *length payload bytes equal
    // match (any address), waiting at most 1000 ms; copies its payload (up to
    // 28 bytes) to buffer and sets *length. aErrTimeout without one.
    aErr receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Packet debug log written to a file by a logger thread.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // Id of the core link (0 = none).
    aLinkRef getLinkId() const;

private:
    struct impl;
    impl* m_impl;
};

}  // namespace Keystrand
}  // namespace Orvantis

#endif
