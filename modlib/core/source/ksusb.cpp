#include "ksusb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "aKeystrand.h"
#include "ksusb_libusb.h"

#define KSUSB_SERIAL_STRING_SIZE 50
#define KSUSB_OUT_TIMEOUT_MS 50
#define KSUSB_IN_TIMEOUT_MS 100
#define KSUSB_OUT_ROUNDS 100
#define KSUSB_KERNEL_WRITE_CALLS 1000

#define KSUSB_INTERFACE_CLASS 0xFF
#define KSUSB_INTERFACE_SUBCLASS 0x88
#define KSUSB_INTERFACE_PROTOCOL 0x10

struct ksusb {
    int kind = KSUSB_KIND_LIBUSB;
    char serial[9] = {};
    int fd = -1;  // kernel driver only
    libusb_context* context = nullptr;
    libusb_device_handle* handle = nullptr;
    // Written by the reader (a failed IN transfer) and the writer (a failed
    // OUT transfer) as well as by open/close.
    std::atomic<int> state{KSUSB_STATE_CREATED};
    int interfaceNumber = 0;
    uint8_t outEndpoint = 0;
    uint8_t inEndpoint = 0;
    // Bytes of the last IN transfer; reader thread only.
    uint8_t buffer[KSUSB_IN_BUFFER_SIZE] = {};
    size_t position = 0;
    size_t remaining = 0;
};

namespace {

const ksusb_libusb_api kRealApi = {
    libusb_init,
    libusb_exit,
    libusb_get_device_list,
    libusb_free_device_list,
    libusb_get_device_descriptor,
    libusb_open,
    libusb_close,
    libusb_get_string_descriptor_ascii,
    libusb_get_config_descriptor,
    libusb_free_config_descriptor,
    libusb_claim_interface,
    libusb_release_interface,
    libusb_bulk_transfer,
    libusb_clear_halt,
};

std::atomic<const ksusb_libusb_api*> sApi{&kRealApi};
std::string* sNodeDirectory = nullptr;  // null means "/dev"
std::atomic<ksusb_message_proc> sMessageSink{nullptr};

void sMessage(const char* format, int value)
{
    ksusb_message_proc sink = sMessageSink.load();
    if (sink == nullptr) return;
    char text[64];
    snprintf(text, sizeof(text), format, value);
    sink(text);
}

std::string sNodePath(const char* serialText)
{
    std::string path = sNodeDirectory != nullptr ? *sNodeDirectory : std::string("/dev");
    path += "/keystrand.";
    path += serialText;
    return path;
}

// ---- kernel driver variant ----

aErr sKernelOpen(ksusb* usb)
{
    usb->state = KSUSB_STATE_OPENING;
    usb->fd = open(sNodePath(usb->serial).c_str(), O_RDWR);
    if (usb->fd < 0) {
        int e = errno;
        usb->state = KSUSB_STATE_CLOSED;
        return e == EBUSY ? aErrBusy : aErrIO;
    }
    usb->state = KSUSB_STATE_OPEN;
    return aErrNone;
}

aErr sKernelGet(ksusb* usb, uint8_t* byte)
{
    if (usb->fd < 0) return aErrConnection;
    ssize_t r = read(usb->fd, byte, 1);
    if (r == 1) return aErrNone;
    if (r == 0 || errno == EFAULT) return aErrNotReady;
    return aErrIO;
}

aErr sKernelWrite(ksusb* usb, const uint8_t* bytes, size_t n)
{
    if (usb->fd < 0) return aErrConnection;
    size_t done = 0;
    for (int calls = 0; done < n && calls < KSUSB_KERNEL_WRITE_CALLS; calls++) {
        ssize_t r = write(usb->fd, bytes + done, n - done);
        if (r < 0) return aErrIO;
        done += static_cast<size_t>(r);
    }
    return done < n ? aErrIO : aErrNone;
}

aErr sKernelClose(ksusb* usb)
{
    aErr err = aErrNone;
    if (usb->fd >= 0 && close(usb->fd) != 0) err = aErrCancel;
    usb->fd = -1;
    usb->state = KSUSB_STATE_CLOSED;
    return err;
}

// ---- libusb variant ----

// Opens the first module on the bus whose serial string is exactly the
// serial text; others opened on the way are closed again.
libusb_device* sFindDevice(ksusb* usb, libusb_device** list, ssize_t count)
{
    const ksusb_libusb_api* api = sApi.load();
    for (ssize_t i = 0; i < count; i++) {
        libusb_device* device = list[i];
        if (!is_keystrand_device(device)) continue;
        libusb_device_handle* handle = nullptr;
        if (api->open(device, &handle) != 0 || handle == nullptr) continue;
        struct libusb_device_descriptor descriptor;
        unsigned char text[KSUSB_SERIAL_STRING_SIZE + 1] = {};
        if (api->get_device_descriptor(device, &descriptor) == 0) {
            int n = api->get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                     KSUSB_SERIAL_STRING_SIZE);
            if (n > 0 && n <= KSUSB_SERIAL_STRING_SIZE) {
                text[n] = '\0';
                if (strcmp(reinterpret_cast<const char*>(text), usb->serial) == 0) {
                    usb->handle = handle;
                    return device;
                }
            }
        }
        api->close(handle);
    }
    return nullptr;
}

