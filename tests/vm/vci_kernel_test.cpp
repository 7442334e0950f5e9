// Our CAN library on a real kernel CAN stack (run inside the VM, where vcan0 and vcan1 exist):
// the devices it lists, the controller step on an interface without bit timing, and the
// kernel's own-message echo: the copy of a frame that the tool sent is flagged and never taken
// for a reply, while the same frame from another node is. The other side of every exchange is a
// plain CAN_RAW socket written here, independent of the library's own SocketCAN code.
#include <gtest/gtest.h>

#include <linux/can.h>
#include <linux/can/error.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "can/can_frame_io.h"
#include "can/can_library.h"
#include "vci/vci_diagnostics.h"

namespace {

// Every network interface whose link type is CAN (ARPHRD_CAN), sorted by name.
std::vector<std::string> KernelCanInterfaces() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
        std::ifstream type(entry.path() / "type");
        int link_type = 0;
        if (type >> link_type && link_type == 280) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool IsUp(const char* interface) {
    std::ifstream flags(std::string("/sys/class/net/") + interface + "/flags");
    unsigned value = 0;
    return static_cast<bool>(flags >> std::hex >> value) && (value & IFF_UP) != 0;
}

// Another node on the bus: a raw socket of its own.
class Node {
  public:
    explicit Node(const char* interface) {
        fd_ = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
        if (fd_ < 0) {
            return;
        }
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(::if_nametoindex(interface));
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Node() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    bool ok() const { return fd_ >= 0; }

    bool Send(uint32_t id29, std::vector<uint8_t> data) {
        can_frame frame{};
        frame.can_id = id29 | CAN_EFF_FLAG;
        frame.len = static_cast<uint8_t>(data.size());
        std::copy(data.begin(), data.end(), frame.data);
        return ::write(fd_, &frame, sizeof frame) == static_cast<ssize_t>(sizeof frame);
    }

    // An error frame as a controller's driver reports one: error classes and data bytes.
    bool SendError(uint32_t classes, std::vector<uint8_t> data) {
        can_frame frame{};
        frame.can_id = CAN_ERR_FLAG | classes;
        frame.len = CAN_ERR_DLC;
        std::copy(data.begin(), data.end(), frame.data);
        return ::write(fd_, &frame, sizeof frame) == static_cast<ssize_t>(sizeof frame);
    }

    // The next frame within the wait (a safety net, not a speed claim); false when none came.
    bool Receive(can_frame* frame, int wait_ms = 2000) {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, wait_ms) != 1) {
            return false;
        }
        return ::read(fd_, frame, sizeof *frame) == static_cast<ssize_t>(sizeof *frame);
    }

  private:
    int fd_ = -1;
};

struct DeviceRecord {
    std::string name;
    VciDeviceInfo info;
};

std::vector<DeviceRecord> ListDevices() {
    std::vector<DeviceRecord> devices;
    VciHandle list = nullptr;
    if (VciDeviceListOpen(&list) != kVciOk) {
        return devices;
    }
    VciDeviceListReset(list);
    VciDeviceInfo info{};
    while (VciDeviceListNext(list, &info) == kVciOk) {
        devices.push_back({info.name, info});
    }
    VciDeviceListClose(list);
    return devices;
}

class KernelCan : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::if_nametoindex("vcan0") == 0) {
            GTEST_SKIP() << "needs the VM: a kernel with CAN and vcan0";
        }
    }
    void TearDown() override {
        for (VciHandle channel : channels_) {
            VciChannelClose(channel);
        }
        for (VciHandle controller : controllers_) {
            VciControllerClose(controller);
        }
    }

    VciHandle OpenDevice(const std::string& name) {
        for (const DeviceRecord& device : ListDevices()) {
            if (device.name == name) {
                VciHandle handle = nullptr;
                EXPECT_EQ(VciDeviceOpenById(&device.info.id, &handle), kVciOk);
                return handle;
            }
        }
        ADD_FAILURE() << "no device " << name;
        return nullptr;
    }

    // An active channel as the tool opens it: 32 messages of receive FIFO.
    VciHandle OpenChannel(const std::string& name) {
        VciHandle device = OpenDevice(name);
        VciHandle channel = nullptr;
        EXPECT_EQ(VciChannelOpen(device, 0, 0, &channel), kVciOk);
        EXPECT_EQ(VciChannelInit(channel, 32, 1, 128, 128), kVciOk);
        EXPECT_EQ(VciChannelActivate(channel, 1), kVciOk);
        channels_.push_back(channel);
        return channel;
    }

    std::vector<VciHandle> channels_;
    std::vector<VciHandle> controllers_;
};

