#ifndef KS_AKEYSTRAND_H
#define KS_AKEYSTRAND_H

#include <cstdint>

// USB vendor identifier carried by every Keystrand module; any product id is
// accepted. The USB transport and USB discovery both identify modules by it.
#define KEYSTRAND_USB_VENDOR_ID 0x4B53

struct libusb_device;

// True when the device's descriptor (read through the installed libusb table,
// see ksusb_libusb.h) can be read and names KEYSTRAND_USB_VENDOR_ID.
bool is_keystrand_device(struct libusb_device* device);

#endif
