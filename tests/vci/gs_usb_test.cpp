// The gs_usb session against a fake adapter: the USB operations played by the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vci/gs_usb/backend.h"
#include "vci/gs_usb/message.h"
#include "vci/gs_usb/session.h"
#include "vci/vci_diagnostics.h"
#include "wire/gs_usb_protocol.h"

namespace vci::gs_usb {
namespace {

using Status = UsbDevice::Status;

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

std::vector<std::uint8_t> Bytes(const HostFrame& frame) {
    std::vector<std::uint8_t> bytes(kFrameSize);
    EncodeFrame(frame, bytes.data());
    return bytes;
}

HostFrame Received(std::uint32_t can_id, std::uint8_t controller = 0) {
    HostFrame frame;
    frame.echo_id = kReceivedEchoId;
    frame.can_id = can_id;
    frame.dlc = 8;
    frame.data = {1, controller, 3, 4, 5, 6, 7, 8};
    return frame;
}

// The adapter: answers IN requests from `answers` (by request number), logs every control
// transfer as "type request value index data", echoes bulk OUT frames when `echo` is set.
struct Shared {
    std::vector<std::string> log;
    std::map<std::uint8_t, std::vector<std::uint8_t>> answers;
    std::deque<std::vector<std::uint8_t>> in;
    std::vector<std::vector<std::uint8_t>> out;
    bool echo = true;
    bool gone = false;
};

class FakeUsb final : public UsbDevice {
  public:
    explicit FakeUsb(Shared& shared) : s_(shared) {}
    Status Control(const ControlTransfer& t, std::uint8_t* in, std::size_t* got, int) override {
        if (s_.gone) {
            return Gone();
        }
        char head[32];
        std::snprintf(head, sizeof head, "%02x %u %u %u", t.request_type, t.request, t.value,
                      t.index);
        if (!t.in()) {
            s_.log.push_back(std::string(head) + " " + Hex(t.data.data(), t.length));
            return Status::kOk;
        }
        s_.log.push_back(std::string(head) + " in " + std::to_string(t.length));
        const std::vector<std::uint8_t>& answer = s_.answers[t.request];
        *got = std::min<std::size_t>(answer.size(), t.length);
        std::copy(answer.begin(), answer.begin() + static_cast<long>(*got), in);
        return Status::kOk;
    }
    Status BulkOut(const std::uint8_t* data, std::size_t size, int) override {
        if (s_.gone) {
            return Gone();
        }
        s_.out.emplace_back(data, data + size);
        if (s_.echo) {
            s_.in.emplace_back(data, data + size);
        }
        return Status::kOk;
    }
    Status BulkIn(std::uint8_t* buffer, std::size_t capacity, std::size_t* got,
                  std::int64_t) override {
        if (s_.gone) {
            return Gone();
        }
        if (s_.in.empty()) {
            return Status::kTimeout;
        }
        *got = std::min(capacity, s_.in.front().size());
        std::copy(s_.in.front().begin(), s_.in.front().begin() + static_cast<long>(*got), buffer);
        s_.in.pop_front();
        return Status::kOk;
    }

