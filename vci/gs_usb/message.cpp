#include "vci/gs_usb/message.h"

#include <algorithm>

#include "vci/vci_diagnostics.h"
#include "wire/can_id.h"

namespace vci::gs_usb {

wire::gs_usb::HostFrame FrameFromMessage(const VciMessage& message, std::uint32_t echo_id) {
    wire::gs_usb::HostFrame frame;
    frame.echo_id = echo_id;
    const bool extended = (message.flags & kVciFlagExtended) != 0;
    const bool remote = (message.flags & kVciFlagRemote) != 0;
    frame.can_id = (message.identifier & wire::CanIdMask(extended)) |
                   (extended ? wire::kCanIdExtended : 0) | (remote ? wire::kCanIdRemote : 0);
    frame.dlc = std::min<std::uint8_t>(message.flags & kVciFlagLengthMask, 8);
    if (!remote) {
        std::copy(message.data, message.data + frame.dlc, frame.data.begin());
    }
    return frame;
}

VciMessage MessageFromFrame(const wire::gs_usb::HostFrame& frame) {
    VciMessage message{};
    const bool extended = (frame.can_id & wire::kCanIdExtended) != 0;
    const bool remote = (frame.can_id & wire::kCanIdRemote) != 0;
    const bool error = (frame.can_id & wire::kCanIdError) != 0;
    message.identifier = frame.can_id & (error ? wire::kCanErrorMask : wire::CanIdMask(extended));
    message.type = error ? kVciMessageError : kVciMessageData;
    const std::uint8_t length = std::min<std::uint8_t>(frame.dlc, 8);
    message.flags = static_cast<std::uint8_t>(length | (extended ? kVciFlagExtended : 0) |
                                              (remote ? kVciFlagRemote : 0));
    if (!remote) {
        std::copy(frame.data.begin(), frame.data.begin() + length, message.data);
    }
    return message;
}

}  // namespace vci::gs_usb
