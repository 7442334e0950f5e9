// The CAN library's backend for Kvaser channels, through the maker's CANlib.
#pragma once

#include <cstdint>
#include <string>

#include "vci/backend.h"

namespace vci {

Backend& KvaserBackend();

namespace kvaser {
// The device list's entry for CANlib channel `channel`: "kvaser<channel>", the card's serial
// number on its first channel only.
DeviceEntry EntryFor(std::int32_t channel, const std::string& device, std::uint64_t serial,
                     std::uint32_t channel_on_card, bool is_virtual);
}  // namespace kvaser

}  // namespace vci
