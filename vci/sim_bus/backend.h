// The CAN library's backend for the virtual buses: a bus host (canbus-host, sensor-sim) on
// 127.0.0.1, ports vbus::kFirstPort .. + 7.
#pragma once

#include "vci/backend.h"

namespace vci {

Backend& VirtualBusBackend();

}  // namespace vci