VciMessage ExtendedMessage(uint32_t id, std::vector<uint8_t> data) {
    VciMessage message{};
    message.identifier = id;
    message.flags = static_cast<uint8_t>(data.size() | kVciFlagExtended);
    std::copy(data.begin(), data.end(), message.data);
    return message;
}

TEST_F(KernelCan, DevicesAreExactlyTheKernelsCanInterfaces) {
    std::vector<std::string> names;
    for (const DeviceRecord& device : ListDevices()) {
        names.push_back(device.name);
        EXPECT_EQ(device.info.kind, kVciDeviceSocketCan) << device.name;
    }
    EXPECT_EQ(names, KernelCanInterfaces());
    EXPECT_FALSE(names.empty());
}

// An interface without bit timing needs no bit rate; one that is down is brought up (the tests
// run as root).
TEST_F(KernelCan, ControllerStepMakesAnInterfaceWithoutBitTimingWork) {
    struct Case {
        const char* name;
        const char* before;
    };
    for (const Case c :
         {Case{"vcan0", "ip link set vcan0 up"}, Case{"vcan1", "ip link set vcan1 down"}}) {
        if (::if_nametoindex(c.name) == 0) {
            continue;
        }
        ASSERT_EQ(std::system(c.before), 0) << c.before;
        VciHandle controller = nullptr;
        ASSERT_EQ(VciControllerOpen(OpenDevice(c.name), 0, &controller), kVciOk) << c.name;
        controllers_.push_back(controller);
        EXPECT_EQ(VciControllerInit(controller, 7, 0x00, 0x14), kVciOk) << c.before;
        EXPECT_EQ(VciControllerStart(controller, 1), kVciOk) << c.before;
        EXPECT_TRUE(IsUp(c.name)) << c.before;
    }
    std::system("ip link set vcan1 up");  // for the tests after this one, whatever happened
}

// Frames that came before activation are never delivered, however many; the kernel drops none
// for a channel that is not active, so none count as lost either.
TEST_F(KernelCan, NothingFromBeforeActivationIsDelivered) {
    Node other("vcan0");
    ASSERT_TRUE(other.ok());
    VciHandle channel = nullptr;
    ASSERT_EQ(VciChannelOpen(OpenDevice("vcan0"), 0, 0, &channel), kVciOk);
    channels_.push_back(channel);
    ASSERT_EQ(VciChannelInit(channel, 32, 1, 128, 128), kVciOk);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_TRUE(other.Send(0x0CF00400, {1}));
    }
    ASSERT_EQ(VciChannelActivate(channel, 1), kVciOk);
    ASSERT_TRUE(other.Send(0x0CF00401, {2}));
    VciMessage got{};
    ASSERT_EQ(VciChannelRead(channel, 2000, &got), kVciOk);
    EXPECT_EQ(got.identifier, 0x0CF00401u);
    EXPECT_EQ(VciChannelLostCount(channel), 0u);
}

