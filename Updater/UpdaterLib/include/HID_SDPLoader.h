#ifndef UPDATER_HID_SDPLOADER_H
#define UPDATER_HID_SDPLOADER_H

#include <cstdint>

#include "SDPLoader.h"

struct hid_device_;

// The serial download protocol over the chip's USB HID interface (hidapi).
// Replies are the input reports read, appended whole: report 3 (security
// mode) as 5 bytes, any other as the length read, so a full command reply
// is 70 bytes with its word in bytes 6 to 9.
class HID_SDPLoader : public SDPLoader_Interface {
public:
    HID_SDPLoader(uint16_t vid, uint16_t pid);
    // Closes the device if open, then releases hidapi.
    ~HID_SDPLoader() override;
    HID_SDPLoader(const HID_SDPLoader&) = delete;
    HID_SDPLoader& operator=(const HID_SDPLoader&) = delete;

    // Opens the first device with the vendor and product IDs.
    bool init() override;
    // hid_write's result; -1 when not open.
    ssize_t writeData(const std::vector<unsigned char>& packet) override;
    // Reads reports until one read times out (so it waits timeout_ms after the
    // last report); the bytes appended.
    ssize_t readData(std::vector<unsigned char>& out, unsigned int timeout_ms) override;
    // Only a 70-byte reply and offset below 16: the little-endian word in bytes
    // offset + 6 to offset + 9.
    bool getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                           unsigned int& value) override;

private:
    hid_device_* handle;
    uint16_t vid;
    uint16_t pid;
};

#endif