  private:
    Status Gone() {
        last_error_ = "No such device";
        return Status::kGone;
    }
    Shared& s_;
};

// candleLight's answers: one channel, 48 MHz, tseg1 1..16, tseg2 1..8, sjw 4, brp 1..1024.
std::map<std::uint8_t, std::vector<std::uint8_t>> CandleLight(std::uint8_t brp_min = 1) {
    std::vector<std::uint8_t> bt(40, 0);
    const std::uint32_t words[] = {0, 48000000, 1, 16, 1, 8, 4, brp_min, 1024, 1};
    for (std::size_t i = 0; i < 10; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            bt[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
        }
    }
    return {{kDeviceConfig, {0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}}, {kBtConst, bt}};
}

VciMessage Data(std::uint32_t id, std::uint8_t length) {
    VciMessage message{};
    message.identifier = id;
    message.flags = length;
    for (std::uint8_t i = 0; i < length; ++i) {
        message.data[i] = static_cast<std::uint8_t>(0xA0 + i);
    }
    return message;
}

// Expected timings worked out by hand with the kernel's own calculation; 48 MHz at 1000 kbit/s
// is what Linux 6.1 sent to a candleLight (05 06 04 01 03).
TEST(GsUsbBitTiming, KernelChoiceForEachAdapterClock) {
    const BtConst stm32f0{0, 48000000, 1, 16, 1, 8, 4, 1, 1024, 1};
    BtConst step2 = stm32f0;
    step2.brp_min = 2;
    step2.brp_inc = 2;
    BtConst at80 = stm32f0;
    at80.fclk_can = 80000000;
    const BtConst fdcan{0, 170000000, 1, 256, 1, 128, 128, 1, 512, 1};
    BtConst narrow = stm32f0;
    narrow.tseg1_max = 4;
    narrow.tseg2_max = 2;
    narrow.brp_max = 4;  // 1.7 Mbit/s at the slowest
    BtConst odd_clock = stm32f0;
    odd_clock.fclk_can = 47000000;
    // A broken adapter's limits: near 2^32 (the search wrapped and never ended), or huge minima.
    const BtConst huge{0, 48000000, 1, 0xFFFFFFFF, 1, 0xFFFFFFFF, 4, 1, 0xFFFFFFFF, 1};
    const BtConst huge_minima{0,          48000000, 0x80000000, 0xFFFFFFFF, 0x80000000,
                              0xFFFFFFFF, 4,        1,          1024,       1};
    struct Case {
        const char* what;
        BtConst limits;
        std::uint32_t bitrate;
        bool ok;
        BitTiming timing;
        std::uint32_t sample_point;
    };
    for (const Case& c : std::vector<Case>{
             {"48 MHz", stm32f0, 1000000, true, {5, 6, 4, 1, 3}, 750},
             {"48 MHz 500k", stm32f0, 500000, true, {6, 7, 2, 1, 6}, 875},
             {"48 MHz brp step 2", step2, 1000000, true, {4, 4, 3, 1, 4}, 750},
             {"80 MHz", at80, 1000000, true, {7, 7, 5, 1, 4}, 750},
             {"170 MHz", fdcan, 1000000, true, {63, 63, 43, 1, 1}, 747},
             {"too narrow", narrow, 1000000, false, {}, 0},
             {"47 MHz: 2 % off at best", odd_clock, 1000000, false, {}, 0},
             {"limits near 2^32 taken as the widest", huge, 1000000, true, {17, 18, 12, 1, 1}, 750},
             {"minima near 2^31", huge_minima, 1000000, false, {}, 0},
         }) {
        const gs_usb::TimingChoice got = gs_usb::ChooseBitTiming(c.limits, c.bitrate);
        EXPECT_EQ(got.ok, c.ok) << c.what << ": " << got.reason;
        if (!c.ok) {
            EXPECT_FALSE(got.reason.empty()) << c.what;
            continue;
        }
        EXPECT_EQ(got.timing, c.timing)
            << c.what << ": " << got.timing.prop_seg << " " << got.timing.phase_seg1 << " "
            << got.timing.phase_seg2 << " brp " << got.timing.brp;
        EXPECT_EQ(got.sample_point_permille, c.sample_point) << c.what;
        EXPECT_EQ(got.bitrate, c.bitrate) << c.what;
        const std::uint32_t tseg1 = got.timing.prop_seg + got.timing.phase_seg1;
        EXPECT_TRUE(tseg1 >= c.limits.tseg1_min && tseg1 <= c.limits.tseg1_max &&
                    got.timing.phase_seg2 >= c.limits.tseg2_min &&
                    got.timing.phase_seg2 <= c.limits.tseg2_max &&
                    got.timing.brp >= c.limits.brp_min && got.timing.brp <= c.limits.brp_max &&
                    got.timing.brp % c.limits.brp_inc == 0)
            << c.what;
    }
}

TEST(GsUsbFrame, EncodesAsTheKernelAndRoundTrips) {
    struct Case {
        std::uint32_t identifier;
        std::uint8_t flags;  // length, extended, remote
        std::uint32_t echo_id;
        const char* bytes;
    };
    for (const Case& c : std::vector<Case>{
             // as logged from the kernel's driver for `cansend can0 123#DEADBEEF`
             {0x123, 4, 0, "000000002301000004000000deadbeef00000000"},
             {0x18FEF100, 8 | kVciFlagExtended, 9,
              "0900000000f1fe9808000000"
              "0102030405060708"},
             {0x7FF, 2 | kVciFlagRemote, 3,
              "03000000ff07004002000000"
              "0000000000000000"},
             {0x1ABCDE, 0 | kVciFlagExtended | kVciFlagRemote, 0xFFFFFFFF,
              "ffffffffdebc1ac000000000"
              "0000000000000000"},
         }) {
        VciMessage message{};
        message.identifier = c.identifier;
        message.flags = c.flags;
        for (std::uint8_t i = 0; i < 8; ++i) {
            message.data[i] = (c.flags & kVciFlagRemote) ? 0 : static_cast<std::uint8_t>(i + 1);
        }
        if (c.identifier == 0x123) {
            const std::uint8_t beef[] = {0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0};
            std::copy(beef, beef + 8, message.data);
        }
        std::uint8_t bytes[gs_usb::kFrameSize];
        gs_usb::EncodeFrame(gs_usb::FrameFromMessage(message, c.echo_id), bytes);
        std::string expected = c.bytes;
        expected.erase(std::remove(expected.begin(), expected.end(), ' '), expected.end());
        EXPECT_EQ(Hex(bytes, sizeof bytes), expected) << std::hex << c.identifier;
        gs_usb::HostFrame frame;
        ASSERT_TRUE(gs_usb::DecodeFrame(bytes, sizeof bytes, &frame));
        EXPECT_EQ(frame.echo_id, c.echo_id);
        const VciMessage back = gs_usb::MessageFromFrame(frame);
        EXPECT_EQ(back.identifier, message.identifier);
        EXPECT_EQ(back.flags, message.flags);
        EXPECT_EQ(back.type, kVciMessageData);
        EXPECT_EQ(0, std::memcmp(back.data, message.data, 8)) << std::hex << c.identifier;
        EXPECT_FALSE(gs_usb::DecodeFrame(bytes, gs_usb::kFrameSize - 1, &frame));
    }
    // candleLight's bus-off report: an error message whose identifier is the error classes.
    const std::uint8_t bus_off[] = {0xff, 0xff, 0xff, 0xff, 0x40, 0, 0, 0x20, 8, 0,
                                    0,    0,    0,    0,    0,    0, 0, 0,    0, 0};
    gs_usb::HostFrame frame;
    ASSERT_TRUE(gs_usb::DecodeFrame(bus_off, sizeof bus_off, &frame));
    EXPECT_EQ(frame.echo_id, gs_usb::kReceivedEchoId);
    const VciMessage message = gs_usb::MessageFromFrame(frame);
    EXPECT_EQ(message.type, kVciMessageError);
    EXPECT_EQ(message.identifier, 0x40u);
    EXPECT_EQ(message.flags, 8);
}

TEST(GsUsbSession, OpenSequenceAndResetAtCloseByteForByte) {
    Shared shared;
    shared.answers = CandleLight();
    {
        Session session(std::make_unique<FakeUsb>(shared), "gs0");
        ASSERT_EQ(session.Configure(1000000), kVciOk);
        ASSERT_EQ(session.Start(true), kVciOk);
    }
    const std::vector<std::string> expected = {
        "41 0 1 0 efbe0000",
        "c1 5 1 0 in 12",
        "c1 4 0 0 in 40",
        "41 1 0 0 0500000006000000040000000100000003000000",
        "41 2 0 0 0100000000000000",
        "41 2 0 0 0000000000000000",  // MODE reset as the session ends
    };
    EXPECT_EQ(shared.log, expected);

    Shared narrow;
    narrow.answers = CandleLight(/*brp_min=*/200);
    Session refused(std::make_unique<FakeUsb>(narrow), "gs1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(refused.Configure(1000000), kVciErrNotSupported);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("vci: gs1: no bit timing for 1000 kbit/s"), std::string::npos) << said;
    EXPECT_EQ(narrow.log.size(), 3u);  // no BITTIMING sent
}

TEST(GsUsbSession, EchoIsTheOwnCopyAndReceivedFramesAreToldApart) {
    Shared shared;
    shared.answers = CandleLight();
    auto session = std::make_shared<Session>(std::make_unique<FakeUsb>(shared), "gs0");
    ASSERT_EQ(session->Configure(1000000), kVciOk);
    std::unique_ptr<Transport> transport = MakeTransport(session);
    EXPECT_TRUE(transport->echoes_own_frames());

    ASSERT_EQ(transport->Send(Data(0x123, 3), 10, 0), Transport::SendResult::kSent);
    shared.in.push_back(Bytes(Received(0x456)));
    HostFrame stray = Received(0x111);
    stray.echo_id = 7;  // no frame waits for this echo id
    shared.in.push_back(Bytes(stray));
    stray.echo_id = 0x55;
    shared.in.push_back(Bytes(stray));
    std::vector<VciMessage> got;
    ASSERT_TRUE(transport->Receive(got, 0));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].identifier, 0x123u);
    EXPECT_EQ(got[0].flags, 3 | kVciFlagSelf);
    EXPECT_EQ(got[0].data[2], 0xA2);
    EXPECT_EQ(got[1].identifier, 0x456u);
    EXPECT_EQ(got[1].flags, 8);
    EXPECT_EQ(session->slots_in_use(), 0u);
    EXPECT_EQ(Hex(shared.out[0].data(), shared.out[0].size()),
              "000000002301000003000000a0a1a20000000000");
}

TEST(GsUsbSession, SlotsRunOutWithoutEchoesAndAnEchoFreesOne) {
    Shared shared;
    shared.answers = CandleLight();
    shared.echo = false;
    Session session(std::make_unique<FakeUsb>(shared), "gs0");
    for (std::uint32_t i = 0; i < kTxSlots; ++i) {
        ASSERT_EQ(session.Send(Data(i, 1), 0), Transport::SendResult::kSent) << i;
    }
    EXPECT_EQ(session.Send(Data(0x10, 1), 5), Transport::SendResult::kFull);
    EXPECT_EQ(shared.out.size(), kTxSlots);
    shared.in.push_back(shared.out[4]);  // the echo of echo id 4
    shared.in.push_back(Bytes(Received(0x200)));
    EXPECT_EQ(session.Send(Data(0x11, 1), 5), Transport::SendResult::kSent);
    EXPECT_EQ(shared.out.back()[0], 4);  // the slot that the echo freed
    std::vector<VciMessage> got;
    ASSERT_TRUE(session.Receive(got, 0));  // what came while the send waited is kept
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].flags & kVciFlagSelf, kVciFlagSelf);
    EXPECT_EQ(got[0].identifier, 4u);
    EXPECT_EQ(got[1].identifier, 0x200u);
}

