// The CAN library's backend for serial-line CAN adapters (SLCAN) on serial ports: recognised USB
// adapters and the ports in KORVANE_SLCAN_PORTS, listed by the port's name.
//
// Finding them opens no port (docs/serial-adapters.md). The controller's step opens the port and
// sets the adapter up (bit rate, open) over the one session the adapter has in this process
// (vci/adapter_sessions.h); an adapter whose controller was not started gives a channel nothing.
// The copy of a sent frame is queued by the library as on a virtual bus (adapters do not send the
// host's frames back). A port that hangs up or fails ends the session; the adapter plugged in
// again is set up afresh by the next activation or controller step.
#pragma once

#include "vci/backend.h"

namespace vci {

Backend& SlcanBackend();

}  // namespace vci
