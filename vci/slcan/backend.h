// The CAN library's backend for serial-line CAN adapters (SLCAN) on serial ports.
#pragma once

#include "vci/backend.h"

namespace vci {

Backend& SlcanBackend();

}  // namespace vci
