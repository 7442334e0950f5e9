// A channel on a SocketCAN interface: a CAN_RAW socket bound to it, whose own-message echo gives
// the channel the copies of its sent frames.
#pragma once

#include <memory>
#include <string>

#include "vci/transport.h"

namespace vci {

// Opens a raw CAN socket on the interface. Null on failure (kVciErrDeviceGone when the
// interface has gone, kVciErrIo otherwise).
std::unique_ptr<Transport> OpenSocketCan(const std::string& name, VciResult* code,
                                         std::string* error);

}  // namespace vci
