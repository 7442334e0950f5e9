// The CAN library's backend for gs_usb (candleLight-family) USB adapters, listed as gsusb-NAME
// (docs/gs-usb.md).
//
// Finding them reads sysfs (Linux) or the device interfaces (Windows) and opens no adapter. On
// Linux an adapter whose kernel driver has it as a network interface that is up is left to the
// SocketCAN backend; one whose interface is down is taken from the driver for the load and given
// back afterwards, also when the loader is ended by a signal (and by the next scan when it could
// not be). The controller's step sets the bit timing from the adapter's limits and starts it. The
// copy of a sent frame is the adapter's echo of it; error frames go to vci/bus_health.h. A pulled
// out adapter ends the session; plugged in again it is set up afresh.
#pragma once

#include <optional>

#include "vci/backend.h"
#include "vci/gs_usb/usb.h"

namespace vci {

Backend& GsUsbBackend();

namespace gs_usb {
// The device list's entry for an adapter found, or none when the library leaves it alone: the
// kernel's gs_usb driver holds it and its interface is up, or this user may not open it (the
// SocketCAN interface stands for it then), or another driver holds it.
std::optional<DeviceEntry> EntryFor(const FoundAdapter& found);
}  // namespace gs_usb

}  // namespace vci
