// The library over a serial-line CAN adapter: a pseudo terminal whose master side the test
// drives as the adapter, answering commands as each case says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can/can_library.h"
#include "vci/discovery.h"
#include "vci/slcan/session.h"
#include "vci/vci_diagnostics.h"

namespace {

using namespace std::chrono_literals;

// The adapter's side: answers each command line from `answers` (`other` when not listed; "" for
// silence), a frame line with `send_answer`, each answer only after `delay` (as an adapter on a
// busy machine, or behind a slow link), and records every line it got.
class FakeAdapter {
  public:
    FakeAdapter() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ::grantpt(master_);
        ::unlockpt(master_);
        path_ = ::ptsname(master_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeAdapter() {
        stop_ = true;
        thread_.join();
        Pull();
    }
    void Pull() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }
    void Inject(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // The lines that it got last, once they are `expected` (or after 5 s: the adapter's thread
    // may lag behind the library).
    std::vector<std::string> LastLines(const std::vector<std::string>& expected) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            const std::vector<std::string> got = lines();
            std::vector<std::string> last(
                got.end() - static_cast<long>(std::min(got.size(), expected.size())), got.end());
            if (last == expected || std::chrono::steady_clock::now() > deadline) {
                return last;
            }
            std::this_thread::sleep_for(1ms);
        }
    }
    const std::string& path() const { return path_; }

    std::map<std::string, std::string> answers;
    std::string other = "\r";
    std::string send_answer = "\r";
    std::chrono::milliseconds delay{0};

  private:
    void Serve() {
        std::string line;
        while (!stop_) {
            pollfd fd{master_, POLLIN, 0};
            char c;
            if (::poll(&fd, 1, 5) <= 0 || (fd.revents & POLLIN) == 0 ||
                ::read(master_, &c, 1) != 1) {
                std::this_thread::sleep_for(1ms);  // no slave open: the master reads EIO
                continue;
            }
            if (c != '\r') {
                line += c;
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
            }
            const bool frame =
                !line.empty() && std::string("TtRr").find(line[0]) != std::string::npos;
            const auto it = answers.find(line);
            const std::string answer = frame                 ? send_answer
                                       : it != answers.end() ? it->second
                                                             : other;
            if (!answer.empty()) {
                std::this_thread::sleep_for(delay);
                [[maybe_unused]] const ssize_t n = ::write(master_, answer.data(), answer.size());
            }
            line.clear();
        }
    }

    int master_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

class SlcanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("KORVANE_SLCAN_PORTS", adapter_.path().c_str(), 1);
        vci::ForgetDevices();
    }
    void TearDown() override {
        if (channel_ != nullptr) {
            VciChannelClose(channel_);
        }
        if (controller_ != nullptr) {
            VciControllerClose(controller_);
        }
        ::unsetenv("KORVANE_SLCAN_PORTS");
    }

    // The adapter's entry in the device list.
    VciDeviceInfo Listed() {
        VciHandle list = nullptr;
        EXPECT_EQ(VciDeviceListOpen(&list), kVciOk);
        VciDeviceInfo info{}, found{};
        while (VciDeviceListNext(list, &info) == kVciOk) {
            if (info.kind == kVciDeviceSlcan) {
                found = info;
            }
        }
        VciDeviceListClose(list);
        return found;
    }

    // The loader's steps; the controller's codes are returned, the rest must succeed. As the
    // loader, it stops when the controller fails.
    std::pair<VciResult, VciResult> Open() {
        const VciDeviceInfo info = Listed();
        EXPECT_EQ(VciDeviceOpenById(&info.id, &device_), kVciOk);
        EXPECT_EQ(VciControllerOpen(device_, 0, &controller_), kVciOk);
        const VciResult init = VciControllerInit(controller_, 7, 0x00, 0x14);
        const VciResult start = init == kVciOk ? VciControllerStart(controller_, 1) : init;
        if (start != kVciOk) {
            return {init, start};
        }
        EXPECT_EQ(VciChannelOpen(device_, 0, 0, &channel_), kVciOk);
        EXPECT_EQ(VciChannelInit(channel_, 32, 1, 128, 128), kVciOk);
        EXPECT_EQ(VciChannelActivate(channel_, 1), kVciOk);
        return {init, start};
    }

    std::vector<VciMessage> ReadAll(std::chrono::milliseconds quiet = 50ms) {
        std::vector<VciMessage> got;
        VciMessage message{};
        while (VciChannelRead(channel_, static_cast<uint32_t>(quiet.count()), &message) == kVciOk) {
            got.push_back(message);
        }
        return got;
    }

    FakeAdapter adapter_;
    VciHandle device_ = nullptr;
    VciHandle controller_ = nullptr;
    VciHandle channel_ = nullptr;
};

