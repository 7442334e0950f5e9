// The stand-in CAN library through its C interface, against bus hosts started in the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/socket.h"
#include "can/can_library.h"
#include "tests/vci/netns.h"
#include "vci/discovery.h"
#include "vci/vci_diagnostics.h"
#include "virtual_bus/bus_client.h"
#include "virtual_bus/bus_host.h"
#include "virtual_bus/frame.h"

namespace {

using namespace std::chrono_literals;

std::vector<VciDeviceInfo> Enumerate() {
    std::vector<VciDeviceInfo> devices;
    VciHandle list = nullptr;
    EXPECT_EQ(VciDeviceListOpen(&list), kVciOk);
    EXPECT_EQ(VciDeviceListReset(list), kVciOk);
    VciDeviceInfo info{};
    VciResult code;
    while ((code = VciDeviceListNext(list, &info)) == kVciOk) {
        devices.push_back(info);
    }
    EXPECT_EQ(code, kVciErrNoMoreItems);
    EXPECT_EQ(VciDeviceListClose(list), kVciOk);
    return devices;
}

VciMessage DataMessage(std::uint32_t id, std::uint8_t length, std::uint8_t fill) {
    VciMessage message{};
    message.identifier = id;
    message.flags = static_cast<std::uint8_t>(length | kVciFlagExtended);
    for (std::uint8_t i = 0; i < 8; ++i) {
        message.data[i] = static_cast<std::uint8_t>(fill + i);
    }
    return message;
}

class LibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host_ = std::make_unique<vbus::BusHost>(vbus::HostOptions{});
        std::string error;
        ASSERT_TRUE(host_->Start(&error)) << error;
        ASSERT_TRUE(peer_.Connect("127.0.0.1", host_->port(), "", &error)) << error;
        vci::ForgetDevices();  // a scan of an earlier test does not know this host
    }

    void TearDown() override {
        if (channel_ != nullptr) {
            VciChannelClose(channel_);
        }
        if (controller_ != nullptr) {
            VciControllerClose(controller_);
        }
    }

    VciDeviceInfo OurDevice() {
        for (const VciDeviceInfo& info : Enumerate()) {
            if (info.kind == kVciDeviceVirtualBus && host_->bus_name() == info.name) {
                return info;
            }
        }
        ADD_FAILURE() << "bus " << host_->bus_name() << " not enumerated";
        return {};
    }

    // The loader's way up: device, controller at 1000 kbit/s, channel 32/1/128/128, active.
    void OpenAsTheLoaderDoes(std::uint32_t rx_fifo = 32) {
        const VciDeviceInfo info = OurDevice();
        ASSERT_EQ(VciDeviceOpenById(&info.id, &device_), kVciOk);
        ASSERT_EQ(VciControllerOpen(device_, 0, &controller_), kVciOk);
        ASSERT_EQ(VciControllerInit(controller_, 7, 0x00, 0x14), kVciOk);
        ASSERT_EQ(VciControllerStart(controller_, 1), kVciOk);
        ASSERT_EQ(VciChannelOpen(device_, 0, 0, &channel_), kVciOk);
        ASSERT_EQ(VciChannelInit(channel_, rx_fifo, 1, 128, 128), kVciOk);
        ASSERT_EQ(VciChannelActivate(channel_, 1), kVciOk);
    }

    std::vector<vbus::Frame> PeerReceive(std::size_t count) {
        std::vector<vbus::Frame> frames;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (frames.size() < count && std::chrono::steady_clock::now() < deadline &&
               peer_.Receive(frames, 100'000)) {
        }
        return frames;
    }

    std::unique_ptr<vbus::BusHost> host_;
    vbus::BusClient peer_;
    VciHandle device_ = nullptr;
    VciHandle controller_ = nullptr;
    VciHandle channel_ = nullptr;
};

TEST_F(LibraryTest, EnumeratesTheBusWithItsIdentity) {
    const VciDeviceInfo info = OurDevice();
    EXPECT_EQ(info.kind, kVciDeviceVirtualBus);
    EXPECT_NE(std::string(info.description).find(std::to_string(host_->port())), std::string::npos);
    EXPECT_EQ(info.reserved, 0u);
}

