// A frame received from a device as the library's message record, written once for every
// backend that builds one from a frame's fields.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "can/can_library.h"
#include "vci/vci_diagnostics.h"
#include "wire/can_id.h"
#include "wire/frame.h"

namespace vci {

// The identifier is cut to its 11 or 29 bits; the length is kept as the frame claims it (0 to
// 15), its data at most 8 bytes; a remote frame carries no data.
inline VciMessage ReceivedMessage(std::uint32_t id, bool extended, bool remote, std::uint8_t length,
                                  const std::uint8_t* data) {
    VciMessage message{};
    message.type = kVciMessageData;
    message.identifier = id & wire::CanIdMask(extended);
    message.flags = static_cast<std::uint8_t>((length & kVciFlagLengthMask) |
                                              (extended ? kVciFlagExtended : 0) |
                                              (remote ? kVciFlagRemote : 0));
    if (!remote) {
        std::memcpy(message.data, data, std::min<std::size_t>(length, sizeof message.data));
    }
    return message;
}

inline VciMessage ReceivedMessage(const wire::Frame& frame) {
    return ReceivedMessage(frame.id, frame.extended, frame.remote, frame.length, frame.data.data());
}

}  // namespace vci