TEST_F(SlcanTest, ListedWithVersionAndSerialOnceOpened) {
    adapter_.answers = {{"V", "V1013\r"}, {"N", "NA7K2\r"}};
    const std::uint64_t opens = vci::SlcanPortOpens();
    const VciDeviceInfo info = Listed();
    ASSERT_EQ(info.kind, kVciDeviceSlcan);
    EXPECT_EQ(info.id.bytes[2], kVciDeviceSlcan);
    EXPECT_EQ(std::string(info.name), adapter_.path().substr(adapter_.path().rfind('/') + 1));
    // Listing asks the adapter nothing.
    EXPECT_EQ(std::string(info.description), "SLCAN adapter on " + adapter_.path());
    ASSERT_EQ(Open().second, kVciOk);
    vci::ForgetDevices();
    const VciDeviceInfo opened = Listed();
    EXPECT_EQ(std::string(opened.description),
              "SLCAN adapter on " + adapter_.path() + ", version 1013, serial A7K2");
    // Same port, same identifier, for the life of the process; one port open for the run.
    EXPECT_EQ(std::memcmp(opened.id.bytes, info.id.bytes, 8), 0);
    EXPECT_EQ(vci::SlcanPortOpens() - opens, 1u);
    const std::vector<std::string> lines = adapter_.lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "N"), 1);
}

TEST_F(SlcanTest, OpenSequenceAndRefusals) {
    struct Case {
        std::map<std::string, std::string> answers;
        std::string other;  // the answer to every command not in `answers`
        int delay_ms;       // before each answer
        VciResult init, start;
    };
    const std::map<std::string, std::string> free_text_v = {{"V", "SL fw 2.4 built Jan 1\r"}};
    const std::vector<Case> cases = {
        {{}, "\r", 0, kVciOk, kVciOk},
        {{{"C", "\a"}, {"Z0", "\a"}}, "\r", 0, kVciOk, kVciOk},  // tolerated refusals
        {{{"S8", "\a"}}, "\r", 0, kVciErrNotSupported, kVciErrNotSupported},
        {{{"O", "\a"}}, "\r", 0, kVciOk, kVciErrIo},
        {free_text_v, "", 0, kVciOk, kVciOk},  // answers V alone, as most firmwares
        {{}, "", 0, kVciOk, kVciOk},           // answers nothing at all
        // Late answers (each 200 ms, 600 ms in all before the first `V` is answered) are taken
        // for their own commands: a refusal fails the step of the command refused.
        {{{"S8", "\a"}}, "\r", 200, kVciErrNotSupported, kVciErrNotSupported},
        {{{"O", "\a"}, {"V", "SL fw 2.4\r"}}, "", 200, kVciOk, kVciErrIo},
        {free_text_v, "", 200, kVciOk, kVciOk},
    };
    for (const Case& c : cases) {
        FakeAdapter adapter;
        adapter.answers = c.answers;
        adapter.other = c.other;
        adapter.delay = std::chrono::milliseconds(c.delay_ms);
        ::setenv("KORVANE_SLCAN_PORTS", adapter.path().c_str(), 1);
        ::testing::internal::CaptureStderr();
        const auto began = std::chrono::steady_clock::now();
        const auto [init, start] = Open();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - began);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        SCOPED_TRACE(&c - cases.data());
        std::printf("case %d: opened in %lld ms\n", static_cast<int>(&c - cases.data()),
                    static_cast<long long>(took.count()));
        EXPECT_EQ(init, c.init) << printed;
        EXPECT_EQ(start, c.start) << printed;
        EXPECT_EQ(printed.empty(), c.init == kVciOk && c.start == kVciOk) << printed;
        if (c.answers == free_text_v && c.delay_ms == 0) {
            EXPECT_LT(took, 200ms);  // no wait of its own for each unanswered command
        }
        if (channel_ != nullptr) {
            VciChannelClose(channel_);
        }
        VciControllerClose(controller_);
        channel_ = controller_ = nullptr;
        // The whole conversation, and never an empty line: the port was opened once. Each group
        // of commands ends with `V` while the adapter answers it.
        const bool answers_v = !c.other.empty() || c.answers.count("V") != 0;
        std::vector<std::string> expected = {"C", "N", "V", "S8", "Z0"};
        if (answers_v) {
            expected.push_back("V");
        }
        if (c.init == kVciOk) {
            expected.push_back("O");
            if (answers_v) {
                expected.push_back("V");
            }
        }
        expected.push_back("C");
        EXPECT_EQ(adapter.LastLines(expected), expected);
        EXPECT_EQ(adapter.lines().size(), expected.size());
    }
}

