// The bootloader's command channel over the scripted CAN library: identifiers, the reply filter,
// the request/response exchange and its limits, each command's echo check, the wait for the
// bootloader.
#include "protocol/bootloader_channel.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/protocol/protocol_test_support.h"

namespace {

using namespace protocol_test;
using fake_can::Op;

constexpr uint32_t kChannel2 = 0x00FFF2B1;   // bus identifier of channel 2
constexpr uint32_t kChannel15 = 0x00FFFFB1;  // bus identifier of channel 15

const Bytes kBootBeg = {'B', 'O', 'O', 'T', '_', 'B', 'E', 'G'};
const Bytes kBootEnd = {'B', 'O', 'O', 'T', '_', 'E', 'N', 'D'};

class BootloaderChannelTest : public ProtocolTest {};

TEST_F(BootloaderChannelTest, SendCommandBuildsTheChannelIdentifier) {
    struct Case {
        uint8_t channel;
        Bytes data;
        uint32_t identifier;
    };
    const std::vector<Case> cases = {
        {2, {'V'}, 0x00FFF2B1},
        {15, {1, 2, 3, 4, 5, 6, 7, 8}, 0x00FFFFB1},
        {0, {0x45, 8, 1, 0, 0}, 0x00FFF0B1},
        {0x12, {9}, 0x00FFF2B1},  // only the channel's low nibble counts
        {7, {}, 0x00FFF7B1},
    };
    for (const Case& c : cases) {
        fake_can::Reset();
        EXPECT_EQ(CommandChannelIdentifier(c.channel), 0x80000000u | c.identifier);
        EXPECT_EQ(CommandChannelOf(0x80000000u | c.identifier), c.channel & 0x0F);
        EXPECT_EQ(
            SendCommand(Port(), c.channel, c.data.data(), static_cast<uint8_t>(c.data.size())),
            kVciOk);
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, c.identifier);
        EXPECT_EQ(sent[0].flags, 0xA0 | c.data.size());
        EXPECT_EQ(sent[0].data, c.data);
        EXPECT_EQ(Reads(), 0u);
    }
}

TEST_F(BootloaderChannelTest, SendCommandReportsRefusalsAndOverlongRequests) {
    fake_can::ScriptResults(Op::kSend, {kVciErrTxFull});
    const uint8_t data[9] = {};
    EXPECT_EQ(SendCommand(Port(), 2, data, 1), kVciErrTxFull);
    EXPECT_EQ(SendCommand(Port(), 2, data, 9), kVciErrInvalidArgument);
    EXPECT_EQ(fake_can::CountCalls(Op::kSend), 1u);  // the 9-byte request never went out
}

