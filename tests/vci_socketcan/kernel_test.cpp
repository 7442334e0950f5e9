// The module against the running kernel. Where the kernel has no CAN support, everything must
// fail cleanly with a reason; where a vcan0 interface exists (the VM test runs), frames must
// really go round.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "vci/socketcan/socketcan.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/can.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace vci::socketcan {
namespace {

#ifdef __linux__

bool KernelHasCan() {
    int fd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool HasInterface(const char* name) {
    return ::if_nametoindex(name) != 0;
}

TEST(Interfaces, ListsOnlyCanInterfacesSortedWithTheirIndex) {
    const auto list = ListCanInterfaces();
    if (!KernelHasCan()) {
        EXPECT_TRUE(list.empty()) << "no CAN in this kernel, yet " << list.front().name;
    }
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end(),
                               [](const auto& a, const auto& b) { return a.name < b.name; }));
    for (const InterfaceInfo& i : list) {
        EXPECT_NE(i.name, "lo");
        EXPECT_EQ(static_cast<unsigned>(i.index), ::if_nametoindex(i.name.c_str())) << i.name;
        std::string error;
        LinkInfo link;
        ASSERT_TRUE(ReadLink(i.name, &link, &error)) << error;
        EXPECT_EQ(link.type, kArphrdCan) << i.name;
    }
    if (HasInterface("vcan0")) {
        EXPECT_TRUE(
            std::any_of(list.begin(), list.end(), [](const auto& i) { return i.name == "vcan0"; }));
    }
}

