// What the controller step does to a SocketCAN interface: it makes the interface work at the bit
// rate asked where that changes nothing another program relies on, and otherwise says what
// stands in the way and what the operator can run about it.
#pragma once

#include <cstdint>
#include <string>

#include "can/can_library.h"

namespace vci {

// Readies interface `name` for a load at `bitrate` (bit/s):
// - an interface that is up keeps running as it is: someone may be using it. Up at another bit
//   rate is kVciErrNotSupported; bus-off is restarted when the process may (the way that works
//   for its driver), else kVciErrWrongState;
// - an interface that is down is brought up, its bit rate set first where it has bit timing
//   (vcan and vxcan have none), when the process may (CAP_NET_ADMIN); else kVciErrNotSupported;
// - an interface that vanished is kVciErrDeviceGone.
// Each failure says why on stderr, and "vci: NAME: to fix it, run: COMMAND".
VciResult PrepareInterface(const std::string& name, std::uint32_t bitrate);

}  // namespace vci