// An adapter that drops frames without their echoes does not use the slots up for good.
TEST(GsUsbSession, SlotsWithoutEchoForTooLongAreFreed) {
    Shared shared;
    shared.answers = CandleLight();
    shared.echo = false;
    Session session(std::make_unique<FakeUsb>(shared), "gs0");
    session.set_echo_give_up_us(20'000);
    for (std::uint32_t i = 0; i < kTxSlots; ++i) {
        ASSERT_EQ(session.Send(Data(i, 1), 0), Transport::SendResult::kSent) << i;
    }
    EXPECT_EQ(session.Send(Data(0x10, 1), 0), Transport::SendResult::kFull);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    for (std::uint32_t i = 0; i < kTxSlots; ++i) {
        EXPECT_EQ(session.Send(Data(0x20 + i, 1), 0), Transport::SendResult::kSent) << i;
    }
    EXPECT_EQ(session.slots_in_use(), kTxSlots);
}

TEST(GsUsbSession, EachBusStateChangeSaidOnceAndDeviceGoneIsLost) {
    Shared shared;
    Session session(std::make_unique<FakeUsb>(shared), "gs0");
    for (const HostFrame& frame : {Received(0x20000020),        // no ack
                                   Received(0x20000024, 0x08),  // warning, no ack
                                   Received(0x20000024, 0x08),  // the same again
                                   Received(0x20000024, 0x20),  // passive
                                   Received(0x20000040),        // bus-off
                                   Received(0x20000040),        // again
                                   Received(0x20000100),        // restarted
                                   Received(0x123)}) {
        shared.in.push_back(Bytes(frame));
    }
    testing::internal::CaptureStderr();
    std::vector<VciMessage> got;
    EXPECT_TRUE(session.Receive(got, 0));
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_EQ(got.size(), 8u);  // error frames reach the channel as error messages
    EXPECT_EQ(got[4].type, kVciMessageError);
    EXPECT_EQ(got[4].identifier, 0x40u);
    EXPECT_EQ(got[7].type, kVciMessageData);
    const std::vector<std::string> starts = {
        "vci: gs0: no other node acknowledges",
        "vci: gs0: error warning",
        "vci: gs0: error-passive",
        "vci: gs0: bus-off",
        "vci: gs0: restarted after bus-off",
    };
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = said.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(said.substr(at, end - at));
    }
    ASSERT_EQ(lines.size(), starts.size()) << said;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(starts[i], 0), 0u) << lines[i];
    }

    shared.gone = true;
    std::unique_ptr<Transport> transport =
        MakeTransport(std::shared_ptr<Session>(&session, [](Session*) {}));
    EXPECT_FALSE(transport->Receive(got, 0));
    EXPECT_EQ(transport->last_error(), "receive failed: No such device");
    EXPECT_EQ(transport->Send(Data(1, 1), 10, 0), Transport::SendResult::kLost);
    EXPECT_FALSE(transport->StartReceiving(0));
}

