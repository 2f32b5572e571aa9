#include "HID_SDPLoader.h"

#include <hidapi.h>

#include <cstdio>

#include "Log.h"

namespace {

// The security-mode report carries its ID and a 4-byte word, whatever length
// the read reports for it.
const unsigned char kSecurityReport = 3;
const size_t kSecurityReportBytes = 5;
const size_t kFullReplyBytes = 70;
const size_t kReplyWordOffset = 6;
// A device that keeps streaming reports must not hold a read for ever.
const unsigned int kMaxReportsPerRead = 1024;

}  // namespace

HID_SDPLoader::HID_SDPLoader(uint16_t vendor, uint16_t product) : handle(nullptr), vid(vendor), pid(product)
{
}

HID_SDPLoader::~HID_SDPLoader()
{
    if (handle != nullptr) hid_close(handle);
    handle = nullptr;
    hid_exit();
}

bool HID_SDPLoader::init()
{
    hid_init();
    handle = hid_open(vid, pid, nullptr);
    Log::log(DEBUG_iMXSerial, "handle: %p\n", static_cast<void*>(handle));
    char text[80];
    snprintf(text, sizeof text, "no i.MX chip in serial download mode on USB (%04X:%04X)", vid, pid);
    if (handle == nullptr) cause = Cause(aErrNotFound, text);
    return handle != nullptr;
}

ssize_t HID_SDPLoader::writeData(const std::vector<unsigned char>& packet)
{
    if (handle == nullptr) return -1;
    return hid_write(handle, packet.data(), packet.size());
}

ssize_t HID_SDPLoader::readData(std::vector<unsigned char>& out, unsigned int timeout_ms)
{
    if (handle == nullptr) return 0;
    ssize_t total = 0;
    for (unsigned int reports = 0; reports < kMaxReportsPerRead; reports++) {
        unsigned char buffer[MAX_READ_BYTES] = {0};
        int got = hid_read_timeout(handle, buffer, sizeof buffer, static_cast<int>(timeout_ms));
        if (got <= 0) break;
        size_t keep = buffer[0] == kSecurityReport ? kSecurityReportBytes : static_cast<size_t>(got);
        out.insert(out.end(), buffer, buffer + keep);
        total += static_cast<ssize_t>(keep);
    }
    return total;
}

bool HID_SDPLoader::getDataFromBuffer(const std::vector<unsigned char>& reply, unsigned int offset,
                                      unsigned int& value)
{
    if (reply.size() != kFullReplyBytes || offset >= 16) return false;
    size_t at = offset + kReplyWordOffset;
    value |= static_cast<unsigned int>(reply[at]) | static_cast<unsigned int>(reply[at + 1]) << 8 |
             static_cast<unsigned int>(reply[at + 2]) << 16 | static_cast<unsigned int>(reply[at + 3]) << 24;
    return true;
}
