// The library's message record as a gs_usb host frame on channel 0, and back.
#pragma once

#include <cstdint>

#include "can/can_library.h"
#include "wire/gs_usb_protocol.h"

namespace vci::gs_usb {

// Received frames and echoes: the length is capped at 8, a remote frame carries no data; an
// error frame becomes a message of type kVciMessageError with its error classes as identifier,
// as on SocketCAN.
wire::gs_usb::HostFrame FrameFromMessage(const VciMessage& message, std::uint32_t echo_id);
VciMessage MessageFromFrame(const wire::gs_usb::HostFrame& frame);

}  // namespace vci::gs_usb
