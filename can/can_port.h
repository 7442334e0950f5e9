// The CAN port: the interface device, its controller at 1000 kbit/s and one message channel.
//
// The loader's three result conventions, one per layer:
// - library code (uint32_t, 0 for success, a failure code passed up unchanged): the CAN
//   library itself and the steps of the port below (FirstDeviceId, OpenDevice,
//   StartController), which add one code of their own, kDeviceNotFound; the plain sends
//   (SendFrame, SendPgn, SendCommand) and FlushReceive;
// - 1 for success, 0 for failure (int): OpenCanPort, and every receive and protocol operation
//   (can/can_frame_io.h, protocol/);
// - load result (int, 0 for success, a negative code naming the failing stage): RunLoadSequence
//   (app/load_sequence.h), printed by the entry in its failure line.
// Only the entry and OpenCanPort print; everything below them reports through its result.
#pragma once

#include <cstdint>

#include "can/can_library.h"

struct CanPort {
    VciHandle device;   // opened device; never closed by the loader
    VciHandle channel;  // the message channel for all traffic
};

// The device's controller, held from StartController until CloseController; null at start.
extern VciHandle ControllerHandle;

inline constexpr uint32_t kDeviceNotFound = 0xFFFFFFFFu;

// Opens device, controller and channel; prints one error line on failure. 1 or 0. Handles
// obtained before a failure stay in the port for CloseCanPort.
int OpenCanPort(CanPort& port, void* parent_window);
// Closes the channel and the controller, if they were opened.
void CloseCanPort(CanPort& port);

// The steps of OpenCanPort and CloseCanPort; nothing else calls them.

// Number of devices one enumeration yields. An enumeration that cannot be opened or reset, or
// that ends on any code but kVciErrNoMoreItems, counts as no device (0), however many it listed.
// The enumerator is closed on every path.
uint32_t CountDevices();
// 0 with the identifier of the first device an enumeration yields; kDeviceNotFound when there is
// none or the enumeration fails, with `id` all zero.
uint32_t FirstDeviceId(VciDeviceId& id);
// Opens the one device there is: by its identifier when there is exactly one, through the
// library's selection (owned by `parent_window`) when there are several. The library's code of
// that opening, or kDeviceNotFound when the single device counted is not found again.
// Success with a null `device` means no device at all: that is not an error here. The caller
// carries on, and the controller step then fails on the null handle with the library's code,
// which is what the operator sees ("Unable to set bit rate.").
uint32_t OpenDevice(VciHandle& device, void* parent_window);
// Opens the device's controller (unless ControllerHandle is already held), initialises it at
// 1000 kbit/s and starts it. The first failing code, or 0. kVciErrAccessDenied means another
// application owns the controller: the handle has then been closed and cleared, and the caller
// goes on without it, sharing the bus through its channel.
uint32_t StartController(VciHandle device);
// Closes ControllerHandle if it is held and clears it.
void CloseController();