aErr sLibusbOpen(ksusb* usb)
{
    if (usb->state != KSUSB_STATE_CREATED) return aErrMode;
    if (usb->context == nullptr) return aErrResource;
    const ksusb_libusb_api* api = sApi.load();
    libusb_device** list = nullptr;
    ssize_t count = api->get_device_list(usb->context, &list);
    if (count < 0 || list == nullptr) return aErrNotFound;

    aErr err = aErrNone;
    libusb_device* device = sFindDevice(usb, list, count);
    if (device == nullptr) {
        err = aErrNotFound;
    } else {
        usb->state = KSUSB_STATE_OPENING;
        struct libusb_config_descriptor* config = nullptr;
        bool found = false;
        if (api->get_config_descriptor(device, 0, &config) == 0 && config != nullptr) {
            uint8_t iface = 0;
            found = ksusb_find_endpoints(config, &iface, &usb->outEndpoint, &usb->inEndpoint);
            usb->interfaceNumber = iface;
            api->free_config_descriptor(config);
        }
        if (!found) {
            err = aErrConfiguration;
        } else {
            switch (api->claim_interface(usb->handle, usb->interfaceNumber)) {
                case LIBUSB_SUCCESS:
                    err = aErrNone;
                    break;
                case LIBUSB_ERROR_BUSY:
                case LIBUSB_ERROR_NO_DEVICE:
                    err = aErrBusy;
                    break;
                case LIBUSB_ERROR_ACCESS:
                    err = aErrPermission;
                    break;
                default:
                    err = aErrUnknown;
                    break;
            }
        }
        if (err == aErrNone) {
            usb->state = KSUSB_STATE_OPEN;
        } else {
            usb->state = KSUSB_STATE_CLOSED;
            api->close(usb->handle);
            usb->handle = nullptr;
        }
    }
    api->free_device_list(list, 1);
    return err;
}

aErr sLibusbGet(ksusb* usb, uint8_t* byte)
{
    switch (usb->state.load()) {
        case KSUSB_STATE_OPEN:
            break;
        case KSUSB_STATE_CLOSED:
            return aErrConnection;
        case KSUSB_STATE_CREATED:
        case KSUSB_STATE_OPENING:
            return aErrNotReady;
        default:
            return aErrIO;
    }
    if (usb->remaining == 0) {
        const ksusb_libusb_api* api = sApi.load();
        int transferred = 0;
        int r = api->bulk_transfer(usb->handle, usb->inEndpoint, usb->buffer, KSUSB_IN_BUFFER_SIZE,
                                   &transferred, KSUSB_IN_TIMEOUT_MS);
        if ((r == LIBUSB_SUCCESS || r == LIBUSB_ERROR_TIMEOUT) && transferred > 0) {
            usb->position = 0;
            usb->remaining = static_cast<size_t>(transferred);
        } else if (r == LIBUSB_SUCCESS || r == LIBUSB_ERROR_TIMEOUT) {
            return aErrNotReady;
        } else if (r == LIBUSB_ERROR_PIPE) {
            api->clear_halt(usb->handle, usb->inEndpoint);
            return aErrNotReady;
        } else {
            usb->state = KSUSB_STATE_FAILED;
            return aErrIO;
        }
    }
    *byte = usb->buffer[usb->position++];
    usb->remaining--;
    return aErrNone;
}