// rtnetlink works without CAN in the kernel, so the link queries can be tried on "lo".
TEST(Links, LoopbackIsReadButIsNoCanInterface) {
    std::string error;
    LinkInfo link;
    ASSERT_TRUE(ReadLink("lo", &link, &error)) << error;
    EXPECT_EQ(static_cast<unsigned>(link.index), ::if_nametoindex("lo"));
    EXPECT_EQ(link.type, 772);  // ARPHRD_LOOPBACK
    EXPECT_NE(link.flags & kIffUp, 0u);
    EXPECT_EQ(link.bitrate, 0u);

    uint32_t bitrate = 7;
    error.clear();
    EXPECT_FALSE(ReadBitrate("lo", &bitrate, &error));
    EXPECT_NE(error.find("not a CAN interface"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(SetBitrate("lo", 1000000, &error));
    EXPECT_NE(error.find("not a CAN interface"), std::string::npos) << error;
}

TEST(Links, BadNamesAreRefusedWithAReason) {
    struct Case {
        const char* name;
        const char* reason;
    };
    const Case cases[] = {
        {"nosuchcan7", "no network interface named 'nosuchcan7'"},
        {"", "not a valid network interface name"},
        {"a-name-far-too-long-for-linux", "not a valid network interface name"},
    };
    for (const Case& c : cases) {
        std::string error;
        uint32_t bitrate = 0;
        EXPECT_FALSE(ReadBitrate(c.name, &bitrate, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        error.clear();
        EXPECT_FALSE(SetBitrate(c.name, 1000000, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(SetBitrate("lo", 0, &error));
    EXPECT_FALSE(error.empty());
}

TEST(Sockets, OpenFailsCleanlyWithAReason) {
    const bool has_can = KernelHasCan();
    struct Case {
        const char* name;
        const char* reason_with_can;
    };
    const Case cases[] = {
        {"nosuchcan7", "no network interface named"},
        {"lo", "not a CAN interface"},
        {"", "not a valid network interface name"},
    };
    for (const Case& c : cases) {
        RawSocket sock;
        std::string error;
        EXPECT_FALSE(sock.Open(c.name, &error)) << c.name;
        EXPECT_EQ(sock.fd(), -1) << c.name;
        EXPECT_NE(sock.last_errno(), 0) << c.name;
        const char* reason = has_can ? c.reason_with_can : "no CAN support";
        EXPECT_NE(error.find(reason), std::string::npos) << c.name << ": " << error;
    }
}

TEST(Sockets, ClosedSocketRefusesWork) {
    RawSocket sock;
    std::string error;
    RawFrame frame;
    EXPECT_FALSE(sock.Send(frame, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(sock.last_errno(), EBADF);
    EXPECT_EQ(sock.Receive(&frame, 0), -1);
    EXPECT_EQ(sock.Receive(&frame, 1000), -1);
}

// ---- with a real vcan0 (the VM runs); skipped elsewhere ----

class Vcan : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!KernelHasCan() || !HasInterface("vcan0")) {
            GTEST_SKIP() << "needs a kernel with CAN and a vcan0 interface";
        }
        std::string error;
        ASSERT_TRUE(a_.Open("vcan0", &error)) << error;
        ASSERT_TRUE(b_.Open("vcan0", &error)) << error;
    }

    // Generous safety net for frames that must come; never a speed claim.
    static constexpr int64_t kWait = 2'000'000;

    RawSocket a_, b_;
};

TEST_F(Vcan, VirtualInterfaceHasNoBitrate) {
    std::string error;
    uint32_t bitrate = 7;
    ASSERT_TRUE(ReadBitrate("vcan0", &bitrate, &error)) << error;
    EXPECT_EQ(bitrate, 0u);
    LinkInfo link;
    ASSERT_TRUE(ReadLink("vcan0", &link, &error)) << error;
    EXPECT_EQ(link.kind, "vcan");
    EXPECT_FALSE(SetBitrate("vcan0", 1000000, &error));
    EXPECT_NE(error.find("virtual"), std::string::npos) << error;
}

TEST_F(Vcan, OwnEchoAndOtherSocketSeeTheFrame) {
    RawFrame ext;
    ext.id = 0x18EEFFB1;
    ext.extended = true;
    ext.length = 8;
    for (uint8_t i = 0; i < 8; ++i) {
        ext.data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    RawFrame std11;
    std11.id = 0x7E5;
    std11.length = 2;
    std11.data[0] = 1;
    std11.data[1] = 2;
    RawFrame rtr;
    rtr.id = 0x12345;
    rtr.extended = true;
    rtr.remote = true;
    rtr.length = 4;
    RawFrame empty;
    empty.id = 0x00FFF2B1;
    empty.extended = true;

    for (const RawFrame& sent : {ext, std11, rtr, empty}) {
        std::string error;
        ASSERT_TRUE(a_.Send(sent, &error)) << error;
        for (RawSocket* sock : {&a_, &b_}) {
            RawFrame got;
            ASSERT_EQ(sock->Receive(&got, kWait), 1);
            EXPECT_EQ(got.own, sock == &a_) << std::hex << sent.id;
            EXPECT_EQ(got.id, sent.id);
            EXPECT_EQ(got.extended, sent.extended);
            EXPECT_EQ(got.remote, sent.remote);
            EXPECT_FALSE(got.error);
            EXPECT_EQ(got.length, sent.length);
            if (!sent.remote) {
                EXPECT_EQ(0, std::memcmp(got.data, sent.data, sent.length));
            }
        }
    }
    RawFrame none;
    EXPECT_EQ(a_.Receive(&none, 0), 0);
    EXPECT_EQ(b_.Receive(&none, 20'000), 0);
}

TEST_F(Vcan, LengthAboveEightIsRefused) {
    RawFrame frame;
    frame.id = 0x100;
    frame.length = 9;
    std::string error;
    EXPECT_FALSE(a_.Send(frame, &error));
    EXPECT_EQ(a_.last_errno(), EINVAL);
    RawFrame none;
    EXPECT_EQ(b_.Receive(&none, 20'000), 0) << "a refused frame reached the bus";
}

TEST_F(Vcan, OverflowIsCounted) {
    // Shrink b's receive buffer to the kernel's minimum, then flood it.
    int size = 0;
    ASSERT_EQ(::setsockopt(b_.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size), 0);
    RawFrame frame;
    frame.id = 0x1;
    frame.extended = true;
    frame.length = 8;
    int sent = 0;
    for (int i = 0; i < 500; ++i) {
        std::string error;
        if (a_.Send(frame, &error)) {
            ++sent;
        }
    }
    ASSERT_GT(sent, 100);
    RawFrame got;
    int received = 0;
    while (b_.Receive(&got, 0) == 1) {
        ++received;
    }
    ASSERT_GT(received, 0);
    ASSERT_LT(received, sent);
    // Each frame carries the count as it stood when the frame was queued, so the frames that
    // filled the queue before the losses say nothing; the next one tells all.
    std::string error;
    ASSERT_TRUE(a_.Send(frame, &error)) << error;
    ASSERT_EQ(b_.Receive(&got, kWait), 1);
    EXPECT_EQ(b_.dropped(), static_cast<uint32_t>(sent - received));
}

// A serial-line CAN interface on a pseudo terminal is a real CAN device with bit timing, the
// nearest thing to hardware that a VM offers. Needs root and the kernel's slcan driver.
class SerialLineCan : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0) {
            GTEST_SKIP() << "no pseudo terminals (is devpts mounted?): " << std::strerror(errno);
        }
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        slave_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        const int kSlcanDiscipline = 17;
        if (::ioctl(slave_, TIOCSETD, &kSlcanDiscipline) != 0) {
            GTEST_SKIP() << "no serial-line CAN here: " << std::strerror(errno);
        }
        char name[IFNAMSIZ] = {};
        ASSERT_EQ(::ioctl(slave_, SIOCGIFNAME, name), 0);
        name_ = name;
        // The adapter's side: take every command the driver writes, as the adapter would.
        termios raw{};
        ASSERT_EQ(::tcgetattr(master_, &raw), 0);
        ::cfmakeraw(&raw);
        ASSERT_EQ(::tcsetattr(master_, TCSANOW, &raw), 0);
        adapter_ = std::thread([this] {
            while (!stop_) {
                pollfd p{master_, POLLIN, 0};
                if (::poll(&p, 1, 20) == 1) {
                    char buffer[256];
                    ssize_t n = ::read(master_, buffer, sizeof buffer);
                    if (n > 0) {
                        std::lock_guard lock(mutex_);
                        commands_.append(buffer, static_cast<size_t>(n));
                    }
                }
            }
        });
    }
    void TearDown() override {
        stop_ = true;
        if (adapter_.joinable()) {
            adapter_.join();
        }
        if (slave_ >= 0) {
            ::close(slave_);  // removes the interface
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }

    uint32_t Bitrate() {
        uint32_t bitrate = 0;
        std::string error;
        EXPECT_TRUE(ReadBitrate(name_, &bitrate, &error)) << error;
        return bitrate;
    }
    bool IsUp() {
        LinkInfo link;
        std::string error;
        EXPECT_TRUE(ReadLink(name_, &link, &error)) << error;
        return (link.flags & kIffUp) != 0;
    }

    // The commands the adapter has been sent so far, taken out.
    std::string TakeCommands() {
        std::lock_guard lock(mutex_);
        return std::exchange(commands_, {});
    }

    int master_ = -1;
    int slave_ = -1;
    std::string name_;
    std::thread adapter_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string commands_;
};

TEST_F(SerialLineCan, SetBitrateTakesTheLinkDownSetsAndBringsItUp) {
    LinkInfo link;
    std::string error;
    ASSERT_TRUE(ReadLink(name_, &link, &error)) << error;
    EXPECT_EQ(link.type, kArphrdCan);
    EXPECT_EQ(link.kind, "can");
    const auto list = ListCanInterfaces();
    EXPECT_TRUE(
        std::any_of(list.begin(), list.end(), [&](const auto& i) { return i.name == name_; }));

    // The driver tells the adapter its rate on opening: "S8" is 1 Mbit/s, "S6" 500 kbit/s.
    ASSERT_TRUE(SetBitrate(name_, 1000000, &error)) << error;  // from down
    EXPECT_EQ(Bitrate(), 1000000u);
    EXPECT_TRUE(IsUp());
    EXPECT_NE(TakeCommands().find("S8\r"), std::string::npos);
    ASSERT_TRUE(SetBitrate(name_, 1000000, &error)) << error;  // already so: nothing to do
    ASSERT_TRUE(SetBitrate(name_, 500000, &error)) << error;   // from up
    EXPECT_EQ(Bitrate(), 500000u);
    EXPECT_TRUE(IsUp());
    EXPECT_NE(TakeCommands().find("S6\r"), std::string::npos);

    error.clear();
    EXPECT_FALSE(SetBitrate(name_, 123456, &error));  // not one of the device's rates
    EXPECT_NE(error.find("123456"), std::string::npos) << error;
    EXPECT_EQ(Bitrate(), 500000u);
    EXPECT_TRUE(IsUp()) << "a failed change must leave the link as it was";
}

#endif  // __linux__

}  // namespace
}  // namespace vci::socketcan