TEST_F(LibraryTest, SendsAndReceivesWithSelfReception) {
    OpenAsTheLoaderDoes();
    const VciMessage sent = DataMessage(0x18EEFF00, 8, 0x10);
    ASSERT_EQ(VciChannelSend(channel_, 0, &sent), kVciOk);

    // The peer gets the frame; the channel gets its own copy flagged 0x20.
    const std::vector<vbus::Frame> at_peer = PeerReceive(1);
    ASSERT_EQ(at_peer.size(), 1u);
    EXPECT_EQ(at_peer[0].id, 0x18EEFF00u);
    EXPECT_TRUE(at_peer[0].extended);
    EXPECT_EQ(at_peer[0].length, 8);
    EXPECT_EQ(at_peer[0].data[7], 0x17);
    VciMessage own{};
    ASSERT_EQ(VciChannelTake(channel_, &own), kVciOk);
    EXPECT_EQ(own.flags, kVciFlagSelf | kVciFlagExtended | 8);
    EXPECT_EQ(own.identifier, 0x18EEFF00u);
    EXPECT_EQ(own.type, kVciMessageData);

    // A frame from the peer: 11-bit, 3 bytes.
    ASSERT_TRUE(peer_.Send(vbus::Frame{0x123, false, 3, {1, 2, 3}}));
    VciMessage got{};
    ASSERT_EQ(VciChannelRead(channel_, 5000, &got), kVciOk);
    EXPECT_EQ(got.identifier, 0x123u);
    EXPECT_EQ(got.flags, 3);
    EXPECT_EQ(got.data[2], 3);
    EXPECT_EQ(VciChannelTake(channel_, &got), kVciErrRxEmpty);
    EXPECT_EQ(VciChannelRead(channel_, 0, &got), kVciErrTimeout);
    EXPECT_EQ(VciChannelLostCount(channel_), 0u);
}

