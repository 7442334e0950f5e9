// Kvaser channels through the maker's CANlib, loaded at run time (vci/kvaser/canlib.h). Without
// the library the backend lists nothing and says nothing.
//
// Devices: every CANlib channel, virtual channels included (they are opened with
// canOPEN_ACCEPT_VIRTUAL), named "kvaser<channel number>"; the description gives the device's
// name, its serial number and the channel on the card, and the first channel of a card carries
// the card's serial number for KORVANE_DEVICE.
//
// The controller's Init opens the channel exclusively (another program that has it open makes
// the open fail, said with CANlib's code and text), sets canBITRATE_1M and the normal driver
// mode; Start goes bus on and empties the receive queue, a stop goes bus off. Bus off and on again
// is how the maker restarts a channel after bus-off, so the next load recovers one. The channel's
// transport reads with canRead and waits in canReadWait. The copies of sent frames are queued by
// the library's channel itself (echoes_own_frames false), as on an SLCAN adapter. The status
// (canReadStatus) is read at every receive and before every write, and each change goes to
// vci/bus_health as an error frame would.
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