// A transmit queue that stays full: the send waits for room up to its time-out. The plug
// queueing discipline holds frames back (4 of 16 bytes) until it is told to let them go.
TEST_F(KernelCan, SendWaitsForRoomInAFullTransmitQueue) {
    ASSERT_EQ(std::system("tc qdisc add dev vcan1 root plug limit 64"), 0);
    VciHandle channel = OpenChannel("vcan1");
    const VciMessage message = ExtendedMessage(0x18EEFF00, {1});
    VciResult code = kVciOk;
    for (int i = 0; i < 100 && code == kVciOk; ++i) {
        code = VciChannelSend(channel, 0, &message);
    }
    EXPECT_EQ(code, kVciErrTxFull);
    EXPECT_EQ(VciChannelSend(channel, 20, &message), kVciErrTxFull);
    std::thread release([] {
        ::usleep(100'000);
        std::system("tc qdisc change dev vcan1 root plug release_indefinite");
    });
    EXPECT_EQ(VciChannelSend(channel, 5000, &message), kVciOk);
    release.join();
    EXPECT_EQ(std::system("tc qdisc del dev vcan1 root"), 0);
}

TEST_F(KernelCan, OwnFrameComesBackFlaggedAndReachesTheOtherNodes) {
    Node other("vcan0");
    ASSERT_TRUE(other.ok());
    VciHandle channel = OpenChannel("vcan0");
    VciHandle second = OpenChannel("vcan0");  // another application on the same interface

    const VciMessage sent = ExtendedMessage(0x18EEFF00, {0x00, 0x00, 0x60, 0x37, 0, 0, 0, 0x80});
    ASSERT_EQ(VciChannelSend(channel, 0, &sent), kVciOk);

    VciMessage copy{};
    ASSERT_EQ(VciChannelRead(channel, 2000, &copy), kVciOk);
    EXPECT_EQ(copy.type, kVciMessageData);
    EXPECT_EQ(copy.flags, 8 | kVciFlagExtended | kVciFlagSelf);
    EXPECT_EQ(copy.identifier, 0x18EEFF00u);
    EXPECT_EQ(0, std::memcmp(copy.data, sent.data, 8));

    VciMessage seen{};
    ASSERT_EQ(VciChannelRead(second, 2000, &seen), kVciOk);
    EXPECT_EQ(seen.flags, 8 | kVciFlagExtended) << "not the second channel's own frame";
    EXPECT_EQ(seen.identifier, 0x18EEFF00u);

    can_frame frame{};
    ASSERT_TRUE(other.Receive(&frame));
    EXPECT_EQ(frame.can_id, 0x18EEFF00u | CAN_EFF_FLAG);
    EXPECT_EQ(frame.len, 8);
    EXPECT_EQ(0, std::memcmp(frame.data, sent.data, 8));

    VciMessage none{};
    EXPECT_EQ(VciChannelRead(channel, 50, &none), kVciErrTimeout) << "one copy only";
}

TEST_F(KernelCan, FrameFromAnotherNodeArrivesUnflagged) {
    Node other("vcan0");
    ASSERT_TRUE(other.ok());
    VciHandle channel = OpenChannel("vcan0");
    ASSERT_TRUE(other.Send(0x00FFF2B1, {0x56}));
    VciMessage got{};
    ASSERT_EQ(VciChannelRead(channel, 2000, &got), kVciOk);
    EXPECT_EQ(got.flags, 1 | kVciFlagExtended);
    EXPECT_EQ(got.identifier, 0x00FFF2B1u);
    EXPECT_EQ(got.data[0], 0x56);
}

// The controller's error frames reach the library as a driver sends them (here written on vcan0
// by another socket) and each change of the bus state is said once on stderr.
TEST_F(KernelCan, BusStateFromErrorFramesIsToldOnStderr) {
    Node driver("vcan0");
    ASSERT_TRUE(driver.ok());
    VciHandle channel = OpenChannel("vcan0");
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(driver.SendError(CAN_ERR_CRTL | CAN_ERR_CNT,
                                 {0, CAN_ERR_CRTL_TX_PASSIVE, 0, 0, 0, 0, 128, 0}));
    ASSERT_TRUE(driver.SendError(CAN_ERR_BUSOFF, {}));
    ASSERT_TRUE(driver.SendError(CAN_ERR_BUSOFF, {}));
    VciMessage got{};
    int errors = 0;
    while (VciChannelRead(channel, 500, &got) == kVciOk) {
        errors += got.type == kVciMessageError;
    }
    const std::string told = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, 3);
    EXPECT_NE(told.find("vci: vcan0: error-passive: many errors on the bus (transmit errors 128"),
              std::string::npos)
        << told;
    const std::size_t off = told.find("vci: vcan0: bus-off:");
    EXPECT_NE(off, std::string::npos) << told;
    EXPECT_EQ(told.find("bus-off:", off + 20), std::string::npos) << "told twice: " << told;
}