// Whatever reached the bus before activation is discarded, however much the host still held
// back; after a pause long enough for the host to give up on the inactive channel, activation
// connects anew and the channel works.
TEST_F(LibraryTest, ActivationStartsFromAQuietChannel) {
    const VciDeviceInfo info = OurDevice();
    ASSERT_EQ(VciDeviceOpenById(&info.id, &device_), kVciOk);
    // Another client reads all along and shows when the host has passed the early frames on.
    const vbus::Frame early{0x100, false, 8, {0xEE}};
    std::atomic<long> seen = 0;
    std::atomic<bool> watching = true;
    vbus::BusClient watcher;
    std::string error;
    ASSERT_TRUE(watcher.Connect("127.0.0.1", host_->port(), "", &error)) << error;
    std::thread watch([&] {
        std::vector<vbus::Frame> frames;
        while (watching && watcher.Receive(frames, 10'000)) {
            seen += std::count(frames.begin(), frames.end(), early);
            frames.clear();
        }
    });
    struct Case {
        long early_frames;
        bool host_gives_up;  // more, until the host drops the channel that does not read
    };
    for (const Case c : {Case{1, false}, Case{5000, false}, Case{0, true}}) {
        SCOPED_TRACE(c.early_frames);
        ASSERT_EQ(VciChannelOpen(device_, 0, 0, &channel_), kVciOk);
        ASSERT_EQ(VciChannelInit(channel_, 32, 1, 128, 128), kVciOk);
        const std::uint64_t dropped = host_->stats().dropped_clients;
        seen = 0;
        long sent = 0;
        while (sent < c.early_frames ||
               (c.host_gives_up && sent < 2'000'000 &&
                (sent % 1000 != 0 || host_->stats().dropped_clients == dropped))) {
            ASSERT_TRUE(peer_.Send(early));
            ++sent;
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (seen < sent && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(seen, sent);
        ASSERT_EQ(host_->stats().dropped_clients, dropped + (c.host_gives_up ? 1 : 0));

        ASSERT_EQ(VciChannelActivate(channel_, 1), kVciOk);
        const VciMessage message = DataMessage(0x300, 1, 0);
        ASSERT_EQ(VciChannelSend(channel_, 1000, &message), kVciOk);
        ASSERT_EQ(PeerReceive(1).size(), 1u);
        ASSERT_TRUE(peer_.Send(vbus::Frame{0x200, false, 1, {0xAA}}));
        VciMessage got{};
        ASSERT_EQ(VciChannelRead(channel_, 5000, &got), kVciOk);
        EXPECT_EQ(got.flags & kVciFlagSelf, kVciFlagSelf);
        ASSERT_EQ(VciChannelRead(channel_, 5000, &got), kVciOk);
        EXPECT_EQ(got.identifier, 0x200u);
        EXPECT_EQ(VciChannelLostCount(channel_), 0u);
        EXPECT_EQ(VciChannelClose(channel_), kVciOk);
        channel_ = nullptr;
    }
    watching = false;
    watch.join();
}

TEST_F(LibraryTest, FullFifoCountsWhatItDrops) {
    OpenAsTheLoaderDoes(/*rx_fifo=*/4);
    // Own copies enter the FIFO as the sends happen: 4 fit, 2 are lost.
    for (std::uint8_t i = 0; i < 6; ++i) {
        const VciMessage message = DataMessage(0x18EF0000u + i, 1, i);
        ASSERT_EQ(VciChannelSend(channel_, 0, &message), kVciOk);
    }
    EXPECT_EQ(VciChannelLostCount(channel_), 2u);
    VciMessage got{};
    for (std::uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(VciChannelTake(channel_, &got), kVciOk);
        EXPECT_EQ(got.identifier, 0x18EF0000u + i);
    }
    ASSERT_EQ(VciChannelTake(channel_, &got), kVciOk);
    EXPECT_EQ(got.type, kVciMessageStatus);
    EXPECT_EQ(got.data[0], kVciStatusRxOverrun);
    EXPECT_EQ(VciChannelTake(channel_, nullptr), kVciErrRxEmpty);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(VciChannelClose(channel_), kVciOk);
    channel_ = nullptr;
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(
        printed.find("vci: " + host_->bus_name() + ": 2 received frames lost, receive FIFO full"),
        std::string::npos)
        << printed;
}

TEST_F(LibraryTest, ShortReadsReturnAsSoonAsAFrameArrives) {
    OpenAsTheLoaderDoes();
    std::thread late_sender([this] {
        std::this_thread::sleep_for(50ms);
        peer_.Send(vbus::Frame{0x18EFF9C3, true, 1, {0x42}});
    });
    // The loader's receive loop: reads of 1 ms. Each read waits at most 1 ms, so the frame
    // sent after 50 ms arrives within a few dozen reads; 200 leaves room for a loaded machine.
    VciMessage got{};
    int reads = 0;
    VciResult code = kVciErrTimeout;
    const auto start = std::chrono::steady_clock::now();
    while (code == kVciErrTimeout && std::chrono::steady_clock::now() - start < 10s) {
        code = VciChannelRead(channel_, 1, &got);
        ++reads;
    }
    late_sender.join();
    ASSERT_EQ(code, kVciOk);
    EXPECT_EQ(got.identifier, 0x18EFF9C3u);
    EXPECT_LT(reads, 200);
    EXPECT_GT(reads, 1);  // the frame was not there before the sender's delay
}

// Back-to-back empty reads keep to the pace of their time-outs (a late wake-up is made up by the
// next read) but never wait less in all: n reads of 1 ms on a silent bus take at least n ms, and
// a read that starts after a pause waits its whole time-out again.
TEST_F(LibraryTest, ConsecutiveEmptyReadsAreNeverCutShort) {
    OpenAsTheLoaderDoes();
    VciMessage got{};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(VciChannelRead(channel_, 1, &got), kVciErrTimeout);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

    std::this_thread::sleep_for(5ms);
    const auto after_pause = std::chrono::steady_clock::now();
    ASSERT_EQ(VciChannelRead(channel_, 2, &got), kVciErrTimeout);
    EXPECT_GE(std::chrono::steady_clock::now() - after_pause, 2ms);
}

TEST_F(LibraryTest, LostConnectionMakesReadsFailAtOnce) {
    OpenAsTheLoaderDoes();
    const VciMessage message = DataMessage(0x18EEFF00, 2, 0);
    ASSERT_EQ(VciChannelSend(channel_, 0, &message), kVciOk);
    host_->Stop();

    ::testing::internal::CaptureStderr();
    VciMessage got{};
    // What the FIFO held is still handed out; then every read fails without waiting its time-out.
    EXPECT_EQ(VciChannelRead(channel_, 60000, &got), kVciOk);
    EXPECT_EQ(got.flags & kVciFlagSelf, kVciFlagSelf);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VciChannelRead(channel_, 60000, &got), kVciErrIo);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);  // safety net, not a speed claim
    EXPECT_EQ(VciChannelRead(channel_, 1, &got), kVciErrIo);
    EXPECT_EQ(VciChannelTake(channel_, &got), kVciErrIo);
    EXPECT_EQ(VciChannelSend(channel_, 0, &message), kVciErrIo);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("lost"), std::string::npos) << printed;
}

