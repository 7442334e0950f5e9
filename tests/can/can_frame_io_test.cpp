// Frame I/O over the scripted CAN library: conversions, the counted receive budget, the flush.
#include <gtest/gtest.h>

#include <vector>

#include "can/can_frame_io.h"
#include "tests/fake_can_library/fake_can_library.h"

namespace {

using fake_can::Op;

VciHandle Channel() {
    return fake_can::ChannelHandle();
}

class FrameIoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_can::Reset();
        SetReceiveTimeout(0);
    }
};

VciMessage NonData(uint8_t type) {
    VciMessage message{};
    message.type = type;
    message.identifier = 0x123;
    message.flags = 3;
    return message;
}

TEST_F(FrameIoTest, SendBuildsTheMessageRecord) {
    struct Case {
        CanFrame frame;
        uint32_t identifier;
        uint8_t flags;
    };
    const std::vector<Case> cases = {
        {{0x98EEFF00u, 8, {0, 0, 0x60, 0x37, 0, 0, 0, 0x80}}, 0x18EEFF00u, 0xA8},
        {{0x80FFF2B1u, 1, {0x56}}, 0x00FFF2B1u, 0xA1},
        {{0x80FFF2B1u, 0, {}}, 0x00FFF2B1u, 0xA0},      // 29-bit, no data
        {{0x00000123u, 0, {}}, 0x123u, 0x20},           // 11-bit, no data
        {{0xE0FFF2B1u, 2, {1, 2}}, 0x00FFF2B1u, 0xA2},  // bits 29 and 30 are dropped
    };
    for (const auto& c : cases) {
        fake_can::Reset();
        ASSERT_EQ(SendFrame(Channel(), c.frame), kVciOk);
        ASSERT_EQ(fake_can::CountCalls(Op::kSend), 1u);
        const auto& call = fake_can::Calls().back();
        EXPECT_EQ(call.args[0], 0u) << "send time-out";
        const VciMessage& m = call.message;
        EXPECT_EQ(m.time_stamp, 0u);
        EXPECT_EQ(m.identifier, c.identifier);
        EXPECT_EQ(m.type, 0);
        EXPECT_EQ(m.reserved0, 0);
        EXPECT_EQ(m.reserved1, 0);
        EXPECT_EQ(m.flags, c.flags);
        for (int i = 0; i < c.frame.length; ++i) {
            EXPECT_EQ(m.data[i], c.frame.data[i]);
        }
    }
}

TEST_F(FrameIoTest, SendPassesTheLibraryCodeOn) {
    fake_can::ScriptResults(Op::kSend, {kVciErrTxFull});
    CanFrame frame{0x80000001u, 0, {}};
    EXPECT_EQ(SendFrame(Channel(), frame), kVciErrTxFull);
    EXPECT_EQ(fake_can::CountCalls(Op::kSend), 1u) << "no retry";
}

TEST_F(FrameIoTest, MessageToFrame) {
    struct Case {
        const char* what;
        VciMessage message;
        uint32_t id;
        uint8_t length;
        uint8_t bytes_copied;
    };
    VciMessage long_length = fake_can::DataMessage(0x18EF00C3, true, {1, 2, 3, 4, 5, 6, 7, 8});
    long_length.flags = kVciFlagExtended | 0x0F;  // a length field of 15
    const std::vector<Case> cases = {
        {"29-bit", fake_can::DataMessage(0x18EF00C3, true, {1, 2, 3}), 0x98EF00C3u, 3, 3},
        {"11-bit", fake_can::DataMessage(0x7FF, false, {9}), 0x7FFu, 1, 1},
        {"length 0 keeps data", fake_can::DataMessage(0x10, true, {}), 0x80000010u, 0, 0},
        {"length 15 copies 8", long_length, 0x98EF00C3u, 15, 8},
        {"info message", NonData(kVciMessageInfo), 0xFFFFFFFFu, 0, 0},
        {"error message", NonData(kVciMessageError), 0xFFFFFFFFu, 0, 0},
    };
    for (const auto& c : cases) {
        CanFrame frame{0, 0xEE, {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}};
        MessageToFrame(c.message, frame);
        EXPECT_EQ(frame.id, c.id) << c.what;
        EXPECT_EQ(frame.length, c.length) << c.what;
        for (int i = 0; i < 8; ++i) {
            uint8_t expected = i < c.bytes_copied ? c.message.data[i] : 0xAA;
            EXPECT_EQ(frame.data[i], expected) << c.what << " byte " << i;
        }
    }
}

