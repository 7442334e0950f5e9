// PEAK PCAN channels through the maker's PCAN-Basic library, loaded at run time
// (vci/pcan/pcan_basic.h). Without the library the backend lists nothing and says nothing.
//
// Devices: every channel the library reports attached (PCAN_ATTACHED_CHANNELS; a library without
// that parameter: each USB channel's condition), available or held by another program, named as
// PEAK names the channel ("PCAN_USBBUS1"); the device's number is the channel handle.
//
// The controller's Init initialises the channel at PCAN_BAUD_1M (normal mode; the library has no
// listen-only default) and empties its queues; an initialisation is also how the maker restarts a
// channel after bus-off, so the next Init (the next load) recovers one. A channel another program
// has initialised is refused with the library's code and text. The channel's transport reads the
// channel's queue and waits on the library's receive event (a Win32 event on Windows, the file
// descriptor it hands out on Linux). The copies of sent frames are queued by the library's
// channel itself (echoes_own_frames false): echo frames exist only in recent PCAN-Basic versions.
// The channel's status (CAN_GetStatus) is read at every receive and after every refused write, and
// each change goes to vci/bus_health as an error frame would.
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
