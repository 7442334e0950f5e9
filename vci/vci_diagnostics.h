// Additions of our stand-in CAN library beyond the loader's interface (can/can_library.h), for
// tests and tools that link the library directly. The loader never calls them, and the Windows
// VCINPL.dll does not export them: it exports the loader's ordinals and nothing else.
#pragma once

#include <stdint.h>

#include "can/can_library.h"

#ifdef __cplusplus
extern "C" {
#endif

// Received frames that the channel lost: frames dropped because its receive FIFO was full, plus,
// on a SocketCAN interface, frames the kernel dropped before the library could read them.
// 0 for a null or unknown handle.
VCI_API uint64_t VciChannelLostCount(VciHandle channel);

// Message flag bit 6: a remote frame (request for data). Received remote frames carry it; a
// remote frame can be sent on a SocketCAN interface only (the virtual bus protocol has none).
static const uint8_t kVciFlagRemote = 0x40;

// The status message (type kVciMessageStatus) that a channel queues when its receive FIFO
// overflows: identifier 0, length 0, data[0] = kVciStatusRxOverrun, data[4..7] = the number of
// frames lost on this channel so far (little-endian, saturating at 0xFFFFFFFF).
static const uint8_t kVciStatusRxOverrun = 0x01;

// VciDeviceInfo.kind of a serial-line CAN adapter (SLCAN) on a serial port, beside
// kVciDeviceVirtualBus and kVciDeviceSocketCan.
static const uint32_t kVciDeviceSlcan = 3;

// VciDeviceInfo.kind of a gs_usb (candleLight-family) USB adapter that the library drives itself.
static const uint32_t kVciDeviceGsUsb = 4;

// VciDeviceInfo.kind of a PEAK PCAN channel reached through PCAN-Basic, and of a Kvaser CANlib
// channel reached through CANlib (the makers' libraries, loaded at run time).
static const uint32_t kVciDevicePcan = 5;
static const uint32_t kVciDeviceKvaser = 6;

#ifdef __cplusplus
}  // extern "C"
#endif