TEST_F(LibraryTest, RefusesBadArgumentsWithTheirCodes) {
    OpenAsTheLoaderDoes();
    VciHandle handle = nullptr;
    VciMessage message = DataMessage(0x100, 1, 0);
    VciMessage too_long = DataMessage(0x100, 9, 0);
    VciMessage not_data = DataMessage(0x100, 1, 0);
    not_data.type = kVciMessageInfo;
    VciMessage wide_standard = DataMessage(0x800, 1, 0);
    wide_standard.flags = 1;  // 11-bit, but the identifier needs 12 bits

    struct Case {
        const char* what;
        VciResult got;
        VciResult expected;
    };
    const std::vector<Case> cases = {
        {"controller of a null device", VciControllerOpen(nullptr, 0, &handle),
         kVciErrInvalidHandle},
        {"controller of a channel handle", VciControllerOpen(channel_, 0, &handle),
         kVciErrInvalidHandle},
        {"controller bus 1", VciControllerOpen(device_, 1, &handle), kVciErrInvalidArgument},
        {"list open, null", VciDeviceListOpen(nullptr), kVciErrInvalidPointer},
        {"list next, null record", VciDeviceListNext(nullptr, nullptr), kVciErrInvalidHandle},
        {"open by id, null id", VciDeviceOpenById(nullptr, &handle), kVciErrInvalidPointer},
        {"select, null", VciDeviceSelect(nullptr, nullptr), kVciErrInvalidPointer},
        {"mode without frame format", VciControllerInit(controller_, 4, 0, 0x14),
         kVciErrInvalidArgument},
        {"init while started", VciControllerInit(controller_, 7, 0, 0x14), kVciErrWrongState},
        {"channel on null device", VciChannelOpen(nullptr, 0, 0, &handle), kVciErrInvalidHandle},
        {"init while active", VciChannelInit(channel_, 32, 1, 128, 128), kVciErrWrongState},
        {"read, null record", VciChannelRead(channel_, 0, nullptr), kVciErrInvalidPointer},
        {"send, null record", VciChannelSend(channel_, 0, nullptr), kVciErrInvalidPointer},
        {"send, length 9", VciChannelSend(channel_, 0, &too_long), kVciErrInvalidArgument},
        {"send, not a data message", VciChannelSend(channel_, 0, &not_data),
         kVciErrInvalidArgument},
        {"send, 11-bit id too wide", VciChannelSend(channel_, 0, &wide_standard),
         kVciErrInvalidArgument},
        {"send on null channel", VciChannelSend(nullptr, 0, &message), kVciErrInvalidHandle},
        {"take on closed-list handle", VciChannelTake(device_, &message), kVciErrInvalidHandle},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got, c.expected) << c.what;
    }
    // A virtual bus runs at 1000 kbit/s only.
    ASSERT_EQ(VciControllerStart(controller_, 0), kVciOk);
    EXPECT_EQ(VciControllerInit(controller_, 7, 0x00, 0x1C), kVciErrNotSupported);
    // FIFO sizes of 0 are refused.
    VciHandle second = nullptr;
    ASSERT_EQ(VciChannelOpen(device_, 0, 0, &second), kVciOk);
    EXPECT_EQ(VciChannelInit(second, 0, 0, 128, 128), kVciErrInvalidArgument);
    EXPECT_EQ(VciChannelInit(second, 32, 1, 0, 0), kVciErrInvalidArgument);
    EXPECT_EQ(VciChannelActivate(second, 1), kVciErrWrongState);  // not initialised
    EXPECT_EQ(VciChannelClose(second), kVciOk);
    EXPECT_EQ(VciChannelClose(second), kVciErrInvalidHandle);
    // A stale copy of a closed handle misses the channel opened after it, even where that one
    // takes the closed one's place.
    VciHandle third = nullptr;
    ASSERT_EQ(VciChannelOpen(device_, 0, 0, &third), kVciOk);
    EXPECT_EQ(VciChannelClose(second), kVciErrInvalidHandle);
    EXPECT_EQ(VciChannelInit(third, 32, 1, 128, 128), kVciOk);
    EXPECT_EQ(VciChannelClose(third), kVciOk);
}

// ---- Tests that need a network namespace of their own (exact device lists) ----

class IsolatedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!RunningIsolated()) {
            GTEST_SKIP() << "needs a private network namespace (unshare -n as root) so that no "
                            "other bus host is seen";
        }
    }
};

// One scan serves the enumerations that follow it at once (a run of the loader lists, counts and
// opens within milliseconds); a later scan sees devices come and go.
TEST_F(IsolatedTest, OneScanIsReusedAndALaterOneSeesAStoppedHostGone) {
    vci::ForgetDevices();
    EXPECT_TRUE(Enumerate().empty());
    vbus::BusHost host(vbus::HostOptions{});
    std::string error;
    ASSERT_TRUE(host.Start(&error)) << error;
    EXPECT_TRUE(Enumerate().empty()) << "the scan made just before was not reused";
    vci::ForgetDevices();
    std::vector<VciDeviceInfo> devices = Enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_STREQ(devices[0].name, "sim0");
    const VciDeviceId id = devices[0].id;

    host.Stop();
    vci::ForgetDevices();
    EXPECT_TRUE(Enumerate().empty());
    VciHandle device = nullptr;
    EXPECT_EQ(VciDeviceOpenById(&id, &device), kVciErrDeviceGone);
    EXPECT_EQ(device, nullptr);
}

