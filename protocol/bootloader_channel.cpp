#include "protocol/bootloader_channel.h"

#include <cstring>

#include "can/can_frame_io.h"

namespace {

constexpr uint8_t kMaxFrameLength = 8;

// Copies the frame's data bytes, at most 8, and reports its length as received.
void CopyReply(const CanFrame& frame, uint8_t (&data)[8], uint8_t& length) {
    std::memcpy(data, frame.data, frame.length < kMaxFrameLength ? frame.length : kMaxFrameLength);
    length = frame.length;
}

// A reply that must be exactly `expected`, byte for byte.
bool ReplyEquals(const uint8_t (&reply)[8], uint8_t reply_length, const uint8_t* expected,
                 uint8_t expected_length) {
    return reply_length == expected_length && std::memcmp(reply, expected, expected_length) == 0;
}

// Sends `request` on `channel` and requires the reply to be exactly `expected`.
int TransactEcho(VciHandle port, uint8_t channel, const uint8_t* request, uint8_t request_length,
                 const uint8_t* expected, uint8_t expected_length) {
    uint8_t reply[8];
    uint8_t reply_length = 0;
    if (Transact(port, channel, request, request_length, reply, reply_length) != 1) {
        return 0;
    }
    return ReplyEquals(reply, reply_length, expected, expected_length) ? 1 : 0;
}

}  // namespace

uint32_t CommandChannelIdentifier(uint8_t channel) {
    return kCommandChannelBaseId + (static_cast<uint32_t>(channel & 0x0F) << 8);
}

uint8_t CommandChannelOf(uint32_t id) {
    return static_cast<uint8_t>((id >> 8) & 0x0F);
}

uint32_t SendCommand(VciHandle port, uint8_t channel, const uint8_t* data, uint8_t length) {
    if (length > kMaxFrameLength) {
        return kVciErrInvalidArgument;
    }
    CanFrame frame{};
    frame.id = CommandChannelIdentifier(channel);
    frame.length = length;
    if (length > 0) {
        std::memcpy(frame.data, data, length);
    }
    return SendFrame(port, frame);
}

int Transact(VciHandle port, uint8_t channel, const uint8_t* request, uint8_t request_length,
             uint8_t (&reply)[8], uint8_t& reply_length) {
    if (request_length > kMaxFrameLength) {
        return 0;  // not a frame: nothing to send, nothing to wait for
    }
    // A refused request is not an error here: the wait then normally ends without a reply.
    SendCommand(port, channel, request, request_length);

    uint8_t wanted = static_cast<uint8_t>(channel & 0x0F);
    uint32_t other_channel_frames = 0;
    CanFrame frame{};
    // Every wait starts with a full budget of its own.
    while (ReceiveMatching(port, kCommandReplyValue, kCommandReplyMask, frame) == 1) {
        CopyReply(frame, reply, reply_length);
        if (CommandChannelOf(frame.id) == wanted) {
            return 1;
        }
        // A frame of another channel is dropped; it is lost to everyone.
        if (++other_channel_frames == kMaxOtherChannelFrames) {
            return 0;
        }
    }
    return 0;
}

int TransactCommand(VciHandle port, const uint8_t* request, uint8_t request_length,
                    uint8_t (&reply)[8], uint8_t& reply_length) {
    return Transact(port, kCommandChannel, request, request_length, reply, reply_length);
}

int ReceiveCommand(VciHandle port, uint8_t& channel, uint8_t (&data)[8], uint8_t& length) {
    CanFrame frame{};
    if (ReceiveMatching(port, kCommandReplyValue, kCommandReplyMask, frame) != 1) {
        return 0;
    }
    channel = CommandChannelOf(frame.id);
    CopyReply(frame, data, length);
    return 1;
}

int QueryVersion(VciHandle port, uint8_t (&reply)[8], uint8_t& reply_length) {
    return TransactCommand(port, kVersionCommand, sizeof kVersionCommand, reply, reply_length);
}

int WaitForBootloader(VciHandle port) {
    uint32_t waited = 0;  // nominal milliseconds of the failed attempts, not time spent
    for (;;) {
        uint8_t reply[8];
        uint8_t reply_length = 0;
        if (QueryVersion(port, reply, reply_length) == 1) {
            return 1;
        }
        // Read anew each time. A budget of 0 still counts 1 ms, so the wait cannot go on forever.
        waited += ReceiveTimeout > 0 ? ReceiveTimeout : 1;
        if (waited > kBootloaderWaitAllowance) {
            return 0;
        }
    }
}

int EraseSector(VciHandle port, uint32_t address) {
    const uint8_t request[5] = {kEraseCommand, static_cast<uint8_t>(address >> 24),
                                static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    // The bootloader echoes the address without the command byte.
    return TransactEcho(port, kCommandChannel, request, sizeof request, request + 1,
                        sizeof request - 1);
}

int BeginStream(VciHandle port) {
    return TransactEcho(port, kCommandChannel, kBeginStreamCommand, sizeof kBeginStreamCommand,
                        kBeginStreamCommand, sizeof kBeginStreamCommand);
}

int EndStream(VciHandle port) {
    return TransactEcho(port, kCommandChannel, kEndStreamCommand, sizeof kEndStreamCommand,
                        kEndStreamCommand, sizeof kEndStreamCommand);
}

int SendDataBlock(VciHandle port, const uint8_t (&block)[8]) {
    return TransactEcho(port, kDataChannel, block, sizeof block, block, sizeof block);
}

int RequestReboot(VciHandle port) {
    // Nothing answers "REBOOTME"; whether the library took it is not looked at.
    SendCommand(port, kCommandChannel, kRebootCommand, sizeof kRebootCommand);
    return 1;
}
