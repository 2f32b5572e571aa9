#ifndef UPDATER_SDPLOADER_H
#define UPDATER_SDPLOADER_H

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "Cause.h"

// One command as sent: the HID report ID and the 16-byte SDP command.
constexpr unsigned int MAX_COMMAND_BYTES = 17;
// One HID input report as read: report ID and 64 bytes.
constexpr unsigned int MAX_READ_BYTES = 65;
// Image bytes per data write (the report ID comes on top).
constexpr unsigned int MAX_WRITE_BYTES = 1024;

// i.MX RT1050 in serial-download mode.
namespace IMX1050 {
constexpr uint16_t VID = 0x1FC9;
constexpr uint16_t PID = 0x0130;
constexpr uint32_t OCOTP_BASE_ADDRESS = 0x401F4000;
constexpr uint32_t CFG0_OFFSET = 0x410;  // first unique-ID fuse word
constexpr uint32_t CFG1_OFFSET = 0x420;  // second unique-ID fuse word
constexpr uint32_t DEFAULT_IMX_LOADER_IVT_ADDRESS = 0x20000400;
}  // namespace IMX1050

// A way to reach the chip's serial download protocol (USB HID or a serial
// port). Packets are handed over with the HID report ID in byte 0; a
// transport that carries no report IDs drops it.
class SDPLoader_Interface {
public:
    virtual ~SDPLoader_Interface();
    // Opens the device; false when it cannot be reached.
    virtual bool init() = 0;
    // Sends one packet; the number of bytes written, negative on error.
    virtual ssize_t writeData(const std::vector<unsigned char>& packet) = 0;
    // Appends what the chip sends within timeout_ms to out; the number of
    // bytes appended.
    virtual ssize_t readData(std::vector<unsigned char>& out, unsigned int timeout_ms) = 0;
    // ORs the reply word at offset of a whole reply into value (the caller
    // zeroes it); false when the reply carries no word there.
    virtual bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                   unsigned int& value) = 0;

    // Why init failed.
    Cause cause;
};

// Host side of NXP's Serial Download Protocol: loads code into i.MX RAM and
// starts it, and reads the chip's unique-ID fuses. Single-threaded; waits are
// read time-outs of the transport. Diagnostics go to Log under
// DEBUG_iMXSerial.
class SDPLoader {
public:
    // Results of init, writeLoader and getFingerprint.
    enum Result {
        SDP_OK = 0,
        SDP_NO_TRANSPORT = 1,
        SDP_NO_STATUS = 2,         // five status commands went unanswered
        SDP_DATA_IN_TRANSFER = 3,  // the chip sent data while the image went out
        SDP_NO_COMPLETION = 4,     // the completion word did not arrive
        SDP_INIT_FAILED = 6,
        SDP_NO_REGISTER_REPLY = 7,
    };

    // Reply word of a completed write-file transfer.
    static constexpr unsigned int WRITE_COMPLETE = 0x88888888;
    // Acknowledgement word.
    static constexpr unsigned int ACK = 0xF0F0F0F0;

    SDPLoader();
    // Deletes the transport.
    ~SDPLoader();
    SDPLoader(const SDPLoader&) = delete;
    SDPLoader& operator=(const SDPLoader&) = delete;

    // Takes ownership of loader. False, taking nothing, for null or when a
    // transport is already set.
    bool setLoader(SDPLoader_Interface* loader);
    // SDP_OK, SDP_INIT_FAILED, or SDP_NO_TRANSPORT.
    int init();
    // Writes image to chip memory at address: SDP_OK, SDP_NO_STATUS,
    // SDP_DATA_IN_TRANSFER, SDP_NO_COMPLETION (SDP_NO_TRANSPORT without one).
    int writeLoader(const std::vector<unsigned char>& image, unsigned int address);
    // Jumps to address; the reply is read and ignored.
    void startLoader(unsigned int address);
    // ORs the CFG0 fuse word into the low and CFG1 into the high 32 bits of
    // value: SDP_OK, SDP_NO_STATUS, SDP_NO_REGISTER_REPLY (SDP_NO_TRANSPORT
    // without one).
    int getFingerprint(uint64_t& value);
    // Why the last failing call failed, in words.
    const Cause& LastCause() const { return cause; }

private:
    bool _isConnectionAlive();
    void _fillCommand(std::vector<unsigned char>& packet);
    std::vector<unsigned char> _create4ByteReadRegisterPacket(unsigned int address);
    std::vector<unsigned char> _createJumpPacket(unsigned int address);
    std::vector<unsigned char> _createStatusPacket();
    std::vector<unsigned char> _createWriteFilePacket(unsigned int address, unsigned int count);
    bool _expectAck(const std::vector<unsigned char>& reply);
    bool _expectResponse(const std::vector<unsigned char>& reply);
    bool _expectSuccess(const std::vector<unsigned char>& reply);
    void _printBuffer(const std::vector<unsigned char>& bytes);

    SDPLoader_Interface* loader;
    Cause cause;
};

#endif