// A socketcand daemon (or anything else that greets like one) on a port the library scans is no
// bus of ours: it knows no bus "sim1" and refuses to open it, so nothing is listed.
TEST_F(IsolatedTest, AForeignGreeterOnAScannedPortIsNotListed) {
    base::net::Socket listener;
    bool in_use = false;
    std::string error;
    ASSERT_TRUE(base::net::ListenLoopback(vbus::kFirstPort + 1, &listener, &in_use, &error))
        << error;
    std::atomic<bool> stop{false};
    std::atomic<int> greeted{0};
    std::thread daemon([&] {
        while (!stop) {
            base::net::Socket client = base::net::Accept(listener);
            if (!client.valid()) {
                std::this_thread::sleep_for(1ms);
                continue;
            }
            base::net::Send(client, "< hi >", 6);
            ++greeted;
            char request[256];
            for (int i = 0; i < 200; ++i) {  // the open request, then a refusal as socketcand's
                if (base::net::Receive(client, request, sizeof request).status ==
                    base::net::IoStatus::kOk) {
                    base::net::Send(client, "< error could not open bus >", 28);
                    break;
                }
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    vci::ForgetDevices();
    const std::vector<VciDeviceInfo> devices = Enumerate();
    stop = true;
    daemon.join();
    EXPECT_GE(greeted, 1) << "the scan did not reach the greeter";
    EXPECT_TRUE(devices.empty()) << devices.size() << " devices, the first " << devices[0].name;
}

// Runs VciDeviceSelect with `input` as stdin; returns its code and what it printed.
std::pair<VciResult, std::string> SelectWithInput(const std::string& input, VciHandle* device) {
    const std::string path = ::testing::TempDir() + "vci_select_" + std::to_string(::getpid());
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fputs(input.c_str(), file);
    std::fclose(file);
    const int saved = ::dup(0);
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::dup2(fd, 0);
    ::close(fd);
    std::clearerr(stdin);
    ::testing::internal::CaptureStdout();
    const VciResult code = VciDeviceSelect(nullptr, device);
    std::string printed = ::testing::internal::GetCapturedStdout();
    ::dup2(saved, 0);
    ::close(saved);
    std::clearerr(stdin);
    std::remove(path.c_str());
    return {code, printed};
}

TEST_F(IsolatedTest, SelectionOnTheConsole) {
    vbus::BusHost first(vbus::HostOptions{}), second(vbus::HostOptions{});
    std::string error;
    ASSERT_TRUE(first.Start(&error)) << error;
    ASSERT_TRUE(second.Start(&error)) << error;
    vci::ForgetDevices();

    struct Case {
        std::string input;
        VciResult code;
    };
    const std::vector<Case> cases = {
        {"", kVciErrCancelled},
        {"\n", kVciErrCancelled},
        {"3\n", kVciErrCancelled},
        {"0\n", kVciErrCancelled},
        {"x1\n", kVciErrCancelled},
        {" 2 \n", kVciOk},
        {"1", kVciOk},
    };
    for (const Case& c : cases) {
        VciHandle device = nullptr;
        const auto [code, printed] = SelectWithInput(c.input, &device);
        EXPECT_EQ(code, c.code) << "input '" << c.input << "'";
        EXPECT_EQ(device != nullptr, c.code == kVciOk);
        EXPECT_NE(printed.find("1  sim0"), std::string::npos) << printed;
        EXPECT_NE(printed.find("2  sim1"), std::string::npos) << printed;
    }
    // The choice opens that device: a channel on choice 2 reaches the host on the second port.
    VciHandle device = nullptr;
    ASSERT_EQ(SelectWithInput("2\n", &device).first, kVciOk);
    VciHandle channel = nullptr;
    ASSERT_EQ(VciChannelOpen(device, 0, 0, &channel), kVciOk);
    ASSERT_EQ(VciChannelInit(channel, 32, 1, 128, 128), kVciOk);
    ASSERT_EQ(VciChannelActivate(channel, 1), kVciOk);
    const VciMessage message = DataMessage(0x1, 0, 0);
    ASSERT_EQ(VciChannelSend(channel, 0, &message), kVciOk);
    EXPECT_EQ(VciChannelClose(channel), kVciOk);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (second.stats().frames == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(second.stats().frames, 1u);
    EXPECT_EQ(first.stats().frames, 0u);
}

}  // namespace
