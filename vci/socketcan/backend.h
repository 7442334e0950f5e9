// The CAN library's backend for SocketCAN: every CAN network interface of the kernel (can0, vcan0,
// slcan0, ...), listed by its name.
//
// The controller's step is vci/socketcan/interface_policy.h: the interface is brought up at the
// bit rate where this user may, left alone where it runs at that rate already, and otherwise the
// step fails and says the command that fixes it; a bus-off interface is restarted. Interfaces
// are shared by design, so the controller is never refused as taken. A channel is a raw CAN
// socket, which takes no frames at all while inactive. The copy of a sent frame is the kernel's
// own-message echo; the transmit queue is the interface's own. Error frames go to
// vci/bus_health.h.
#pragma once

#include "vci/backend.h"

namespace vci {

Backend& SocketCanBackend();

}  // namespace vci
