#include <gtest/gtest.h>

#include <vector>

#include "vci/bus_timing.h"
#include "vci/devices.h"
#include "vci/receive_fifo.h"
#include "vci/vci_diagnostics.h"

namespace vci {
namespace {

TEST(BusTiming, Sja1000RegisterPairsAt16MHz) {
    struct Case {
        std::uint8_t btr0, btr1;
        std::uint32_t bitrate;
    };
    const std::vector<Case> cases =
        {
            {0x00, 0x14, 1000000}, {0x00, 0x16, 800000}, {0x00, 0x1C, 500000},
            {0x01, 0x1C, 250000},  {0x03, 0x1C, 125000}, {0x31, 0x1C, 10000},
            {0xC0, 0x94, 1000000},  // SJW and sampling bits do not change the rate
        };
    for (const Case& c : cases) {
        EXPECT_EQ(BitrateFromBtr(c.btr0, c.btr1), c.bitrate) << int{c.btr0} << "/" << int{c.btr1};
    }
}

TEST(DeviceId, RoundTripsAndRefusesForeignBytes) {
    for (const auto& [kind, number] :
         std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kVciDeviceVirtualBus, 29536},
                                                              {kVciDeviceSocketCan, 0x12345678},
                                                              {kVciDeviceSlcan, 2}}) {
        std::uint32_t got_kind = 0, got_number = 0;
        ASSERT_TRUE(DecodeDeviceId(EncodeDeviceId(kind, number), &got_kind, &got_number));
        EXPECT_EQ(got_kind, kind);
        EXPECT_EQ(got_number, number);
    }
    std::uint32_t kind = 0, number = 0;
    EXPECT_FALSE(DecodeDeviceId(VciDeviceId{}, &kind, &number));
    VciDeviceId bad_kind = EncodeDeviceId(kVciDeviceVirtualBus, 1);
    bad_kind.bytes[2] = 9;
    EXPECT_FALSE(DecodeDeviceId(bad_kind, &kind, &number));
}

TEST(SlcanPorts, ListSplitsOnTheSystemsSeparator) {
#ifdef _WIN32
    const std::string text = "COM7;;COM12;COM7;";
    const std::vector<std::string> expected = {"COM7", "COM12"};
#else
    const std::string text = "/dev/ttyACM0::/dev/ttyUSB1:/dev/ttyACM0:";
    const std::vector<std::string> expected = {"/dev/ttyACM0", "/dev/ttyUSB1"};
#endif
    EXPECT_EQ(SplitPortList(text), expected);
    EXPECT_TRUE(SplitPortList("").empty());
}

VciMessage Data(std::uint32_t id) {
    VciMessage message{};
    message.identifier = id;
    return message;
}

TEST(ReceiveFifo, CountsLossesAndMarksEachOverflowOnce) {
    ReceiveFifo fifo;
    fifo.Reset(2);
    EXPECT_TRUE(fifo.Push(Data(1)));
    EXPECT_TRUE(fifo.Push(Data(2)));
    EXPECT_FALSE(fifo.Push(Data(3)));  // lost: one status message after 1 and 2
    EXPECT_FALSE(fifo.Push(Data(4)));  // lost: the same overflow, no second status
    EXPECT_EQ(fifo.lost(), 2u);
    EXPECT_EQ(fifo.size(), 3u);

    VciMessage message{};
    ASSERT_TRUE(fifo.Pop(&message));
    EXPECT_EQ(message.identifier, 1u);
    EXPECT_FALSE(fifo.Push(Data(5)));  // still full: 2 and the status message
    ASSERT_TRUE(fifo.Pop(nullptr));    // 2 discarded
    ASSERT_TRUE(fifo.Pop(&message));
    EXPECT_EQ(message.type, kVciMessageStatus);
    EXPECT_EQ(message.data[0], kVciStatusRxOverrun);
    EXPECT_EQ(message.data[4], 1);  // lost so far when the overflow began
    EXPECT_TRUE(fifo.Push(Data(6)));
    EXPECT_TRUE(fifo.Push(Data(7)));
    EXPECT_FALSE(fifo.Push(Data(8)));  // a new overflow: a new status message
    ASSERT_TRUE(fifo.Pop(&message));
    ASSERT_TRUE(fifo.Pop(&message));
    EXPECT_EQ(message.identifier, 7u);
    ASSERT_TRUE(fifo.Pop(&message));
    EXPECT_EQ(message.type, kVciMessageStatus);
    EXPECT_EQ(message.data[4], 4);
    EXPECT_FALSE(fifo.Pop(&message));
    EXPECT_EQ(fifo.lost(), 4u);
}

// The FIFO is a ring: long after its first lap it must still hand messages out in order, with
// the overrun mark where the drops happened.
TEST(ReceiveFifo, KeepsOrderAcrossManyLaps) {
    ReceiveFifo fifo;
    fifo.Reset(3);
    std::uint32_t next_in = 0;
    std::uint32_t next_out = 0;
    VciMessage got{};
    for (int lap = 0; lap < 100; ++lap) {
        const int pushes = 1 + lap % 3;  // 1 to 3 in, 1 to 2 out: it fills up now and then
        for (int i = 0; i < pushes; ++i) {
            if (fifo.Push(Data(next_in))) {
                ++next_in;
            }
        }
        for (int i = 0; i < 1 + lap % 2 && fifo.Pop(&got); ++i) {
            if (got.type == kVciMessageStatus) {
                continue;
            }
            ASSERT_EQ(got.identifier, next_out) << "lap " << lap;
            ++next_out;
        }
        ASSERT_LE(fifo.size(), 4u);
    }
    while (fifo.Pop(&got)) {
        if (got.type != kVciMessageStatus) {
            ASSERT_EQ(got.identifier, next_out++);
        }
    }
    EXPECT_EQ(next_out, next_in);
    EXPECT_GT(fifo.lost(), 0u);
}

}  // namespace
}  // namespace vci
