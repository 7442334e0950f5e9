// The CAN library's backend for gs_usb (candleLight-family) USB adapters.
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
