#ifndef KS_ALINK_H
#define KS_ALINK_H

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"

// The link engine: a global table of links, shared by use count and named by
// 32-bit ids (counted from 1; 0 means no link). A running link has an in-pipe
// thread that frames received bytes into packets, answers heartbeats and
// re-synchronises the stream, and an out-pipe thread that sends queued
// packets. Every call looks its link up under the table mutex, which
// creation and reset hold throughout except while they write the start
// packet (so a module stalling that write holds up no other link); callers
// must not destroy or reset a link while other threads of theirs still use
// its id.
typedef uint32_t aLinkRef;

typedef enum {
    STOPPED = 0,
    INITIALIZING = 1,
    RUNNING = 2,
    STOPPING = 3,
    SYNCING = 4,
    INVALID_LINK_STREAM = 5,  // also the answer for an unknown link id
    IO_ERROR = 6,             // sticks until the link is reset or restarted
    // 7 is never produced.
    PACKET_ERROR = 8
} linkStatus;

// Greatest packet log size (64 MiB) and the size used when none was set.
#define aLINK_MAX_LOG_SIZE 0x4000000
#define aLINK_DEFAULT_LOG_SIZE 65536

// Called on the in-pipe thread for every complete packet; returning true
// consumes it (it is neither answered nor queued). Runs with the link's hook
// mutex held: it must not install filters; it may put packets and may call
// aLink_Stop (which then only marks the link STOPPING).
typedef bool (*aLinkPacketFilterProc)(const aPacket* packet, void* reference);

// Called on the in-pipe thread after a heartbeat was answered, with the low
// bit of the answer.
typedef void (*aLinkHeartbeatProc)(bool beat);

// Link to the USB module with this serial number, sharing an existing link
// with the same identifier (its use count goes up). Returns the id, or 0 when
// the stream cannot be opened or the link cannot start.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);

// Link over TCP to ipAddress (IPv4, network byte order) and port (host
// order); an existing link to the same address is shared. 0 on failure.
aLinkRef aLink_CreateTCPIP(uint32_t ipAddress, uint32_t port);

// Link over the serial port at baudRate (2400, 4800, 9600, 19200, 38400,
// 57600, 115200 or 230400; 8 data bits, no parity, 1 stop bit), shared by
// serial number. 0 for another rate or on failure (no table entry is left).
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);

// Link on a caller's stream, never shared. The link owns the stream from a
// successful call on; on failure (0) the stream stays the caller's.
aLinkRef aLink_Create(aStreamRef stream);

// Drops one use and clears *id; the last use stops the link (the stop packet
// is the last thing sent) and frees it. aErrParam for an unknown id. Never
// call from a filter.
aErr aLink_Destroy(aLinkRef* id);

// Sends the link start packet 0xAF 0x01 0x01 (before anything else) and
// starts the pipe threads. aErrNone when already running; aErrParam for an
// unknown id; aErrConnection without a stream; the stream's error when the
// start packet cannot be written (creation then fails too); aErrResource
// when a thread cannot start.
aErr aLink_Start(aLinkRef id);

// Stops and joins the pipe threads, sends what is still queued and then the
// link stop packet 0xAF 0x01 0x00 (the last thing sent), and sets STOPPED.
// Nothing to do when STOPPED or STOPPING; from a pipe thread it only sets
// STOPPING. aErrParam for an unknown id, aErrUnknown when a join fails.
aErr aLink_Stop(aLinkRef id);

// Stops the link, replaces its stream with a new one for the same module (up
// to 20 attempts, 100 ms apart), makes new queues and starts it; returns the
// start's result. aErrBusy when the table is in use by another call;
// aErrParam for an unknown id or a link that cannot be re-created (serial or
// caller's stream; left untouched). When no stream could be made, the last
// stream error is returned and the link stays stopped without stream or
// queues. Waiters on the old queues are woken with null.
aErr aLink_Reset(aLinkRef id);

// The link's status; INVALID_LINK_STREAM for an unknown id.
linkStatus aLink_GetStatus(aLinkRef id);

// Inbound-queue operations (see aPacketFifo.h); null or 0 for an unknown id.
// Returned packets are the caller's to destroy.
aPacket* aLink_GetPacket(aLinkRef id);
aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs);
aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc filter, void* reference);
size_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc filter, void* reference);

// Waits up to timeoutMs for the first inbound packet the filter accepts,
// while the link is running with status RUNNING; null otherwise (within
// about 10 ms of the link leaving RUNNING).
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc filter, void* reference, uint32_t timeoutMs);

// Queues a copy of packet for sending (the caller keeps its packet).
// aErrParam for an unknown id or invalid packet.
aErr aLink_PutPacket(aLinkRef id, const aPacket* packet);

// Installs (or with a null filter removes) the user packet filter. When it
// returns, the previous filter is no longer running. aErrParam for an unknown
// id.
aErr aLink_InstallUserPacketFilter(aLinkRef id, aLinkPacketFilterProc filter, void* reference);

// Installs (or removes) the heartbeat notification. aErrParam for an unknown
// id.
aErr aLink_InstallHeartbeatNotification(aLinkRef id, aLinkHeartbeatProc notification);

// Packet debug log. SetLogSize: aErrParam above 64 MiB or for an unknown id,
// aErrBusy once the log exists; a negative size means the default.
// Enable: creates the log (default 65536 bytes) when absent (aErrResource on
// failure) and enables logging of every packet sent and received.
// Disable: stops logging (records stay readable); aErrNotReady without a log.
// Read / Write: aPacketLog_Get / aPacketLog_Put on the log (aErrNotReady
// without a log). All are safe against the pipe threads.
aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int64_t size);
aErr aLink_PacketDebug_Enable(aLinkRef id);
aErr aLink_PacketDebug_Disable(aLinkRef id);
aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* direction, size_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, size_t length, const uint8_t* bytes);

#endif