// Listed or left to SocketCAN: never an adapter whose kernel interface is up.
// Pulled out while streaming and plugged back in, in one run: the channel connects anew (as a
// deactivation and activation does) and finds the adapter set up and started as its controller
// left it; the controller's stop reaches the new session.
TEST(GsUsbSession, PulledAndPluggedBackOpensAgainSetUpAsBefore) {
    std::deque<Shared> plugged(1);  // one adapter after another at the same USB port
    plugged.back().answers = CandleLight();
    const SessionOpener open = [&](VciResult* code, std::string*) {
        *code = kVciOk;
        return std::make_shared<Session>(std::make_unique<FakeUsb>(plugged.back()), "gs0");
    };
    const std::string port = "replug-test-1.2";
    std::unique_ptr<BackendController> controller = MakeController(port, "gs0", open);
    ASSERT_EQ(controller->Init(1000000), kVciOk);
    ASSERT_EQ(controller->Start(true), kVciOk);
    VciResult code = kVciErrIo;
    std::string error;
    std::unique_ptr<Transport> channel = OpenTransport(port, open, &code, &error);
    ASSERT_NE(channel, nullptr) << error;
    EXPECT_EQ(plugged.back().log.size(), 5u);  // one session for both: set up once

    plugged.back().gone = true;
    std::vector<VciMessage> got;
    EXPECT_FALSE(channel->Receive(got, 0));
    plugged.emplace_back();
    plugged.back().answers = CandleLight();
    channel = OpenTransport(port, open, &code, &error);
    ASSERT_NE(channel, nullptr) << error;
    EXPECT_EQ(code, kVciOk);
    const std::vector<std::string> set_up = {
        "41 0 1 0 efbe0000",
        "c1 5 1 0 in 12",
        "c1 4 0 0 in 40",
        "41 1 0 0 0500000006000000040000000100000003000000",
        "41 2 0 0 0100000000000000",  // MODE start
    };
    EXPECT_EQ(plugged.back().log, set_up);
    ASSERT_EQ(channel->Send(Data(0x123, 2), 0, 0), Transport::SendResult::kSent);
    EXPECT_EQ(plugged.back().out.size(), 1u);
    ASSERT_EQ(controller->Start(false), kVciOk);
    EXPECT_EQ(plugged.back().log.back(), "41 2 0 0 0000000000000000");
}