aErr sLibusbWrite(ksusb* usb, const uint8_t* bytes, size_t n)
{
    switch (usb->state.load()) {
        case KSUSB_STATE_OPEN:
            break;
        case KSUSB_STATE_CREATED:
        case KSUSB_STATE_OPENING:
            return aErrNotReady;
        case KSUSB_STATE_CLOSED:
            return aErrConnection;
        default:
            return aErrIO;
    }
    const ksusb_libusb_api* api = sApi.load();
    // libusb takes a non-const buffer even for OUT transfers.
    unsigned char* data = const_cast<unsigned char*>(bytes);
    aErr result = aErrNone;
    size_t done = 0;
    for (int round = 0; round < KSUSB_OUT_ROUNDS && done < n; round++) {
        int chunk = static_cast<int>(n - done < KSUSB_OUT_CHUNK_SIZE ? n - done : KSUSB_OUT_CHUNK_SIZE);
        int transferred = 0;
        int r = api->bulk_transfer(usb->handle, usb->outEndpoint, data + done, chunk, &transferred,
                                   KSUSB_OUT_TIMEOUT_MS);
        if (r == LIBUSB_SUCCESS) {
            done += static_cast<size_t>(chunk);
        } else if (r == LIBUSB_ERROR_PIPE) {
            // A stalled endpoint is cleared and the chunk sent again next round.
            if (api->clear_halt(usb->handle, usb->outEndpoint) != 0) {
                usb->state = KSUSB_STATE_FAILED;
                result = aErrIO;
            }
        } else {
            if (transferred < 0 || transferred > chunk) transferred = 0;
            int rest = chunk - transferred;
            int again = 0;
            r = api->bulk_transfer(usb->handle, usb->outEndpoint, data + done + transferred, rest, &again,
                                   KSUSB_OUT_TIMEOUT_MS);
            if (r == LIBUSB_SUCCESS) {
                done += static_cast<size_t>(chunk);
            } else {
                usb->state = KSUSB_STATE_FAILED;
                result = aErrIO;
            }
        }
    }
    if (done < n) return aErrWrite;
    return result;
}

aErr sLibusbClose(ksusb* usb)
{
    const ksusb_libusb_api* api = sApi.load();
    if (usb->handle != nullptr) {
        int r = api->release_interface(usb->handle, usb->interfaceNumber);
        if (r != 0) sMessage("error release %d\n", r);
        api->close(usb->handle);
        usb->handle = nullptr;
    }
    usb->state = KSUSB_STATE_CLOSED;
    usb->interfaceNumber = 0;
    usb->outEndpoint = 0;
    usb->inEndpoint = 0;
    usb->position = usb->remaining = 0;
    return aErrNone;
}

}  // namespace

const ksusb_libusb_api* ksusb_libusb_real(void)
{
    return &kRealApi;
}

const ksusb_libusb_api* ksusb_libusb(void)
{
    return sApi.load();
}

void ksusb_libusb_install(const ksusb_libusb_api* api)
{
    sApi.store(api != nullptr ? api : &kRealApi);
}

bool is_keystrand_device(struct libusb_device* device)
{
    if (device == nullptr) return false;
    struct libusb_device_descriptor descriptor;
    if (sApi.load()->get_device_descriptor(device, &descriptor) != 0) return false;
    return descriptor.idVendor == KEYSTRAND_USB_VENDOR_ID;
}

