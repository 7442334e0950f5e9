// The J1939 link over the scripted CAN library: identifiers, filters, address claim, the
// requests to the sensor's application.
#include "protocol/j1939.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/protocol/protocol_test_support.h"

namespace {

using namespace protocol_test;
using fake_can::Op;

class J1939Test : public ProtocolTest {};

TEST_F(J1939Test, SendPgnBuildsTheIdentifierAndSendsEightBytes) {
    struct Case {
        uint8_t destination;
        uint8_t source;
        uint32_t pgn;
        uint32_t id_word;
    };
    const std::vector<Case> cases = {
        {0xC3, 0x00, 0xEF00, 0x98EFC300},     // Proprietary A to the sensor
        {0x00, 0xC3, 0xFF12, 0x98FF12C3},     // PDU2: PS is the group extension
        {0x55, 0xC3, 0xFF12, 0x98FF12C3},     // ... whatever the destination
        {0xFF, 0xB1, 0xEE00, 0x98EEFFB1},     // Address Claimed, global
        {0xC3, 0x00, 0xEF77, 0x98EFC300},     // PDU1: the PGN's low byte is replaced
        {0x12, 0x34, 0x1EF00, 0x99EF1234},    // data page
        {0x12, 0x34, 0x2EF00, 0x9AEF1234},    // extended data page
        {0x12, 0x34, 0xFC0EF00, 0x98EF1234},  // bits above the PGN are ignored
        {0x12, 0x34, 0xF000, 0x98F00034},     // first PDU2 format
    };
    const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.pgn));
        fake_can::Reset();
        EXPECT_EQ(J1939Identifier(c.destination, c.source, c.pgn), c.id_word);
        EXPECT_EQ(SendPgn(Port(), c.destination, c.source, c.pgn, data), kVciOk);
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, c.id_word & 0x1FFFFFFFu);
        EXPECT_EQ(sent[0].flags, 0xA8);  // 29-bit, own, length 8
        EXPECT_EQ(sent[0].data, Bytes(data, data + 8));
    }
}

TEST_F(J1939Test, SendPgnReturnsTheLibrarysCode) {
    const uint8_t data[8] = {};
    for (uint32_t code : {kVciErrTxFull, kVciErrFailed, kVciErrWrongState}) {
        fake_can::ScriptResults(Op::kSend, {code});
        EXPECT_EQ(SendPgn(Port(), 0xC3, 0, kPgnProprietaryA, data), code);
    }
}

TEST_F(J1939Test, ReceiveFiltersCompareOnlyTheNamedFields) {
    struct Case {
        uint8_t destination;
        uint8_t source;
        uint32_t pgn;
        uint32_t mask;
        uint32_t value;
    };
    const std::vector<Case> cases = {
        {0x00, 0xC3, 0xEF00, 0x83FFFFFF, 0x80EF00C3},
        {0x00, 0xFF, 0xEF00, 0x83FFFF00, 0x80EF0000},  // any source
        {0xFF, 0xC3, 0xEF00, 0x83FF00FF, 0x80EF00C3},  // any destination
        {0xFF, 0xFF, 0xEF00, 0x83FF0000, 0x80EF0000},
        {0xFF, 0x05, 0xEE00, 0x83FF00FF, 0x80EE0005},  // the claim wait for address 5
        {0x55, 0xC3, 0xFF12, 0x83FFFFFF, 0x80FF12C3},  // PDU2: destination plays no part
        {0xFF, 0xC3, 0xFF12, 0x83FFFFFF, 0x80FF12C3},
        {0x55, 0xFF, 0xFF12, 0x83FFFF00, 0x80FF1200},
        {0x00, 0xC3, 0x3EF00, 0x83FFFFFF, 0x83EF00C3},  // EDP and DP
    };
    for (const Case& c : cases) {
        J1939Filter filter = J1939ReceiveFilter(c.destination, c.source, c.pgn);
        EXPECT_EQ(filter.mask, c.mask) << std::hex << c.pgn << " " << +c.destination;
        EXPECT_EQ(filter.value, c.value) << std::hex << c.pgn << " " << +c.destination;
        EXPECT_EQ(filter.value & ~filter.mask, 0u);
    }
}

