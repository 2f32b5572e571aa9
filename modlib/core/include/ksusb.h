#ifndef KS_KSUSB_H
#define KS_KSUSB_H

#include <cstddef>
#include <cstdint>

#include "aError.h"

// One USB connection to a module, either through libusb or through the
// optional kernel driver's node "/dev/keystrand.%08X". Every call dispatches
// on the record's kind. A record has no lock: one reader thread (get) and one
// writer thread (write) may use it at the same time; the state is atomic.
typedef struct ksusb ksusb;

#define KSUSB_KIND_KERNEL 0
#define KSUSB_KIND_LIBUSB 1

#define KSUSB_STATE_CREATED 1
#define KSUSB_STATE_CLOSED 2
#define KSUSB_STATE_OPENING 3
#define KSUSB_STATE_OPEN 4
#define KSUSB_STATE_FAILED 5  // a transfer failed; reads and writes give aErrIO

// Size of the IN transfer buffer and of one OUT chunk.
#define KSUSB_IN_BUFFER_SIZE 800
#define KSUSB_OUT_CHUNK_SIZE 50

// True when the kernel driver node for this serial number exists and is not a
// directory.
bool ksusb_is_kernel_driver_installed(uint32_t serialNumber);

// New record in state 1 (free it with ksusb_destroy). With libusb a private
// libusb context is initialised too; null when that fails or memory runs out.
ksusb* ksusb_create_usb(bool useLibusb);

// Opens the module whose serial text (8 upper-case hex digits) is given.
// Kernel: aErrBusy when the node is busy, else aErrIO on failure. libusb:
// aErrMode unless in state 1, aErrResource without a context, aErrNotFound
// when no module has exactly that serial string, aErrConfiguration when its
// interface (class 0xFF/0x88/0x10 with a bulk OUT and IN endpoint) is missing,
// aErrBusy / aErrPermission / aErrUnknown when it cannot be claimed.
aErr ksusb_open_keystrand_device(ksusb* usb, const char* serialText);

// Sends n bytes. libusb: 50-byte chunks in at most 100 rounds; aErrNotReady in
// states 1 and 3, aErrConnection when closed, aErrIO after a failed transfer,
// aErrWrite when bytes were left unsent. Kernel: aErrIO on any shortfall.
aErr ksusb_write_to_device(ksusb* usb, const uint8_t* bytes, size_t n);

// Gives the next received byte; aErrNotReady when none arrived within one
// 100 ms IN transfer (libusb) or none is waiting (kernel). libusb:
// aErrConnection when closed, aErrIO in the failed state or when an IN
// transfer fails other than by time-out or stall.
aErr ksusb_get_from_device(ksusb* usb, uint8_t* byte);

// Closes the device (state 2). Kernel: aErrCancel when close fails.
aErr ksusb_close_keystrand_device(ksusb* usb);

// Closes an open device, ends the libusb context, frees and clears *usb.
// aErrParam for a null record.
aErr ksusb_destroy(ksusb** usb);

// State (KSUSB_STATE_*) and kind (KSUSB_KIND_*) of a record; 0 / -1 for null.
int ksusb_get_state(const ksusb* usb);
int ksusb_get_kind(const ksusb* usb);

// Directory holding the kernel driver nodes, "/dev" unless replaced (tests
// point it at a directory of their own). A null directory restores "/dev".
// Not thread-safe; set it before any USB stream is made.
void ksusb_set_device_node_directory(const char* directory);

// Diagnostics of the USB layer (for example "error release %d\n") go to this
// sink; there is none by default, as the library never prints. Set it before
// any USB stream is made.
typedef void (*ksusb_message_proc)(const char* text);
void ksusb_set_message_sink(ksusb_message_proc sink);

#endif