TEST(GsUsbDiscovery, KernelHeldAdaptersAreTakenOnlyWhileDownAndOpenable) {
    struct Case {
        std::string kernel_interface;
        bool up, other_driver, accessible;
        const char* replaces;  // null: not listed
    };
    for (const Case& c : std::vector<Case>{{"", false, false, true, ""},
                                           {"", false, false, false, ""},  // says why at open
                                           {"can0", false, false, true, "can0"},
                                           {"can0", true, false, true, nullptr},
                                           {"can0", false, false, false, nullptr},
                                           {"", false, true, true, nullptr}}) {
        FoundAdapter found;
        found.port = "1-1.2";
        found.product = "candleLight USB to CAN adapter";
        found.serial = "0039002D";
        found.kernel_interface = c.kernel_interface;
        found.kernel_interface_up = c.up;
        found.other_driver = c.other_driver;
        found.accessible = c.accessible;
        const std::optional<DeviceEntry> entry = EntryFor(found);
        ASSERT_EQ(entry.has_value(), c.replaces != nullptr) << c.kernel_interface << c.up;
        if (entry) {
            EXPECT_EQ(entry->replaces, c.replaces);
            EXPECT_EQ(entry->name, "gsusb-1-1.2");
            EXPECT_EQ(entry->serial, "0039002D");
            EXPECT_EQ(
                entry->description.find("gs_usb adapter candleLight USB to CAN adapter at USB "
                                        "port 1-1.2, serial 0039002D"),
                0u);
        }
    }
}

