#ifndef UPDATER_SERIAL_SDPLOADER_H
#define UPDATER_SERIAL_SDPLOADER_H

#include "SDPLoader.h"

struct PrivateSerial_SDPLoader;

// The serial download protocol over a serial port at 115200 8N1, raw. The
// serial form carries no report IDs: byte 0 of every packet is dropped.
// Replies are the bytes as they arrive: the 4-byte security-mode word, then
// the reply word in bytes 4 to 7.
class Serial_SDPLoader : public SDPLoader_Interface {
public:
    // Keeps its own copy of port.
    explicit Serial_SDPLoader(const char* port);
    // Discards both queues and closes the port if open.
    ~Serial_SDPLoader() override;
    Serial_SDPLoader(const Serial_SDPLoader&) = delete;
    Serial_SDPLoader& operator=(const Serial_SDPLoader&) = delete;

    // Opens and configures the port, waits one second for the line to settle
    // and discards anything queued. False when it cannot be opened, is not a
    // terminal or cannot be configured.
    bool init() override;
    // Writes the packet without its report ID: packet size - 1 on success.
    // A write that makes no progress for one second, or fails outright,
    // gives -1 and leaves the port failed: later writes give -1 at once.
    ssize_t writeData(const std::vector<unsigned char>& packet) override;
    // Sleeps timeout_ms, then appends the bytes waiting; their number.
    ssize_t readData(std::vector<unsigned char>& out, unsigned int timeout_ms) override;
    // Only offset <= 15 and a reply of at least (offset + 2) * 4 bytes: the
    // little-endian word in bytes offset + 4 to offset + 7.
    bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                           unsigned int& value) override;

private:
    PrivateSerial_SDPLoader* priv;
};

#endif