// The bootloader echoes each block with the very identifier and bytes the tool sent, so the
// kernel's copy of the tool's own frame is indistinguishable from a reply but for its flag.
TEST_F(KernelCan, OwnCopyIsNeverTakenForAReply) {
    Node bootloader("vcan0");
    ASSERT_TRUE(bootloader.ok());
    VciHandle channel = OpenChannel("vcan0");
    const uint32_t block_id = 0x00FFFFB1 | kCanIdExtended;
    CanFrame block{block_id, 8, {1, 2, 3, 4, 5, 6, 7, 8}};
    CanFrame got{};

    SetReceiveTimeout(100);
    ASSERT_EQ(SendFrame(channel, block), 0u);
    EXPECT_EQ(ReceiveMatching(channel, block_id, 0xFFFFFFFF, got), 0)
        << "the copy of the tool's own block was taken for the echo";

    ASSERT_EQ(SendFrame(channel, block), 0u);
    can_frame heard{};
    ASSERT_TRUE(bootloader.Receive(&heard));
    ASSERT_TRUE(bootloader.Send(heard.can_id & CAN_EFF_MASK,
                                std::vector<uint8_t>(heard.data, heard.data + heard.len)));
    ASSERT_EQ(ReceiveMatching(channel, block_id, 0xFFFFFFFF, got), 1);
    EXPECT_EQ(got.id, block_id);
    EXPECT_EQ(got.length, 8);
    EXPECT_EQ(0, std::memcmp(got.data, block.data, 8));
}

TEST_F(KernelCan, InterfacesAreSeparateBuses) {
    if (::if_nametoindex("vcan1") == 0) {
        GTEST_SKIP() << "needs vcan1";
    }
    Node on_vcan0("vcan0");
    ASSERT_TRUE(on_vcan0.ok());
    VciHandle channel = OpenChannel("vcan1");
    ASSERT_TRUE(on_vcan0.Send(0x18EFC300, {0xE0, 0x14, 0, 1, 0, 0, 0, 0}));
    VciMessage got{};
    EXPECT_EQ(VciChannelRead(channel, 100, &got), kVciErrTimeout);
}

TEST_F(KernelCan, FramesBeyondTheReceiveFifoAreCountedAsLost) {
    Node other("vcan0");
    ASSERT_TRUE(other.ok());
    VciHandle channel = OpenChannel("vcan0");
    constexpr int kSent = 40;  // the FIFO holds 32; the kernel's socket queue holds them all
    for (int i = 0; i < kSent; ++i) {
        ASSERT_TRUE(other.Send(0x0CF00400, {static_cast<uint8_t>(i)}));
    }
    ::usleep(200'000);  // let the kernel deliver them all to the socket

    int data_messages = 0;
    int expected_next = 0;
    VciMessage got{};
    while (VciChannelTake(channel, &got) == kVciOk) {
        if (got.type == kVciMessageData) {
            EXPECT_EQ(got.data[0], expected_next) << "frames out of order";
            ++expected_next;
            ++data_messages;
        }
    }
    EXPECT_LE(data_messages, 32);
    EXPECT_GT(data_messages, 0);
    EXPECT_EQ(VciChannelLostCount(channel), static_cast<uint64_t>(kSent - data_messages));
}

// Last in this file, as tests run in the order written: it takes vcan1 away and puts it back.
TEST_F(KernelCan, InterfaceThatVanishesMakesTheChannelFailAtOnce) {
    if (::if_nametoindex("vcan1") == 0) {
        GTEST_SKIP() << "needs vcan1";
    }
    VciHandle channel = OpenChannel("vcan1");
    ASSERT_EQ(std::system("ip link del vcan1"), 0);
    VciMessage message = ExtendedMessage(0x18EEFF00, {1});
    const VciResult send = VciChannelSend(channel, 0, &message);
    VciMessage got{};
    const VciResult read = VciChannelRead(channel, 5000, &got);
    const bool restored =
        std::system("ip link add dev vcan1 type vcan && ip link set vcan1 up") == 0;
    EXPECT_EQ(send, kVciErrIo);
    EXPECT_EQ(read, kVciErrIo);
    EXPECT_TRUE(restored);
}

}  // namespace