#ifdef __linux__
// The sysfs scan on a made-up tree: a candleLight the kernel's driver holds as can0 (up), one
// that nobody holds, a USB serial chip and a root hub.
TEST(GsUsbDiscovery, SysfsScanReadsIdsStringsDriverAndInterfaceState) {
    namespace fs = std::filesystem;
    const fs::path root =
        fs::temp_directory_path() / ("gs_usb_sysfs." + std::to_string(::getpid()));
    const fs::path usb = root / "sys/bus/usb/devices";
    const auto put = [](const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    };
    const auto device = [&](const std::string& port, const char* vendor, const char* product,
                            const char* bus, const char* address, const char* name) {
        for (const auto& [file, text] :
             std::vector<std::pair<std::string, std::string>>{{"idVendor", vendor},
                                                              {"idProduct", product},
                                                              {"busnum", bus},
                                                              {"devnum", address},
                                                              {"product", name},
                                                              {"bConfigurationValue", "1"}}) {
            put(usb / port / file, text);
        }
    };
    device("1-1", "1d50", "606f", "1", "2", "candleLight USB to CAN adapter");
    put(usb / "1-1/serial", "004A00215333");
    fs::create_directories(root / "sys/bus/usb/drivers/gs_usb");
    fs::create_directories(usb / "1-1/1-1:1.0/net/can0");
    fs::create_symlink(root / "sys/bus/usb/drivers/gs_usb", usb / "1-1/1-1:1.0/driver");
    put(root / "sys/class/net/can0/flags", "0x40041");
    // An adapter's strings reach the terminal: no escape sequence gets through.
    device("3-1.4", "1209", "2323", "3", "17", "CANable2\x1b[2J\x9b");
    put(root / "dev/bus/usb/003/017", "");
    device("1-2", "0403", "6001", "1", "3", "FT232R USB UART");
    device("usb1", "1d6b", "0002", "1", "1", "root hub");

    const std::vector<FoundAdapter> found = FindAdapters(root.string());
    fs::remove_all(root);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].port, "1-1");
    EXPECT_EQ(found[0].number, 0x10002u);
    EXPECT_EQ(found[0].product, "candleLight USB to CAN adapter");
    EXPECT_EQ(found[0].serial, "004A00215333");
    EXPECT_EQ(found[0].kernel_interface, "can0");
    EXPECT_TRUE(found[0].kernel_interface_up);
    EXPECT_FALSE(found[0].other_driver);
    EXPECT_FALSE(found[0].accessible);  // no device node
    EXPECT_EQ(found[1].port, "3-1.4");
    EXPECT_EQ(found[1].number, 0x30011u);
    EXPECT_EQ(found[1].id->product, 0x2323);
    EXPECT_EQ(found[1].product, "CANable2?[2J?");
    EXPECT_TRUE(found[1].kernel_interface.empty());
    EXPECT_TRUE(found[1].serial.empty());
    EXPECT_TRUE(found[1].accessible);
}
#endif

// The package's udev rule gives access to exactly the IDs the library looks for.
TEST(GsUsbDiscovery, UdevRuleListsTheKnownIds) {
    std::ifstream rule(KORVANE_SOURCE_DIR "/packaging/udev/70-korvane-gs-usb.rules");
    ASSERT_TRUE(rule);
    std::set<std::pair<unsigned, unsigned>> in_rule, in_table;
    const std::regex line(
        R"re(^SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", ATTR\{idVendor\}=="([0-9a-f]{4})", )re"
        R"re(ATTR\{idProduct\}=="([0-9a-f]{4})", MODE="0660", GROUP="plugdev", TAG\+="uaccess"$)re");
    for (std::string text; std::getline(rule, text);) {
        std::smatch match;
        if (text.empty() || text[0] == '#') {
            continue;
        }
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        in_rule.emplace(std::stoul(match[1], nullptr, 16), std::stoul(match[2], nullptr, 16));
    }
    for (const KnownId& id : kKnownIds) {
        in_table.emplace(id.vendor, id.product);
    }
    EXPECT_EQ(in_rule, in_table);
}

}  // namespace
}  // namespace vci::gs_usb