// Another program's port is left as it was, and the refusal names it.
TEST_F(SlcanTest, PortHeldByAnotherProgramIsRefused) {
    const int other = ::open(adapter_.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::testing::internal::CaptureStderr();
    const VciResult init = Open().first;
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(init, kVciErrIo);
    EXPECT_NE(printed.find(adapter_.path() + ": in use by another program"), std::string::npos)
        << printed;
    int exclusive = 1;
    EXPECT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    ::close(other);
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(adapter_.lines().empty());
}

TEST_F(SlcanTest, SendAnswersAreNeverFrames) {
    for (const std::string answer : {"Z\r", "z\r", "\r", ""}) {
        FakeAdapter adapter;
        adapter.send_answer = answer;
        ::setenv("KORVANE_SLCAN_PORTS", adapter.path().c_str(), 1);
        ASSERT_EQ(Open().second, kVciOk);
        VciMessage message{};
        message.identifier = 0x18EFB100;
        message.flags = kVciFlagExtended | 3;
        message.data[0] = 0xAB;
        ASSERT_EQ(VciChannelSend(channel_, 0, &message), kVciOk);
        message.identifier = 0x123;
        message.flags = 0;
        ASSERT_EQ(VciChannelSend(channel_, 0, &message), kVciOk);
        adapter.Inject("t7FF10F\r");
        const std::vector<VciMessage> got = ReadAll();
        ASSERT_EQ(got.size(), 3u) << "answer " << int(answer.empty() ? 0 : answer[0]);
        EXPECT_EQ(got[0].flags, kVciFlagSelf | kVciFlagExtended | 3);
        EXPECT_EQ(got[1].flags, kVciFlagSelf);
        EXPECT_EQ(got[2].identifier, 0x7FFu);
        const std::vector<std::string> sent = {"T18EFB1003AB0000", "t1230"};
        EXPECT_EQ(adapter.LastLines(sent), sent);
        VciChannelClose(channel_);
        VciControllerClose(controller_);
        channel_ = controller_ = nullptr;
    }
}

TEST_F(SlcanTest, ReceivesFramesAndSkipsTheRest) {
    ASSERT_EQ(Open().second, kVciOk);
    ::testing::internal::CaptureStderr();
    // Time stamps or none, 11 and 29 bits, a remote frame; a BEL, unknown and malformed lines
    // and an over-long one between them; one frame arrives in two pieces.
    adapter_.Inject("T1ABCDEF12A0B1\rt12300000\r\aX99\rT1234\rt1231AAZZ\r" + std::string(200, '7') +
                    "\rr7002EA60\rT000000");
    const std::vector<VciMessage> first = ReadAll();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].identifier, 0x1ABCDEF1u);
    EXPECT_EQ(first[0].flags, kVciFlagExtended | 2);
    EXPECT_EQ(first[0].data[1], 0xB1);
    EXPECT_EQ(first[1].identifier, 0x123u);
    EXPECT_EQ(first[1].flags, 0);
    EXPECT_EQ(first[2].identifier, 0x700u);
    EXPECT_EQ(first[2].flags, kVciFlagRemote | 2);
    adapter_.Inject("01100\r");
    const std::vector<VciMessage> got = ReadAll();
    const std::string printed = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].identifier, 1u);
    EXPECT_EQ(got[0].flags, kVciFlagExtended | 1);
    EXPECT_NE(printed.find("refused a frame (BEL)"), std::string::npos) << printed;
}

TEST_F(SlcanTest, PulledAdapterEndsTheChannelAndOpensAgainPluggedBack) {
    // The port by a link, as /dev/serial/by-id/ names a stick wherever it is plugged in.
    const std::string link = ::testing::TempDir() + "slcan-test-link";
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(adapter_.path().c_str(), link.c_str()), 0);
    ::setenv("KORVANE_SLCAN_PORTS", link.c_str(), 1);
    ASSERT_EQ(Open().second, kVciOk);
    VciMessage message{};
    message.flags = 1;
    ASSERT_EQ(VciChannelSend(channel_, 0, &message), kVciOk);
    adapter_.Pull();
    ::testing::internal::CaptureStderr();
    VciMessage got{};
    EXPECT_EQ(VciChannelRead(channel_, 1000, &got), kVciOk);  // the own copy, from the FIFO
    EXPECT_EQ(VciChannelRead(channel_, 60000, &got), kVciErrIo);
    EXPECT_EQ(VciChannelTake(channel_, &got), kVciErrIo);
    EXPECT_EQ(VciChannelSend(channel_, 0, &message), kVciErrIo);
    const std::string printed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("vci: "), std::string::npos) << printed;
    // Plugged back in, in the same run: the channel deactivated and activated again connects
    // anew, and the adapter is set up and its CAN channel opened as the controller did before.
    FakeAdapter plugged;
    plugged.answers = {{"V", "V2000\r"}};
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink(plugged.path().c_str(), link.c_str()), 0);
    ASSERT_EQ(VciChannelActivate(channel_, 0), kVciOk);
    ASSERT_EQ(VciChannelActivate(channel_, 1), kVciOk);
    const std::vector<std::string> set_up = {"C", "N", "V", "S8", "Z0", "V", "O", "V"};
    EXPECT_EQ(plugged.LastLines(set_up), set_up);
    ASSERT_EQ(VciChannelSend(channel_, 0, &message), kVciOk);
    EXPECT_EQ(plugged.LastLines({"t000100"}), std::vector<std::string>{"t000100"});
    // The controller's stop reaches the adapter plugged in now.
    ASSERT_EQ(VciControllerStart(controller_, 0), kVciOk);
    EXPECT_EQ(plugged.LastLines({"C", "V"}), (std::vector<std::string>{"C", "V"}));
    vci::ForgetDevices();
    EXPECT_EQ(std::string(Listed().description), "SLCAN adapter on " + link + ", version 2000");
    ::unlink(link.c_str());
}

}  // namespace
