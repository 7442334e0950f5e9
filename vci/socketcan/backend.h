// The CAN library's backend for SocketCAN: every CAN network interface of the kernel (can0, vcan0,
// slcan0, ...).
#pragma once

#include "vci/backend.h"

namespace vci {

Backend& SocketCanBackend();

}  // namespace vci
