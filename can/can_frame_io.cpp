#include "can/can_frame_io.h"

#include <cstring>

uint32_t ReceiveTimeout = 0;

namespace {

// What a message that does not match costs the budget, in microseconds.
constexpr uint32_t kNonMatchingCost = 138;
// What an empty 1-ms read costs the budget, in microseconds.
constexpr uint32_t kEmptyReadCost = 1000;

bool IsOwnCopy(const VciMessage& message) {
    return (message.flags & kVciFlagSelf) != 0;
}

}  // namespace

void SetReceiveTimeout(uint32_t milliseconds) {
    ReceiveTimeout = milliseconds;
}

void FrameToMessage(const CanFrame& frame, VciMessage& message) {
    message.time_stamp = 0;
    message.identifier = frame.id & kCanIdMask;
    message.type = kVciMessageData;
    message.reserved0 = 0;
    // The length goes in as it is: callers keep it to 0..8.
    message.flags = static_cast<uint8_t>(frame.length | kVciFlagSelf);
    if ((frame.id & kCanIdExtended) != 0) {
        message.flags |= kVciFlagExtended;
    }
    message.reserved1 = 0;
    size_t length = frame.length <= 8 ? frame.length : 8;
    std::memcpy(message.data, frame.data, length);
}

void MessageToFrame(const VciMessage& message, CanFrame& frame) {
    if (message.type != kVciMessageData) {
        frame.id = kCanIdNotData;
        frame.length = 0;
        return;
    }
    frame.id = message.identifier & kCanIdMask;
    if ((message.flags & kVciFlagExtended) != 0) {
        frame.id |= kCanIdExtended;
    }
    frame.length = static_cast<uint8_t>(message.flags & kVciFlagLengthMask);
    // A length field of 9 to 15 is reported as it reads, but no more than 8 bytes exist.
    size_t copy = frame.length <= 8 ? frame.length : 8;
    std::memcpy(frame.data, message.data, copy);
}

uint32_t SendFrame(VciHandle channel, const CanFrame& frame) {
    VciMessage message{};
    FrameToMessage(frame, message);
    return VciChannelSend(channel, 0, &message);
}

int ReceiveFrame(VciHandle channel, CanFrame& frame) {
    VciMessage message{};
    for (;;) {
        if (VciChannelRead(channel, 1, &message) != kVciOk) {
            return 0;
        }
        if (!IsOwnCopy(message)) {
            MessageToFrame(message, frame);
            return 1;
        }
    }
}

int ReceiveMatching(VciHandle channel, uint32_t value, uint32_t mask, CanFrame& frame) {
    uint32_t budget = ReceiveTimeout * 1000u;  // microseconds; wraps above 4294967 ms
    VciMessage message{};
    for (;;) {
        if (VciChannelRead(channel, 1, &message) != kVciOk) {
            // Nothing within 1 ms, or a failed read: both cost a full millisecond.
            if (budget < kEmptyReadCost) {
                return 0;
            }
            budget -= kEmptyReadCost;
            if (budget == 0) {
                return 0;
            }
            continue;
        }
        if (IsOwnCopy(message)) {
            continue;  // our own frame coming back costs nothing
        }
        MessageToFrame(message, frame);
        if ((frame.id & mask) == value) {
            return 1;
        }
        budget = budget >= kNonMatchingCost ? budget - kNonMatchingCost : 0;
        if (budget == 0) {
            return 0;
        }
    }
}

uint32_t FlushReceive(VciHandle channel) {
    // Discard without copying while the library allows a null record.
    uint32_t result = kVciOk;
    do {
        result = VciChannelTake(channel, nullptr);
    } while (result == kVciOk);
    if (result == kVciErrInvalidPointer) {
        // This library wants a record: take each message into a scratch one, and also read what
        // arrives meanwhile, until both find nothing.
        VciMessage scratch{};
        for (;;) {
            result = VciChannelTake(channel, &scratch);
            if (result != kVciOk) {
                break;
            }
            result = VciChannelRead(channel, 0, &scratch);
            if (result != kVciOk) {
                break;
            }
        }
    }
    if (result == kVciErrRxEmpty || result == kVciErrTimeout) {
        return kVciOk;
    }
    return result;
}