TEST_F(J1939Test, ReceivePgnTakesTheFirstMatchingFrame) {
    struct Case {
        std::string name;
        uint8_t destination;
        uint8_t source;
        uint32_t pgn;
        VciMessage frame;
        bool accepted;
    };
    const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<Case> cases = {
        {"exact", 0x00, 0xC3, 0xEF00, Ext(0x18EF00C3, eight), true},
        {"any priority", 0x00, 0xC3, 0xEF00, Ext(0x00EF00C3, eight), true},
        {"priority 7", 0x00, 0xC3, 0xEF00, Ext(0x1CEF00C3, eight), true},
        {"other source", 0x00, 0xC3, 0xEF00, Ext(0x18EF00C4, eight), false},
        {"other destination", 0x00, 0xC3, 0xEF00, Ext(0x18EF01C3, eight), false},
        {"other PGN", 0x00, 0xC3, 0xEF00, Ext(0x18EE00C3, eight), false},
        {"data page", 0x00, 0xC3, 0xEF00, Ext(0x19EF00C3, eight), false},
        {"11-bit", 0x00, 0xC3, 0xEF00, Std(0x18EF00C3, eight), false},
        {"any source", 0x00, 0xFF, 0xEF00, Ext(0x18EF0042, eight), true},
        {"any source, other destination", 0x00, 0xFF, 0xEF00, Ext(0x18EF0142, eight), false},
        {"any destination", 0xFF, 0xC3, 0xEF00, Ext(0x18EF77C3, eight), true},
        {"any destination, other source", 0xFF, 0xC3, 0xEF00, Ext(0x18EF77C4, eight), false},
        {"PDU2 ignores destination", 0x42, 0xC3, 0xFF12, Ext(0x18FF12C3, eight), true},
        {"PDU2 other group", 0x13, 0xC3, 0xFF12, Ext(0x18FF13C3, eight), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_can::Reset();
        SetReceiveTimeout(1);  // a rejected frame, then one empty read ends the wait
        fake_can::QueueMessage(c.frame);
        uint8_t data[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
        uint8_t length = 0xAA;
        EXPECT_EQ(ReceivePgn(Port(), c.destination, c.source, c.pgn, data, length),
                  c.accepted ? 1 : 0);
        if (c.accepted) {
            EXPECT_EQ(length, 8);
            EXPECT_EQ(Bytes(data, data + 8), eight);
        } else {
            EXPECT_EQ(length, 0xAA);
            EXPECT_EQ(Bytes(data, data + 8), Bytes(8, 0xAA));
        }
        EXPECT_EQ(fake_can::CountCalls(Op::kSend), 0u);
    }
}

TEST_F(J1939Test, ReceivePgnFillsShortFramesWithFF) {
    struct Case {
        Bytes received;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {{}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {{0x11}, {0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {{1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7, 0xFF}},
    };
    for (const Case& c : cases) {
        fake_can::Reset();
        fake_can::QueueMessage(Ext(0x18EF00C3, c.received));
        uint8_t data[8] = {};
        uint8_t length = 0xAA;
        ASSERT_EQ(ReceivePgn(Port(), 0x00, 0xC3, kPgnProprietaryA, data, length), 1);
        EXPECT_EQ(length, c.received.size());
        EXPECT_EQ(Bytes(data, data + 8), c.data);
    }
}

// Address claim -----------------------------------------------------------------------------

Bytes NameBytes(uint64_t name) {
    Bytes bytes;
    for (int i = 0; i < 8; ++i) {
        bytes.push_back(static_cast<uint8_t>(name >> (8 * i)));
    }
    return bytes;
}

TEST_F(J1939Test, NamesGoOnTheBusLeastSignificantByteFirst) {
    EXPECT_EQ(NameBytes(SoftwareName), (Bytes{0x00, 0x00, 0x60, 0x37, 0x00, 0x00, 0x00, 0x80}));
    EXPECT_EQ(NameBytes(BootloaderName), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}));
    EXPECT_EQ(BootloaderAddress, 0xB1);
}

TEST_F(J1939Test, ClaimIsDecidedByTheFirstContendingFrame) {
    const uint64_t lower = 0x8000000000000000u;
    const uint64_t higher = SoftwareName + 1;
    struct Case {
        std::string name;
        uint8_t address;
        uint64_t our_name;
        std::vector<VciMessage> bus;  // then silence
        int result;
        size_t reads;
    };
    const std::vector<Case> cases = {
        {"silence: won after the full budget", 5, SoftwareName, {}, 1, 250},
        {"lower NAME: lost at once", 5, SoftwareName, {Ext(0x18EEFF05, NameBytes(lower))}, 0, 1},
        {"equal NAME: won", 5, SoftwareName, {Ext(0x18EEFF05, NameBytes(SoftwareName))}, 1, 1},
        {"higher NAME: won at once", 5, SoftwareName, {Ext(0x18EEFF05, NameBytes(higher))}, 1, 1},
        {"NAME one below", 5, SoftwareName, {Ext(0x18EEFF05, NameBytes(SoftwareName - 1))}, 0, 1},
        {"bit 63 compared unsigned",
         5,
         SoftwareName,
         {Ext(0x18EEFF05, NameBytes(0x7FFFFFFFFFFFFFFFu))},
         0,
         1},
        {"any priority", 5, SoftwareName, {Ext(0x00EEFF05, NameBytes(lower))}, 0, 1},
        {"any destination", 5, SoftwareName, {Ext(0x18EE2005, NameBytes(lower))}, 0, 1},
        {"7 bytes never beat the bootloader's NAME",
         0xB1,
         BootloaderName,
         {Ext(0x18EEFFB1, Bytes(7, 0x00))},
         1,
         1},
        {"0 bytes read as all 0xFF", 0xB1, BootloaderName, {Ext(0x18EEFFB1, {})}, 1, 1},
        {"missing byte reads 0xFF: a tie",
         5,
         0xFF00000000000000u,
         {Ext(0x18EEFF05, Bytes(7, 0x00))},
         1,
         1},
        {"missing byte reads 0xFF: still lower",
         5,
         0xFF00000000000001u,
         {Ext(0x18EEFF05, Bytes(7, 0x00))},
         0,
         1},
        {"other source does not end the wait",
         5,
         SoftwareName,
         {Ext(0x18EEFF06, NameBytes(lower))},
         1,
         251},
        {"other PGN does not end the wait",
         5,
         SoftwareName,
         {Ext(0x18EF0005, NameBytes(lower))},
         1,
         251},
        {"data page does not end the wait",
         5,
         SoftwareName,
         {Ext(0x19EEFF05, NameBytes(lower))},
         1,
         251},
        {"11-bit does not end the wait", 5, SoftwareName, {Std(0x05, NameBytes(lower))}, 1, 251},
        {"contender after strangers",
         5,
         SoftwareName,
         {Ext(0x18EEFF06, NameBytes(lower)), Ext(0x18EF0005, {}),
          Ext(0x18EEFF05, NameBytes(lower))},
         0,
         3},
        {"first contender decides",
         5,
         SoftwareName,
         {Ext(0x18EEFF05, NameBytes(higher)), Ext(0x18EEFF05, NameBytes(lower))},
         1,
         1},
        {"address 255: any source contends",
         255,
         SoftwareName,
         {Ext(0x18EEFF42, NameBytes(lower))},
         0,
         1},
        {"address 255: silence", 255, SoftwareName, {}, 1, 250},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_can::Reset();
        SetReceiveTimeout(7);
        for (const VciMessage& m : c.bus) {
            fake_can::QueueMessage(m);
        }
        EXPECT_EQ(ClaimAddress(Port(), c.address, c.our_name), c.result);
        EXPECT_EQ(Reads(), c.reads);
        EXPECT_EQ(ReceiveTimeout, 250u);
        ExpectOneMillisecondReads();
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, 0x18EEFF00u + c.address);
        EXPECT_EQ(sent[0].flags, 0xA8);
        EXPECT_EQ(sent[0].data, NameBytes(c.our_name));
    }
}

TEST_F(J1939Test, OwnClaimComingBackIsNoContender) {
    EchoOwnFrames();
    EXPECT_EQ(ClaimAddress(Port(), 0, 0xFFFFFFFFFFFFFFFFu), 1);
    EXPECT_EQ(Reads(), 251u);  // the copy of our claim, free of charge, then 250 empty reads
}

TEST_F(J1939Test, RefusedClaimStillWaitsAndIsWonBySilence) {
    fake_can::ScriptResults(Op::kSend, {kVciErrTxFull});
    EXPECT_EQ(ClaimAddress(Port(), 0, SoftwareName), 1);
    EXPECT_EQ(Reads(), 250u);
}

// Queues a lower-NAME claim for every claim of an address below `first_free`.
void ContestAddressesBelow(unsigned first_free) {
    fake_can::OnSend([first_free](const VciMessage& sent) {
        uint8_t address = static_cast<uint8_t>(sent.identifier);
        if ((sent.identifier & 0x1FFFFF00u) == 0x18EEFF00u && address < first_free) {
            fake_can::QueueMessage(Ext(0x18EEFF00u + address, NameBytes(0x8000000000000000u)));
        }
    });
}

TEST_F(J1939Test, SearchFreeAddressTakesTheFirstAddressWon) {
    struct Case {
        unsigned first_free;
        size_t reads;
    };
    for (const Case& c :
         std::vector<Case>{{0, 250}, {1, 1 + 250}, {3, 3 + 250}, {253, 253 + 250}}) {
        SCOPED_TRACE(c.first_free);
        fake_can::Reset();
        ContestAddressesBelow(c.first_free);
        uint8_t address = 0x77;
        EXPECT_EQ(SearchFreeAddress(Port(), address), 1);
        EXPECT_EQ(address, c.first_free);
        EXPECT_EQ(Reads(), c.reads);
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), c.first_free + 1);
        for (unsigned a = 0; a < sent.size(); ++a) {
            EXPECT_EQ(sent[a].identifier, 0x18EEFF00u + a);
            EXPECT_EQ(sent[a].data, NameBytes(SoftwareName));
        }
    }
}