TEST_F(BootloaderChannelTest, OnlyBootloaderFramesOfPriority0CountAsReplies) {
    struct Case {
        std::string name;
        VciMessage frame;
        int channel;  // -1: not a command-channel frame
    };
    const std::vector<Case> cases = {
        {"channel 2", Ext(0x00FFF2B1, {1}), 2},
        {"channel 15", Ext(0x00FFFFB1, {1}), 15},
        {"channel 5", Ext(0x00FFF5B1, {1}), 5},
        {"priority 1", Ext(0x04FFF2B1, {1}), -1},
        {"priority 6", Ext(0x18FFF2B1, {1}), -1},
        {"data page", Ext(0x01FFF2B1, {1}), -1},
        {"extended data page", Ext(0x02FFF2B1, {1}), -1},
        {"PDU format 0xFE", Ext(0x00FEF2B1, {1}), -1},
        {"PS high nibble 0xE", Ext(0x00FFE2B1, {1}), -1},
        {"other source", Ext(0x00FFF2B2, {1}), -1},
        {"our software address", Ext(0x00FFF200, {1}), -1},
        {"11-bit", Std(0x2B1, {1}), -1},
        {"11-bit holding the same bits", Std(0x00FFF2B1, {1}), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_can::Reset();
        SetReceiveTimeout(1);  // a rejected frame, then one empty read ends the wait
        fake_can::QueueMessage(c.frame);
        uint8_t channel = 0x77;
        uint8_t data[8] = {};
        uint8_t length = 0x77;
        ASSERT_EQ(ReceiveCommand(Port(), channel, data, length), c.channel >= 0 ? 1 : 0);
        if (c.channel >= 0) {
            EXPECT_EQ(channel, c.channel);
            EXPECT_EQ(length, 1);
            EXPECT_EQ(data[0], 1);
        } else {
            EXPECT_EQ(channel, 0x77);
            EXPECT_EQ(length, 0x77);
        }
        // The same frame as the answer to "V" on channel 2.
        fake_can::Reset();
        fake_can::QueueMessage(c.frame);
        uint8_t reply[8] = {};
        EXPECT_EQ(QueryVersion(Port(), reply, length), c.channel == 2 ? 1 : 0);
    }
}

TEST_F(BootloaderChannelTest, ReplyOfAnotherChannelIsSkippedAndTheWaitStartsAfresh) {
    // 60 ms + 60 ms of silence: more than one 100-ms budget, but each wait gets its own.
    fake_can::QueueSilence(60);
    fake_can::QueueMessage(Ext(kChannel15, {0xF1, 0xF2}));
    fake_can::QueueSilence(60);
    fake_can::QueueMessage(Ext(kChannel2, {'>', 'V', 'E', 'R', ' ', '7', '.', '0'}));
    uint8_t reply[8] = {};
    uint8_t length = 0;
    EXPECT_EQ(QueryVersion(Port(), reply, length), 1);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(Bytes(reply, reply + 8), (Bytes{'>', 'V', 'E', 'R', ' ', '7', '.', '0'}));
    EXPECT_EQ(Reads(), 122u);
    EXPECT_EQ(fake_can::QueuedMessages(), 0u);
}

TEST_F(BootloaderChannelTest, TheFiveHundredthFrameOfAnotherChannelEndsTheExchange) {
    struct Case {
        int other_frames;
        int result;
    };
    for (const Case& c : std::vector<Case>{{499, 1}, {500, 0}}) {
        SCOPED_TRACE(c.other_frames);
        fake_can::Reset();
        for (int i = 0; i < c.other_frames; ++i) {
            fake_can::QueueMessage(Ext(kChannel15, {static_cast<uint8_t>(i), 0xEE}));
        }
        fake_can::QueueMessage(Ext(kChannel2, {0x56}));
        uint8_t reply[8] = {};
        uint8_t length = 0;
        EXPECT_EQ(QueryVersion(Port(), reply, length), c.result);
        if (c.result == 0) {
            // The reply holds the last frame examined; the channel-2 reply was never read.
            EXPECT_EQ(length, 2);
            EXPECT_EQ(reply[0], static_cast<uint8_t>(c.other_frames - 1));
            EXPECT_EQ(fake_can::QueuedMessages(), 1u);
        } else {
            EXPECT_EQ(length, 1);
            EXPECT_EQ(reply[0], 0x56);
        }
    }
}

TEST_F(BootloaderChannelTest, FramesOutsideTheCommandChannelDoNotCountTowardsTheLimit) {
    // 600 J1939 frames cost 600 x 138 us of the 100-ms budget and are not command frames.
    for (int i = 0; i < 600; ++i) {
        fake_can::QueueMessage(Ext(0x18EF00C3, {1}));
    }
    fake_can::QueueMessage(Ext(kChannel2, {0x56}));
    uint8_t reply[8] = {};
    uint8_t length = 0;
    EXPECT_EQ(QueryVersion(Port(), reply, length), 1);
}

TEST_F(BootloaderChannelTest, FailedExchangeWithoutAnyFrameLeavesTheReplyUntouched) {
    uint8_t reply[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    uint8_t length = 9;
    EXPECT_EQ(QueryVersion(Port(), reply, length), 0);
    EXPECT_EQ(length, 9);
    EXPECT_EQ(Bytes(reply, reply + 8), Bytes(8, 9));
    EXPECT_EQ(Reads(), 100u);
    ExpectOneMillisecondReads();
}

TEST_F(BootloaderChannelTest, OwnRequestComingBackIsNoReply) {
    EchoOwnFrames();
    uint8_t reply[8] = {};
    uint8_t length = 0;
    EXPECT_EQ(QueryVersion(Port(), reply, length), 0);
    EXPECT_EQ(SendDataBlock(Port(), {1, 2, 3, 4, 5, 6, 7, 8}), 0);
}

TEST_F(BootloaderChannelTest, RefusedRequestStillWaitsForTheReply) {
    fake_can::ScriptResults(Op::kSend, {kVciErrTxFull});
    fake_can::QueueMessage(Ext(kChannel2, {0x56}));
    uint8_t reply[8] = {};
    uint8_t length = 0;
    EXPECT_EQ(TransactCommand(Port(), kVersionCommand, 1, reply, length), 1);
    EXPECT_EQ(Reads(), 1u);
}

TEST_F(BootloaderChannelTest, OverlongRequestFailsWithoutSendingOrWaiting) {
    const uint8_t request[9] = {};
    uint8_t reply[8] = {};
    uint8_t length = 0;
    EXPECT_EQ(Transact(Port(), 2, request, 9, reply, length), 0);
    EXPECT_EQ(fake_can::Calls().size(), 0u);
}

// Each command: the request it sends and the reply it requires.
TEST_F(BootloaderChannelTest, EachCommandChecksItsReply) {
    const uint8_t block[8] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87};
    const uint8_t zeros[8] = {};
    const Bytes block_bytes(block, block + 8);
    uint8_t version[8] = {};
    uint8_t version_length = 0;
    struct Case {
        std::string name;
        std::function<int()> command;
        uint32_t request_id;
        Bytes request;
        std::vector<VciMessage> bus;  // then silence
        int result;
    };
    auto erase1 = [] { return EraseSector(Port(), 0x08010000); };
    auto erase2 = [] { return EraseSector(Port(), 0x08020000); };
    auto begin = [] { return BeginStream(Port()); };
    auto end = [] { return EndStream(Port()); };
    auto data = [&block] { return SendDataBlock(Port(), block); };
    auto last = [&zeros] { return SendDataBlock(Port(), zeros); };
    auto query = [&] { return QueryVersion(Port(), version, version_length); };
    const Bytes e1 = {0x45, 0x08, 0x01, 0x00, 0x00};
    const std::vector<Case> cases = {
        {"erase echoed", erase1, kChannel2, e1, {Ext(kChannel2, {8, 1, 0, 0})}, 1},
        {"second sector echoed",
         erase2,
         kChannel2,
         {0x45, 8, 2, 0, 0},
         {Ext(kChannel2, {8, 2, 0, 0})},
         1},
        {"erase echoed with the command byte",
         erase1,
         kChannel2,
         e1,
         {Ext(kChannel2, {0x45, 8, 1, 0, 0})},
         0},
        {"erase echo with a fifth byte",
         erase1,
         kChannel2,
         e1,
         {Ext(kChannel2, {8, 1, 0, 0, 0})},
         0},
        {"erase echo differs", erase1, kChannel2, e1, {Ext(kChannel2, {8, 1, 0, 1})}, 0},
        {"erase echo short", erase1, kChannel2, e1, {Ext(kChannel2, {8, 1, 0})}, 0},
        {"erase echo on channel 15", erase1, kChannel2, e1, {Ext(kChannel15, {8, 1, 0, 0})}, 0},
        {"erase unanswered", erase1, kChannel2, e1, {}, 0},
        {"BOOT_BEG echoed", begin, kChannel2, kBootBeg, {Ext(kChannel2, kBootBeg)}, 1},
        {"BOOT_BEG answered BOOT_END", begin, kChannel2, kBootBeg, {Ext(kChannel2, kBootEnd)}, 0},
        {"BOOT_BEG echo of 7 bytes",
         begin,
         kChannel2,
         kBootBeg,
         {Ext(kChannel2, Bytes(kBootBeg.begin(), kBootBeg.end() - 1))},
         0},
        {"BOOT_BEG echo with length field 9",
         begin,
         kChannel2,
         kBootBeg,
         {Ext(kChannel2, {'B', 'O', 'O', 'T', '_', 'B', 'E', 'G', 0})},
         0},
        {"BOOT_END echoed", end, kChannel2, kBootEnd, {Ext(kChannel2, kBootEnd)}, 1},
        {"BOOT_END answered BOOT_BEG", end, kChannel2, kBootEnd, {Ext(kChannel2, kBootBeg)}, 0},
        {"BOOT_END unanswered", end, kChannel2, kBootEnd, {}, 0},
        {"block echoed", data, kChannel15, block_bytes, {Ext(kChannel15, block_bytes)}, 1},
        {"block echoed after a channel-2 frame",
         data,
         kChannel15,
         block_bytes,
         {Ext(kChannel2, {1}), Ext(kChannel15, block_bytes)},
         1},
        {"block echo differs in its last byte",
         data,
         kChannel15,
         block_bytes,
         {Ext(kChannel15, {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x88})},
         0},
        {"block echo of 7 bytes",
         data,
         kChannel15,
         block_bytes,
         {Ext(kChannel15, Bytes(block, block + 7))},
         0},
        {"block echoed on channel 2",
         data,
         kChannel15,
         block_bytes,
         {Ext(kChannel2, block_bytes)},
         0},
        {"terminating block echoed",
         last,
         kChannel15,
         Bytes(8, 0),
         {Ext(kChannel15, Bytes(8, 0))},
         1},
        {"terminating block answered empty",
         last,
         kChannel15,
         Bytes(8, 0),
         {Ext(kChannel15, {})},
         0},
        {"terminating block echo of 7 zeros",
         last,
         kChannel15,
         Bytes(8, 0),
         {Ext(kChannel15, Bytes(7, 0))},
         0},
        {"terminating block echo not zero",
         last,
         kChannel15,
         Bytes(8, 0),
         {Ext(kChannel15, {0, 0, 0, 0, 0, 0, 0, 1})},
         0},
        {"terminating block echoed on channel 2",
         last,
         kChannel15,
         Bytes(8, 0),
         {Ext(kChannel2, Bytes(8, 0))},
         0},
        {"V answered with a version",
         query,
         kChannel2,
         {'V'},
         {Ext(kChannel2, {'>', 'V', 'E', 'R', ' ', '7', '.', '1'})},
         1},
        {"V answered with 0 bytes", query, kChannel2, {'V'}, {Ext(kChannel2, {})}, 1},
        {"V answered with anything", query, kChannel2, {'V'}, {Ext(kChannel2, {0xFF, 0})}, 1},
        {"V unanswered", query, kChannel2, {'V'}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_can::Reset();
        for (const VciMessage& m : c.bus) {
            fake_can::QueueMessage(m);
        }
        EXPECT_EQ(c.command(), c.result);
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, c.request_id);
        EXPECT_TRUE(sent[0].extended);
        EXPECT_EQ(sent[0].data, c.request);
        EXPECT_EQ(ReceiveTimeout, 100u);
    }
}

TEST_F(BootloaderChannelTest, QueryVersionHandsBackTheReplyUnchecked) {
    const std::vector<Bytes> replies = {{}, {'7'}, {'>', 'V', 'E', 'R', ' ', '7', '.', '9'}};
    for (const Bytes& r : replies) {
        fake_can::Reset();
        fake_can::QueueMessage(Ext(kChannel2, r));
        uint8_t reply[8] = {};
        uint8_t length = 0xAA;
        ASSERT_EQ(QueryVersion(Port(), reply, length), 1);
        EXPECT_EQ(length, r.size());
        EXPECT_EQ(Bytes(reply, reply + length), r);
    }
}

TEST_F(BootloaderChannelTest, RequestRebootSendsOnceAndAlwaysReturns1) {
    for (uint32_t code : {kVciOk, kVciErrTxFull, kVciErrFailed}) {
        fake_can::Reset();
        fake_can::ScriptResults(Op::kSend, {code});
        EXPECT_EQ(RequestReboot(Port()), 1);
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, kChannel2);
        EXPECT_EQ(sent[0].data, (Bytes{'R', 'E', 'B', 'O', 'O', 'T', 'M', 'E'}));
        EXPECT_EQ(Reads(), 0u);
    }
}

