#ifndef KS_KSUSB_LIBUSB_H
#define KS_KSUSB_LIBUSB_H

#include <libusb-1.0/libusb.h>

#include <cstdint>

// The libusb calls the core makes, as a table of function pointers. The real
// libusb functions are installed by default; unit tests install their own
// table to play USB devices without hardware. USB discovery uses the same
// table. Each member has the signature and meaning of the libusb function of
// the same name (libusb_init, libusb_exit, ...).
typedef struct ksusb_libusb_api {
    int (*init)(libusb_context** context);
    void (*exit)(libusb_context* context);
    ssize_t (*get_device_list)(libusb_context* context, libusb_device*** list);
    void (*free_device_list)(libusb_device** list, int unrefDevices);
    int (*get_device_descriptor)(libusb_device* device, struct libusb_device_descriptor* descriptor);
    int (*open)(libusb_device* device, libusb_device_handle** handle);
    void (*close)(libusb_device_handle* handle);
    int (*get_string_descriptor_ascii)(libusb_device_handle* handle, uint8_t index, unsigned char* data,
                                       int length);
    int (*get_config_descriptor)(libusb_device* device, uint8_t index,
                                 struct libusb_config_descriptor** config);
    void (*free_config_descriptor)(struct libusb_config_descriptor* config);
    int (*claim_interface)(libusb_device_handle* handle, int interfaceNumber);
    int (*release_interface)(libusb_device_handle* handle, int interfaceNumber);
    int (*bulk_transfer)(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                         int length, int* transferred, unsigned int timeoutMs);
    int (*clear_halt)(libusb_device_handle* handle, unsigned char endpoint);
} ksusb_libusb_api;

// The table of the real libusb functions.
const ksusb_libusb_api* ksusb_libusb_real(void);

// The table in use (the real one unless another was installed).
const ksusb_libusb_api* ksusb_libusb(void);

// Installs a table (null restores the real one). The table must outlive its
// use and every member must be set. Swap tables only while no USB record is
// in use.
void ksusb_libusb_install(const ksusb_libusb_api* api);

// Finds the module's communication interface in a configuration: the first
// alternate setting with class 0xFF, subclass 0x88, protocol 0x10, and among
// its endpoints with bit 1 of bmAttributes set (bulk or interrupt) the first
// OUT (address bit 7 clear) and the first IN (bit 7 set) endpoint. False
// unless both exist; the outputs are written only on success.
bool ksusb_find_endpoints(const struct libusb_config_descriptor* config, uint8_t* interfaceNumber,
                          uint8_t* outEndpoint, uint8_t* inEndpoint);

#endif
