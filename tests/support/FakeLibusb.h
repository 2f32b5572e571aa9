#ifndef KS_TEST_FAKELIBUSB_H
#define KS_TEST_FAKELIBUSB_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ksusb_libusb.h"

// A configuration descriptor assembled in the test: interfaces with one
// alternate setting each and their endpoints.
class ConfigBuilder {
public:
    struct Endpoint {
        uint8_t address;
        uint8_t attributes;
    };
    ConfigBuilder& addInterface(uint8_t number, uint8_t cls, uint8_t subclass, uint8_t protocol,
                                const std::vector<Endpoint>& endpoints);
    // Valid until the builder changes or goes away.
    libusb_config_descriptor* get();

private:
    std::deque<std::vector<libusb_endpoint_descriptor>> endpoints_;
    std::deque<libusb_interface_descriptor> alts_;
    std::vector<libusb_interface> interfaces_;
    libusb_config_descriptor config_ = {};
};

struct FakeUsbDevice {
    uint16_t vendor = 0x4B53;
    uint16_t product = 0x0113;
    std::string serial;  // returned by the serial string descriptor
    // The module interface: bulk OUT 0x02 and bulk IN 0x81.
    ConfigBuilder config = ConfigBuilder().addInterface(
        0, 0xFF, 0x88, 0x10, {{0x02, LIBUSB_TRANSFER_TYPE_BULK}, {0x81, LIBUSB_TRANSFER_TYPE_BULK}});
    int openResult = 0;
    int claimResult = 0;
    int releaseResult = 0;
};

// Replaces libusb through the core's table while installed. One instance per
// test; it installs itself on construction and restores the real libusb on
// destruction. Thread-safe: a link's pipes may call it.
class FakeLibusb {
public:
    FakeLibusb();
    ~FakeLibusb();

    void addDevice(FakeUsbDevice* device);

    struct Transfer {
        uint8_t endpoint;
        std::vector<uint8_t> data;
    };
    // Scripted answers to OUT transfers, taken in order; when none is left an
    // OUT transfer succeeds. transferred is what the fake reports as sent.
    struct OutAnswer {
        int result;
        int transferred;
    };
    void queueOutAnswer(OutAnswer answer);
    // Scripted answers to IN transfers; when none is left an IN transfer
    // waits a few milliseconds and then times out with 0 bytes.
    struct InAnswer {
        int result;
        std::vector<uint8_t> data;
    };
    void queueInAnswer(InAnswer answer);
    void setClearHaltResult(int result)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clearHaltResult_ = result;
    }

    std::vector<Transfer> outTransfers() const { return get(outTransfers_); }  // successful and failed
    std::vector<uint8_t> outBytes() const { return get(outBytes_); }  // payload of successful OUT transfers
    bool waitForOutBytes(size_t n, int timeoutMs = 2000) const;
    std::vector<uint8_t> clearHalts() const { return get(clearHalts_); }  // endpoints, in order
    int count(const std::string& call) const;  // calls of one libusb function by name

private:
    static FakeLibusb* current_;
    static int bulkTransfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                            int length, int* transferred, unsigned int timeoutMs);

    // Locks mutex_ and counts one call of a libusb function.
    std::unique_lock<std::mutex> enter(const char* call);
    template <typename T>
    T get(const T& field) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }

    ksusb_libusb_api api_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<FakeUsbDevice*> devices_;
    std::deque<OutAnswer> outAnswers_;
    std::deque<InAnswer> inAnswers_;
    std::vector<Transfer> outTransfers_;
    std::vector<uint8_t> outBytes_;
    std::vector<uint8_t> clearHalts_;
    int clearHaltResult_ = 0;
    std::map<std::string, int> counts_;
};

#endif