// The bootloader answers the n-th "V" (0: never).
void AnswerVersionQuery(int n) {
    auto count = std::make_shared<int>(0);
    fake_can::OnSend([count, n](const VciMessage& sent) {
        if (sent.identifier == kChannel2 && ++*count == n) {
            fake_can::QueueMessage(Ext(kChannel2, {'>', 'V', 'E', 'R'}));
        }
    });
}

TEST_F(BootloaderChannelTest, WaitForBootloaderCountsNominalBudgets) {
    struct Case {
        uint32_t timeout;
        int answered_at;
        int result;
        size_t attempts;
    };
    const std::vector<Case> cases = {
        {100, 0, 0, 41}, {100, 41, 1, 41}, {100, 1, 1, 1},  {100, 20, 1, 20},
        {250, 0, 0, 17}, {250, 17, 1, 17}, {2000, 0, 0, 3}, {2000, 3, 1, 3},
        {4000, 0, 0, 2}, {4001, 0, 0, 1},  {1, 0, 0, 4001}, {0, 0, 0, 4001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.timeout) + " ms, answer " + std::to_string(c.answered_at));
        fake_can::Reset();
        SetReceiveTimeout(c.timeout);
        AnswerVersionQuery(c.answered_at);
        EXPECT_EQ(WaitForBootloader(Port()), c.result);
        auto sent = SentFrames();
        EXPECT_EQ(sent.size(), c.attempts);
        for (const Sent& s : sent) {
            ASSERT_EQ(s.identifier, kChannel2);
            ASSERT_EQ(s.data, Bytes{'V'});
        }
        EXPECT_EQ(ReceiveTimeout, c.timeout);
    }
}

}  // namespace
