#include "FakeLibusb.h"

#include <algorithm>
#include <chrono>
#include <cstring>

ConfigBuilder& ConfigBuilder::addInterface(uint8_t number, uint8_t cls, uint8_t subclass, uint8_t protocol,
                                           const std::vector<Endpoint>& endpoints)
{
    std::vector<libusb_endpoint_descriptor> eps;
    for (const Endpoint& e : endpoints) {
        libusb_endpoint_descriptor d = {};
        d.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        d.bDescriptorType = LIBUSB_DT_ENDPOINT;
        d.bEndpointAddress = e.address;
        d.bmAttributes = e.attributes;
        d.wMaxPacketSize = 64;
        eps.push_back(d);
    }
    endpoints_.push_back(eps);
    libusb_interface_descriptor alt = {};
    alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
    alt.bDescriptorType = LIBUSB_DT_INTERFACE;
    alt.bInterfaceNumber = number;
    alt.bNumEndpoints = static_cast<uint8_t>(endpoints.size());
    alt.bInterfaceClass = cls;
    alt.bInterfaceSubClass = subclass;
    alt.bInterfaceProtocol = protocol;
    alts_.push_back(alt);
    return *this;
}

libusb_config_descriptor* ConfigBuilder::get()
{
    interfaces_.clear();
    for (size_t i = 0; i < alts_.size(); i++) {
        alts_[i].endpoint = endpoints_[i].empty() ? nullptr : endpoints_[i].data();
        libusb_interface iface = {};
        iface.altsetting = &alts_[i];
        iface.num_altsetting = 1;
        interfaces_.push_back(iface);
    }
    config_ = {};
    config_.bLength = LIBUSB_DT_CONFIG_SIZE;
    config_.bDescriptorType = LIBUSB_DT_CONFIG;
    config_.bNumInterfaces = static_cast<uint8_t>(interfaces_.size());
    config_.bConfigurationValue = 1;
    config_.interface = interfaces_.data();
    return &config_;
}

FakeLibusb* FakeLibusb::current_ = nullptr;

namespace {

// Handles and devices are the FakeUsbDevice records themselves; the context
// is a dummy address.
int sContext;

FakeUsbDevice* sDevice(void* p)
{
    return static_cast<FakeUsbDevice*>(p);
}

}  // namespace

FakeLibusb::FakeLibusb()
{
    api_.init = [](libusb_context** context) {
        auto lock = current_->enter("init");
        *context = reinterpret_cast<libusb_context*>(&sContext);
        return 0;
    };
    api_.exit = [](libusb_context*) { current_->enter("exit"); };
    api_.get_device_list = [](libusb_context*, libusb_device*** list) {
        auto lock = current_->enter("get_device_list");
        size_t n = current_->devices_.size();
        *list = new libusb_device*[n + 1];
        for (size_t i = 0; i < n; i++) (*list)[i] = reinterpret_cast<libusb_device*>(current_->devices_[i]);
        (*list)[n] = nullptr;
        return static_cast<ssize_t>(n);
    };
    api_.free_device_list = [](libusb_device** list, int) {
        auto lock = current_->enter("free_device_list");
        delete[] list;
    };
    api_.get_device_descriptor = [](libusb_device* device, struct libusb_device_descriptor* descriptor) {
        auto lock = current_->enter("get_device_descriptor");
        *descriptor = {};
        descriptor->idVendor = sDevice(device)->vendor;
        descriptor->idProduct = sDevice(device)->product;
        descriptor->iSerialNumber = 3;
        descriptor->bNumConfigurations = 1;
        return 0;
    };
    api_.open = [](libusb_device* device, libusb_device_handle** handle) {
        auto lock = current_->enter("open");
        if (sDevice(device)->openResult != 0) return sDevice(device)->openResult;
        *handle = reinterpret_cast<libusb_device_handle*>(device);
        return 0;
    };
    api_.close = [](libusb_device_handle*) { current_->enter("close"); };
    api_.get_string_descriptor_ascii = [](libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                          int length) {
        auto lock = current_->enter("get_string_descriptor_ascii");
        if (index != 3) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        const std::string& s = sDevice(handle)->serial;
        int n = std::min(static_cast<int>(s.size()), length - 1);
        memcpy(data, s.data(), static_cast<size_t>(n));
        data[n] = '\0';
        return n;
    };
    api_.get_config_descriptor = [](libusb_device* device, uint8_t index, libusb_config_descriptor** config) {
        auto lock = current_->enter("get_config_descriptor");
        if (index != 0) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        *config = sDevice(device)->config.get();
        return 0;
    };
    api_.free_config_descriptor = [](libusb_config_descriptor*) {
        current_->enter("free_config_descriptor");
    };
    api_.claim_interface = [](libusb_device_handle* handle, int) {
        auto lock = current_->enter("claim_interface");
        return sDevice(handle)->claimResult;
    };
    api_.release_interface = [](libusb_device_handle* handle, int) {
        auto lock = current_->enter("release_interface");
        return sDevice(handle)->releaseResult;
    };
    api_.bulk_transfer = bulkTransfer;
    api_.clear_halt = [](libusb_device_handle*, unsigned char endpoint) {
        auto lock = current_->enter("clear_halt");
        current_->clearHalts_.push_back(endpoint);
        return current_->clearHaltResult_;
    };
    current_ = this;
    ksusb_libusb_install(&api_);
}