bool ksusb_find_endpoints(const struct libusb_config_descriptor* config, uint8_t* interfaceNumber,
                          uint8_t* outEndpoint, uint8_t* inEndpoint)
{
    if (config == nullptr || config->interface == nullptr) return false;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const struct libusb_interface& iface = config->interface[i];
        if (iface.altsetting == nullptr) continue;
        for (int a = 0; a < iface.num_altsetting; a++) {
            const struct libusb_interface_descriptor& alt = iface.altsetting[a];
            if (alt.bInterfaceClass != KSUSB_INTERFACE_CLASS ||
                alt.bInterfaceSubClass != KSUSB_INTERFACE_SUBCLASS ||
                alt.bInterfaceProtocol != KSUSB_INTERFACE_PROTOCOL || alt.endpoint == nullptr)
                continue;
            bool haveOut = false, haveIn = false;
            uint8_t out = 0, in = 0;
            for (int e = 0; e < alt.bNumEndpoints; e++) {
                const struct libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0) continue;
                if ((ep.bEndpointAddress & 0x80) == 0 && !haveOut) {
                    out = ep.bEndpointAddress;
                    haveOut = true;
                } else if ((ep.bEndpointAddress & 0x80) != 0 && !haveIn) {
                    in = ep.bEndpointAddress;
                    haveIn = true;
                }
            }
            if (!haveOut || !haveIn) return false;
            *interfaceNumber = alt.bInterfaceNumber;
            *outEndpoint = out;
            *inEndpoint = in;
            return true;
        }
    }
    return false;
}

bool ksusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char serial[9];
    snprintf(serial, sizeof(serial), "%08X", serialNumber);
    struct stat st;
    if (stat(sNodePath(serial).c_str(), &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

ksusb* ksusb_create_usb(bool useLibusb)
{
    ksusb* usb = new (std::nothrow) ksusb;
    if (usb == nullptr) return nullptr;
    usb->kind = useLibusb ? KSUSB_KIND_LIBUSB : KSUSB_KIND_KERNEL;
    if (useLibusb && (sApi.load()->init(&usb->context) != 0 || usb->context == nullptr)) {
        delete usb;
        return nullptr;
    }
    return usb;
}

aErr ksusb_open_keystrand_device(ksusb* usb, const char* serialText)
{
    if (usb == nullptr || serialText == nullptr || strlen(serialText) >= sizeof(usb->serial))
        return aErrParam;
    snprintf(usb->serial, sizeof(usb->serial), "%s", serialText);
    if (usb->kind == KSUSB_KIND_KERNEL) return sKernelOpen(usb);
    return sLibusbOpen(usb);
}

aErr ksusb_write_to_device(ksusb* usb, const uint8_t* bytes, size_t n)
{
    if (usb == nullptr || (bytes == nullptr && n > 0)) return aErrParam;
    if (n == 0) return aErrNone;
    return usb->kind == KSUSB_KIND_KERNEL ? sKernelWrite(usb, bytes, n) : sLibusbWrite(usb, bytes, n);
}

aErr ksusb_get_from_device(ksusb* usb, uint8_t* byte)
{
    if (usb == nullptr || byte == nullptr) return aErrParam;
    return usb->kind == KSUSB_KIND_KERNEL ? sKernelGet(usb, byte) : sLibusbGet(usb, byte);
}

aErr ksusb_close_keystrand_device(ksusb* usb)
{
    if (usb == nullptr) return aErrParam;
    return usb->kind == KSUSB_KIND_KERNEL ? sKernelClose(usb) : sLibusbClose(usb);
}

aErr ksusb_destroy(ksusb** usb)
{
    if (usb == nullptr || *usb == nullptr) return aErrParam;
    ksusb* u = *usb;
    *usb = nullptr;
    if (u->kind == KSUSB_KIND_KERNEL) {
        if (u->fd >= 0) sKernelClose(u);
    } else {
        if (u->handle != nullptr) sLibusbClose(u);
        if (u->context != nullptr) sApi.load()->exit(u->context);
    }
    delete u;
    return aErrNone;
}

int ksusb_get_state(const ksusb* usb)
{
    return usb != nullptr ? usb->state.load() : 0;
}

int ksusb_get_kind(const ksusb* usb)
{
    return usb != nullptr ? usb->kind : -1;
}

void ksusb_set_device_node_directory(const char* directory)
{
    delete sNodeDirectory;
    sNodeDirectory = directory != nullptr ? new std::string(directory) : nullptr;
}

void ksusb_set_message_sink(ksusb_message_proc sink)
{
    sMessageSink.store(sink);
}
