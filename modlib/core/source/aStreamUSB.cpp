#include <cstdio>
#include <new>

#include "aStream.h"
#include "ksusb.h"

#define aUSB_STREAM_TAG 0xDEAD

struct aUnixUSBStream {
    uint16_t tag;
    uint32_t serialNumber;
    ksusb* usb;
};

namespace {

aUnixUSBStream* sUSB(void* reference)
{
    aUnixUSBStream* stream = static_cast<aUnixUSBStream*>(reference);
    if (stream == nullptr || stream->tag != aUSB_STREAM_TAG) return nullptr;
    return stream;
}

aErr sUSBGet(uint8_t* byte, void* reference)
{
    aUnixUSBStream* stream = sUSB(reference);
    return stream != nullptr ? ksusb_get_from_device(stream->usb, byte) : aErrParam;
}

aErr sUSBWrite(const uint8_t* bytes, size_t count, void* reference)
{
    aUnixUSBStream* stream = sUSB(reference);
    return stream != nullptr ? ksusb_write_to_device(stream->usb, bytes, count) : aErrParam;
}

aErr sUSBPut(uint8_t byte, void* reference)
{
    return sUSBWrite(&byte, 1, reference);
}

aErr sUSBDelete(void* reference)
{
    aUnixUSBStream* stream = sUSB(reference);
    if (stream == nullptr) return aErrParam;
    // A device that refuses to close keeps its record, so the error can be
    // reported without freeing a handle that may still be live.
    aErr err = ksusb_close_keystrand_device(stream->usb);
    if (err != aErrNone) return err;
    ksusb_destroy(&stream->usb);
    stream->tag = 0;
    delete stream;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream)
{
    if (stream == nullptr) return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0) return aErrParam;

    bool kernel = ksusb_is_kernel_driver_installed(serialNumber);
    ksusb* usb = ksusb_create_usb(!kernel);
    if (usb == nullptr) return aErrResource;
    char serialText[9];
    snprintf(serialText, sizeof(serialText), "%08X", serialNumber);
    aErr err = ksusb_open_keystrand_device(usb, serialText);
    if (err != aErrNone) {
        ksusb_destroy(&usb);
        return err;
    }
    aUnixUSBStream* record = new (std::nothrow) aUnixUSBStream{aUSB_STREAM_TAG, serialNumber, usb};
    if (record != nullptr) {
        *stream = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, record);
        if (*stream != nullptr) return aErrNone;
        delete record;
    }
    ksusb_destroy(&usb);
    return aErrResource;
}
