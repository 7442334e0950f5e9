// The CAN library's backend for the virtual buses: a bus host (canbus-host, sensor-sim) on
// 127.0.0.1, ports vbus::kFirstPort .. + 7, listed as sim0 .. sim7 (the host's bus name).
//
// Finding one is a connection attempt to each port, closed at once. The controller: a virtual
// bus runs at 1000 kbit/s only (another bit rate is kVciErrNotSupported) and is shared by
// design, so it is never refused as taken. A channel is a connection of its own to the host;
// activating it asks the host to mark where its output stands, and everything before the mark is
// read and dropped. The copy of a sent frame is queued by the library right away, behind what
// the FIFO holds (the host does not return a frame to its sender). The transmit queue is what
// the socket has not taken yet. A host drops a client that falls too far behind (seconds of a
// busy bus), so a channel left inactive without calls may lose its connection; nothing it would
// have delivered is lost by that, and activation connects again.
#pragma once

#include "vci/backend.h"

namespace vci {

Backend& VirtualBusBackend();

}  // namespace vci
