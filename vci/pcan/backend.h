// The CAN library's backend for PEAK PCAN channels, through the maker's PCAN-Basic library.
#pragma once

#include <cstdint>
#include <string>

#include "vci/backend.h"

namespace vci {

Backend& PcanBackend();

namespace pcan {
// PEAK's name of a channel handle: "PCAN_USBBUS1" for 0x51, "PCAN_USBBUS9" for 0x509.
std::string ChannelName(std::uint16_t handle);
}  // namespace pcan

}  // namespace vci