TEST_F(FrameIoTest, ReceiveFrameSkipsOwnCopiesAndReturnsNonDataMessages) {
    fake_can::QueueMessage(fake_can::DataMessage(0x100, true, {1}, /*own=*/true));
    fake_can::QueueMessage(NonData(kVciMessageStatus));
    fake_can::QueueMessage(fake_can::DataMessage(0x101, true, {2}));
    CanFrame frame{};
    ASSERT_EQ(ReceiveFrame(Channel(), frame), 1);
    EXPECT_EQ(frame.id, 0xFFFFFFFFu);
    EXPECT_EQ(frame.length, 0);
    ASSERT_EQ(ReceiveFrame(Channel(), frame), 1);
    EXPECT_EQ(frame.id, 0x80000101u);
    EXPECT_EQ(ReceiveFrame(Channel(), frame), 0);
    for (const auto& call : fake_can::Calls()) {
        EXPECT_EQ(call.args[0], 1u) << "every read waits 1 ms";
    }
}

// The budget is counted by reads, not by a clock: each case gives the traffic, the timeout, and
// the number of 4110 calls after which ReceiveMatching must give up (or match).
TEST_F(FrameIoTest, ReceiveMatchingChargesTheBudgetByCount) {
    const uint32_t value = 0x80EF00C3u;
    const uint32_t mask = 0x83FFFFFFu;
    const VciMessage other = fake_can::DataMessage(0x18EF0099, true, {0});
    const VciMessage wanted = fake_can::DataMessage(0x18EF00C3, true, {7});
    const VciMessage own = fake_can::DataMessage(0x18EF00C3, true, {7}, /*own=*/true);
    struct Case {
        const char* what;
        uint32_t timeout;
        int non_matching;  // messages that do not match, first
        int silence;       // then empty reads
        bool then_wanted;
        int expected_result;
        size_t expected_reads;
    };
    const std::vector<Case> cases = {
        {"250 ms of silence", 250, 0, 1000, false, 0, 250},
        {"1812 non-matching messages", 250, 5000, 0, false, 0, 1812},
        {"1811 non-matching then silence", 250, 1811, 10, false, 0, 1812},
        {"1 non-matching then silence", 250, 1, 1000, false, 0, 251},
        {"timeout 0, empty first read", 0, 0, 5, true, 0, 1},
        {"timeout 0, non-matching first", 0, 1, 0, true, 0, 1},
        {"timeout 0, matching first", 0, 0, 0, true, 1, 1},
        {"timeout 1, one empty read", 1, 0, 5, true, 0, 1},
        {"timeout 1, one non-matching then empty", 1, 1, 5, true, 0, 2},
        {"match after 249 empty reads", 250, 0, 249, true, 1, 250},
        {"no match after 250 empty reads", 250, 0, 250, true, 0, 250},
    };
    for (const auto& c : cases) {
        fake_can::Reset();
        for (int i = 0; i < c.non_matching; ++i) {
            fake_can::QueueMessage(other);
        }
        fake_can::QueueSilence(c.silence);
        if (c.then_wanted) {
            fake_can::QueueMessage(wanted);
        }
        SetReceiveTimeout(c.timeout);
        CanFrame frame{};
        EXPECT_EQ(ReceiveMatching(Channel(), value, mask, frame), c.expected_result) << c.what;
        EXPECT_EQ(fake_can::CountCalls(Op::kRead), c.expected_reads) << c.what;
    }
    // Own copies cost nothing: 300 of them and then the wanted frame still match at 1 ms.
    fake_can::Reset();
    for (int i = 0; i < 300; ++i) {
        fake_can::QueueMessage(own);
    }
    fake_can::QueueMessage(wanted);
    SetReceiveTimeout(1);
    CanFrame frame{};
    EXPECT_EQ(ReceiveMatching(Channel(), value, mask, frame), 1);
    EXPECT_EQ(frame.data[0], 7);
}

