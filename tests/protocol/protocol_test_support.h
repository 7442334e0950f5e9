// What the protocol tests share: a fresh fake CAN library per test, frames for its receive queue
// and the frames that the code under test sent, read back from the library's message records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "can/can_frame_io.h"
#include "tests/fake_can_library/fake_can_library.h"

namespace protocol_test {

using Bytes = std::vector<uint8_t>;

inline VciHandle Port() {
    return fake_can::ChannelHandle();
}

// A received data message as the library delivers it. A data size above 8 sets that length
// field and carries the first 8 bytes.
inline VciMessage Received(uint32_t identifier, bool extended, const Bytes& data) {
    VciMessage message{};
    message.identifier = identifier;
    message.type = kVciMessageData;
    message.flags = static_cast<uint8_t>(data.size() & kVciFlagLengthMask);
    if (extended) {
        message.flags |= kVciFlagExtended;
    }
    for (size_t i = 0; i < data.size() && i < 8; ++i) {
        message.data[i] = data[i];
    }
    return message;
}
// A received data frame with a 29-bit identifier.
inline VciMessage Ext(uint32_t identifier, const Bytes& data) {
    return Received(identifier, true, data);
}
// A received data frame with an 11-bit identifier field (the library reports whatever it holds).
inline VciMessage Std(uint32_t identifier, const Bytes& data) {
    return Received(identifier, false, data);
}

// A frame as it went to the library: the bus identifier, the extended flag, length and bytes.
struct Sent {
    uint32_t identifier;
    bool extended;
    uint8_t flags;
    Bytes data;
};

inline std::vector<Sent> SentFrames() {
    std::vector<Sent> frames;
    for (const VciMessage& m : fake_can::SentMessages()) {
        uint8_t length = m.flags & kVciFlagLengthMask;
        frames.push_back({m.identifier, (m.flags & kVciFlagExtended) != 0, m.flags,
                          Bytes(m.data, m.data + (length <= 8 ? length : 8))});
    }
    return frames;
}

inline size_t Reads() {
    return fake_can::CountCalls(fake_can::Op::kRead);
}

// Every read of a receive is a 1-ms poll.
inline void ExpectOneMillisecondReads() {
    for (const auto& call : fake_can::Calls()) {
        if (call.op == fake_can::Op::kRead) {
            ASSERT_EQ(call.args.at(0), 1u);
        }
    }
}

// Makes the fake behave like a real library that hands back a copy of every frame it sent.
inline void EchoOwnFrames() {
    fake_can::OnSend([](const VciMessage& sent) {
        VciMessage copy = sent;
        copy.flags |= kVciFlagSelf;
        fake_can::QueueMessage(copy);
    });
}

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_can::Reset();
        SetReceiveTimeout(100);
    }
    void TearDown() override { fake_can::Reset(); }
};

}  // namespace protocol_test