TEST_F(J1939Test, SearchFreeAddressGivesUpAfter253WithTheOutputUntouched) {
    ContestAddressesBelow(256);
    uint8_t address = 0x77;
    EXPECT_EQ(SearchFreeAddress(Port(), address), 0);
    EXPECT_EQ(address, 0x77);
    auto sent = SentFrames();
    ASSERT_EQ(sent.size(), 254u);
    EXPECT_EQ(sent.back().identifier, 0x18EEFFFDu);
    EXPECT_EQ(ReceiveTimeout, 250u);
    EXPECT_EQ(Reads(), 254u);
}

// Requests to the sensor's application ----------------------------------------------------

TEST_F(J1939Test, SensorCheckTakesAnyProprietaryAFrameFromTheSensorToUs) {
    struct Case {
        std::string name;
        std::vector<VciMessage> bus;
        int result;
        uint8_t reply_byte;
    };
    const uint8_t untouched = 0x77;
    const std::vector<Case> cases = {
        {"8 bytes", {Ext(0x18EF00C3, {1, 2, 3, 4, 0x5A, 6, 7, 8})}, 1, 0x5A},
        {"5 bytes", {Ext(0x18EF00C3, {1, 2, 3, 4, 0x00})}, 1, 0x00},
        {"4 bytes", {Ext(0x18EF00C3, {1, 2, 3, 4})}, 1, 0xFF},
        {"0 bytes", {Ext(0x18EF00C3, {})}, 1, 0xFF},
        {"priority 3", {Ext(0x0CEF00C3, {0, 0, 0, 0, 0x42})}, 1, 0x42},
        {"after strangers",
         {Ext(0x18EF00C4, {0, 0, 0, 0, 1}), Ext(0x18EF01C3, {0, 0, 0, 0, 2}),
          Ext(0x18EE00C3, {0, 0, 0, 0, 3}), Std(0x0C3, {0, 0, 0, 0, 4}),
          Ext(0x18EF00C3, {0, 0, 0, 0, 5})},
         1,
         5},
        {"none", {}, 0, untouched},
        {"from another source", {Ext(0x18EF00C4, {0, 0, 0, 0, 1})}, 0, untouched},
        {"to another address", {Ext(0x18EF01C3, {0, 0, 0, 0, 1})}, 0, untouched},
        {"another PGN", {Ext(0x18FF00C3, {0, 0, 0, 0, 1})}, 0, untouched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_can::Reset();
        for (const VciMessage& m : c.bus) {
            fake_can::QueueMessage(m);
        }
        uint8_t reply_byte = untouched;
        EXPECT_EQ(CheckForSensor(Port(), 0xC3, 0x00, reply_byte), c.result);
        EXPECT_EQ(reply_byte, c.reply_byte);
        EXPECT_EQ(ReceiveTimeout, 100u);  // used as the caller set it
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, 0x18EFC300u);
        EXPECT_EQ(sent[0].flags, 0xA8);
        EXPECT_EQ(sent[0].data, (Bytes{0xE0, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    }
}

TEST_F(J1939Test, SensorCheckWaitsOneBudgetAfterARefusedRequest) {
    fake_can::ScriptResults(Op::kSend, {kVciErrTxFull});
    uint8_t reply_byte = 0x77;
    EXPECT_EQ(CheckForSensor(Port(), 0x00, 0x17, reply_byte), 0);
    EXPECT_EQ(Reads(), 100u);
    EXPECT_EQ(SentFrames().at(0).identifier, 0x18EF0017u);  // resume case: sensor at 0
}

TEST_F(J1939Test, StartBootloaderSendsOnceAndAlwaysReturns1) {
    for (uint32_t code : {kVciOk, kVciErrTxFull, kVciErrFailed}) {
        fake_can::Reset();
        fake_can::ScriptResults(Op::kSend, {code});
        EXPECT_EQ(StartBootloader(Port(), 0xC3, 0x02), 1);
        auto sent = SentFrames();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].identifier, 0x18EFC302u);
        EXPECT_EQ(sent[0].flags, 0xA8);
        EXPECT_EQ(sent[0].data, (Bytes{0xF0, 0xFF, 0xFF, 0x80, 0x42, 0x4F, 0x4F, 0x54}));
        EXPECT_EQ(Reads(), 0u);
    }
}

}  // namespace