TEST_F(FrameIoTest, ReceiveMatchingTestsTheWholeIdentifierWord) {
    struct Case {
        const char* what;
        VciMessage message;
        uint32_t value;
        uint32_t mask;
        int matches;
    };
    const std::vector<Case> cases = {
        {"11-bit never passes an extended filter", fake_can::DataMessage(0x0C3, false, {}),
         0x800000C3u, 0x800000FFu, 0},
        {"same bits as 29-bit pass", fake_can::DataMessage(0x0C3, true, {}), 0x800000C3u,
         0x800000FFu, 1},
        {"non-data against an extended filter", NonData(kVciMessageError), 0x80FFF0B1u, 0x9FFFF0FFu,
         0},
        {"non-data against an all-ones value", NonData(kVciMessageError), 0xFFFFFFFFu, 0xFFFFFFFFu,
         1},
    };
    for (const auto& c : cases) {
        fake_can::Reset();
        fake_can::QueueMessage(c.message);
        SetReceiveTimeout(0);
        CanFrame frame{};
        EXPECT_EQ(ReceiveMatching(Channel(), c.value, c.mask, frame), c.matches) << c.what;
    }
}

TEST_F(FrameIoTest, ReceiveMatchingTreatsAFailingChannelAsEmpty) {
    fake_can::ScriptResults(Op::kRead, std::vector<uint32_t>(1000, kVciErrIo));
    SetReceiveTimeout(100);
    CanFrame frame{};
    EXPECT_EQ(ReceiveMatching(Channel(), 0, 0, frame), 0);
    EXPECT_EQ(fake_can::CountCalls(Op::kRead), 100u);
}

TEST_F(FrameIoTest, FlushWithNullRecords) {
    for (int i = 0; i < 3; ++i) {
        fake_can::QueueMessage(fake_can::DataMessage(i, true, {}));
    }
    EXPECT_EQ(FlushReceive(Channel()), kVciOk);
    EXPECT_EQ(fake_can::QueuedMessages(), 0u);
    EXPECT_EQ(fake_can::CountCalls(Op::kTake), 4u);
    EXPECT_EQ(fake_can::CountCalls(Op::kRead), 0u);
}

TEST_F(FrameIoTest, FlushEndCodes) {
    struct Case {
        const char* what;
        std::vector<uint32_t> take;  // scripted 4106 results (then the queue decides)
        std::vector<uint32_t> read;  // scripted 4110 results
        int queued;
        uint32_t expected;
        size_t takes;
        size_t reads;
    };
    const std::vector<Case> cases = {
        {"empty FIFO, one call", {}, {}, 0, kVciOk, 1, 0},
        {"ends on time-out code", {kVciErrTimeout}, {}, 0, kVciOk, 1, 0},
        {"ends on another code", {kVciErrIo}, {}, 0, kVciErrIo, 1, 0},
        // A library that refuses null records: take and read with a scratch record in turns.
        {"record loop until take finds nothing", {kVciErrInvalidPointer}, {}, 3, kVciOk, 3, 2},
        {"record loop until read finds nothing", {kVciErrInvalidPointer}, {}, 1, kVciOk, 2, 1},
        {"record loop ends on a failure",
         {kVciErrInvalidPointer},
         {kVciErrDeviceGone},
         5,
         kVciErrDeviceGone,
         2,
         1},
    };
    for (const auto& c : cases) {
        fake_can::Reset();
        fake_can::ScriptResults(Op::kTake, c.take);
        fake_can::ScriptResults(Op::kRead, c.read);
        for (int i = 0; i < c.queued; ++i) {
            fake_can::QueueMessage(fake_can::DataMessage(i, true, {}));
        }
        EXPECT_EQ(FlushReceive(Channel()), c.expected) << c.what;
        EXPECT_EQ(fake_can::CountCalls(Op::kTake), c.takes) << c.what;
        EXPECT_EQ(fake_can::CountCalls(Op::kRead), c.reads) << c.what;
        for (const auto& call : fake_can::Calls()) {
            if (call.op == Op::kRead) {
                EXPECT_EQ(call.args[0], 0u) << c.what << ": the flush never waits";
                EXPECT_FALSE(call.null_record) << c.what;
            }
        }
    }
}

}  // namespace