FakeLibusb::~FakeLibusb()
{
    ksusb_libusb_install(nullptr);
    current_ = nullptr;
}

void FakeLibusb::addDevice(FakeUsbDevice* device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.push_back(device);
}

void FakeLibusb::queueOutAnswer(OutAnswer answer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    outAnswers_.push_back(answer);
}

void FakeLibusb::queueInAnswer(InAnswer answer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    inAnswers_.push_back(answer);
    changed_.notify_all();
}

bool FakeLibusb::waitForOutBytes(size_t n, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return outBytes_.size() >= n; });
}

int FakeLibusb::count(const std::string& call) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(call);
    return it == counts_.end() ? 0 : it->second;
}

std::unique_lock<std::mutex> FakeLibusb::enter(const char* call)
{
    std::unique_lock<std::mutex> lock(mutex_);
    counts_[call]++;
    return lock;
}

int FakeLibusb::bulkTransfer(libusb_device_handle*, unsigned char endpoint, unsigned char* data, int length,
                             int* transferred, unsigned int)
{
    FakeLibusb* f = current_;
    auto lock = f->enter("bulk_transfer");
    *transferred = 0;
    if ((endpoint & 0x80) == 0) {
        f->outTransfers_.push_back({endpoint, std::vector<uint8_t>(data, data + length)});
        OutAnswer answer = {0, length};
        if (!f->outAnswers_.empty()) {
            answer = f->outAnswers_.front();
            f->outAnswers_.pop_front();
        }
        *transferred = answer.transferred;
        if (answer.result == 0) f->outBytes_.insert(f->outBytes_.end(), data, data + length);
        f->changed_.notify_all();
        return answer.result;
    }
    // A real IN transfer blocks up to its time-out; a short wait keeps a
    // link's in-pipe from spinning while still answering promptly.
    f->changed_.wait_for(lock, std::chrono::milliseconds(3), [&] { return !f->inAnswers_.empty(); });
    if (f->inAnswers_.empty()) return static_cast<int>(LIBUSB_ERROR_TIMEOUT);
    InAnswer answer = f->inAnswers_.front();
    f->inAnswers_.pop_front();
    int n = std::min(static_cast<int>(answer.data.size()), length);
    if (n > 0) memcpy(data, answer.data.data(), static_cast<size_t>(n));
    *transferred = n;
    return answer.result;
}
