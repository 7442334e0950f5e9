#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "vci/bus_health.h"
#include "vci/bus_timing.h"
#include "vci/discovery.h"
#include "vci/receive_fifo.h"
#include "vci/slcan/ports.h"
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

// A series of error frames (and frames from other nodes, class 0 below) and what stderr says: one
// line per change of state, the silence of the bus once until another node is heard.
TEST(BusHealth, EachChangeIsToldOnce) {
    struct Event {
        std::uint32_t classes;  // 0: a frame from another node
        std::uint8_t status = 0, tx = 0, rx = 0;
    };
    struct Case {
        std::vector<Event> events;
        std::vector<std::string> told;  // words that the lines hold, in this order
        std::size_t lines;
        BusState state;
    };
    constexpr std::uint32_t kCtrlCnt = wire::kCanErrController | wire::kCanErrCounters;
    const std::vector<Case> cases = {
        {{{wire::kCanErrNoAck},
          {wire::kCanErrNoAck},
          {kCtrlCnt, wire::kCanCtrlTxWarning, 96, 0},
          {kCtrlCnt, wire::kCanCtrlTxPassive, 128, 0},
          {kCtrlCnt, wire::kCanCtrlTxPassive, 136, 0}},
         {"no other node acknowledges", "error warning: errors on the bus (transmit errors 96",
          "error-passive", "every node runs at 1000 kbit/s"},
         3,
         BusState::kErrorPassive},
        {{{wire::kCanErrBusOff}, {wire::kCanErrBusOff}, {wire::kCanErrRestarted}},
         {"bus-off", "restarted after bus-off"},
         2,
         BusState::kErrorActive},
        {{{wire::kCanErrNoAck},
          {0},
          {wire::kCanErrNoAck},
          {wire::kCanErrController, wire::kCanCtrlActive}},
         {"no other node", "no other node"},  // heard in between: the silence is news again
         2,
         BusState::kErrorActive},
        {{{wire::kCanErrController, wire::kCanCtrlRxWarning},
          {wire::kCanErrController, wire::kCanCtrlActive}},
         {"error warning", "error-active: the bus works again"},
         2,
         BusState::kErrorActive},
    };
    for (const Case& c : cases) {
        BusHealth health("can7");
        ::testing::internal::CaptureStderr();
        for (const Event& e : c.events) {
            const std::uint8_t data[8] = {0, e.status, 0, 0, 0, 0, e.tx, e.rx};
            if (e.classes == 0) {
                health.OnFrameFromOtherNode();
            } else {
                health.OnErrorFrame(e.classes, data);
            }
        }
        const std::string told = ::testing::internal::GetCapturedStderr();
        SCOPED_TRACE(told);
        std::size_t lines = 0, at = 0;
        for (std::size_t end; (end = told.find('\n', at)) != std::string::npos; at = end + 1) {
            EXPECT_EQ(told.compare(at, 11, "vci: can7: "), 0);
            ++lines;
        }
        at = 0;
        for (const std::string& words : c.told) {
            at = told.find(words, at);
            ASSERT_NE(at, std::string::npos) << words;
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(health.state(), c.state);
    }
}

TEST(DeviceId, RoundTripsAndRefusesForeignBytes) {
    for (const auto& [kind, number] :
         std::vector<std::pair<std::uint32_t, std::uint32_t>>{{kVciDeviceVirtualBus, 29536},
                                                              {kVciDeviceSocketCan, 0x12345678},
                                                              {kVciDeviceSlcan, 2},
                                                              {kVciDeviceGsUsb, 0x10002}}) {
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
    EXPECT_EQ(slcan::SplitPortList(text), expected);
    EXPECT_TRUE(slcan::SplitPortList("").empty());
    // An entry's "@BAUD"; an '@' that no baud rate follows belongs to the path.
    for (const auto& [entry, path, baud] : {std::tuple{"COM7@57600", "COM7", 57600u},
                                            {"/dev/ttyS1", "/dev/ttyS1", slcan::kDefaultBaud},
                                            {"/dev/a@b", "/dev/a@b", slcan::kDefaultBaud},
                                            {"/dev/x@", "/dev/x@", slcan::kDefaultBaud}}) {
        const slcan::SlcanPort port = slcan::ParsePort(entry);
        EXPECT_EQ(port.port, path);
        EXPECT_EQ(port.baud, baud);
        EXPECT_EQ(slcan::PortText(port), entry);
    }
}

TEST(DeviceChoice, KorvaneDeviceNamesOneDeviceByNameOrSerial) {
    std::vector<DeviceEntry> devices(3);
    devices[0].name = "sim0";
    devices[1].name = "can0";
    devices[2].name = "ttyACM0";
    devices[2].serial = "A1B2";
    struct Case {
        const char* wanted;  // null: KORVANE_DEVICE unset
        std::vector<std::string> chosen;
    };
    for (const Case& c : std::vector<Case>{{nullptr, {"sim0", "can0", "ttyACM0"}},
                                           {"can0", {"can0"}},
                                           {"A1B2", {"ttyACM0"}},
                                           {"ttyACM0", {"ttyACM0"}},
                                           {"can1", {}},
                                           {"", {}},
                                           {"CAN0", {}}}) {
        std::vector<std::string> chosen;
        for (const DeviceEntry& entry : ChooseDevice(devices, c.wanted)) {
            chosen.push_back(entry.name);
        }
        EXPECT_EQ(chosen, c.chosen) << (c.wanted ? c.wanted : "(unset)");
    }
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
