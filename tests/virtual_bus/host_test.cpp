// The bus host with real clients over TCP on 127.0.0.1. Every host takes the first free port, so
// these tests run beside other hosts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/socket.h"
#include "virtual_bus/bit_timing.h"
#include "virtual_bus/bus_client.h"
#include "virtual_bus/bus_host.h"

namespace vbus {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kSafetyUs = 5'000'000;  // bound on every wait: a net, not a speed

Frame MakeFrame(std::uint32_t id, bool extended, std::uint8_t length, std::uint8_t fill) {
    Frame frame;
    frame.id = id;
    frame.extended = extended;
    frame.length = length;
    for (std::uint8_t i = 0; i < length; ++i) {
        frame.data[i] = static_cast<std::uint8_t>(fill + i);
    }
    return frame;
}

// Receives until `count` frames have arrived or the safety bound passes.
std::vector<Frame> ReceiveCount(BusClient& client, std::size_t count) {
    std::vector<Frame> frames;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kSafetyUs);
    while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (!client.Receive(frames, 100'000)) {
            break;
        }
    }
    return frames;
}

class HostTest : public ::testing::Test {
  protected:
    void StartHost(HostOptions options = {}) {
        options.log = &log_;
        host_ = std::make_unique<BusHost>(options);
        std::string error;
        ASSERT_TRUE(host_->Start(&error)) << error;
    }
    void Join(BusClient& client) {
        std::string error;
        ASSERT_TRUE(client.Connect("127.0.0.1", host_->port(), "", &error)) << error;
    }
    // A client that speaks the protocol byte by byte, for what BusClient never sends.
    base::net::Socket RawConnect() {
        base::net::Socket socket;
        std::string error;
        EXPECT_EQ(base::net::ConnectTcp("127.0.0.1", host_->port(), 2000, &socket, &error),
                  base::net::ConnectStatus::kOk)
            << error;
        return socket;
    }
    static void RawSend(const base::net::Socket& socket, const std::string& text) {
        ASSERT_EQ(base::net::Send(socket, text.data(), text.size()).bytes, text.size());
    }
    // Reads until `expected` elements ("<...>") have come, or the safety bound.
    static std::string RawReadElements(const base::net::Socket& socket, int expected) {
        std::string text;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::microseconds(kSafetyUs);
        while (std::count(text.begin(), text.end(), '>') < expected &&
               std::chrono::steady_clock::now() < deadline) {
            std::vector<base::net::PollEntry> entries{{socket.get(), true, false}};
            base::net::Poll(entries, 100'000);
            char buffer[4096];
            const base::net::IoResult result = base::net::Receive(socket, buffer, sizeof buffer);
            if (result.status == base::net::IoStatus::kOk) {
                text.append(buffer, result.bytes);
            } else if (result.status != base::net::IoStatus::kWouldBlock) {
                break;
            }
        }
        return text;
    }

    std::ostringstream log_;  // read only after the host has stopped
    std::unique_ptr<BusHost> host_;
};

TEST_F(HostTest, ServesTheFirstFreePortUnderItsDefaultName) {
    StartHost();
    EXPECT_GE(host_->port(), kFirstPort);
    EXPECT_LT(host_->port(), kFirstPort + kPortCount);
    EXPECT_EQ(host_->bus_name(), "sim" + std::to_string(host_->port() - kFirstPort));
    EXPECT_TRUE(ProbeHost(host_->port(), 1000));

    // A second host on the same port is refused with a reason.
    HostOptions taken;
    taken.port = host_->port();
    BusHost second(taken);
    std::string error;
    EXPECT_FALSE(second.Start(&error));
    EXPECT_NE(error.find(std::to_string(host_->port())), std::string::npos) << error;
}

TEST_F(HostTest, DeliversToEveryOtherClientInOneOrder) {
    StartHost();
    BusClient a, b, watcher;
    Join(a);
    Join(b);
    Join(watcher);
    // Two senders interleave 200 frames each; identifier bit 16 tells the sender, the low bits
    // the sequence number.
    constexpr std::uint32_t kEach = 200;
    std::thread sender_b([&] {
        for (std::uint32_t i = 0; i < kEach; ++i) {
            ASSERT_TRUE(b.Send(MakeFrame(0x10000 | i, true, 8, static_cast<std::uint8_t>(i))));
        }
    });
    for (std::uint32_t i = 0; i < kEach; ++i) {
        ASSERT_TRUE(a.Send(MakeFrame(i, true, static_cast<std::uint8_t>(i % 9), 0x40)));
    }
    sender_b.join();

    const std::vector<Frame> all = ReceiveCount(watcher, 2 * kEach);
    const std::vector<Frame> at_a = ReceiveCount(a, kEach);
    const std::vector<Frame> at_b = ReceiveCount(b, kEach);
    ASSERT_EQ(all.size(), 2 * kEach);
    std::vector<Frame> from_a, from_b;
    for (const Frame& frame : all) {
        ((frame.id & 0x10000) ? from_b : from_a).push_back(frame);
    }
    // Each sender's frames in the order sent, intact...
    ASSERT_EQ(from_a.size(), kEach);
    for (std::uint32_t i = 0; i < kEach; ++i) {
        EXPECT_EQ(from_a[i], MakeFrame(i, true, static_cast<std::uint8_t>(i % 9), 0x40));
        EXPECT_EQ(from_b[i].id, 0x10000 | i);
    }
    // ...and no sender gets its own frames back: each sees exactly the other's.
    EXPECT_EQ(at_a, from_b);
    EXPECT_EQ(at_b, from_a);
    std::vector<Frame> more;
    EXPECT_TRUE(a.Receive(more, 0));
    EXPECT_TRUE(more.empty());
    EXPECT_EQ(host_->stats().frames, 2 * kEach);
    EXPECT_EQ(host_->stats().clients, 3u);
}

TEST_F(HostTest, HandshakeRefusesAnotherBusName) {
    StartHost();
    BusClient client;
    std::string error;
    EXPECT_FALSE(client.Connect("127.0.0.1", host_->port(), "can7", &error));
    EXPECT_NE(error.find("can7"), std::string::npos) << error;
    EXPECT_FALSE(client.connected());

    // The same connection may then open the right bus.
    base::net::Socket raw = RawConnect();
    EXPECT_EQ(RawReadElements(raw, 1), "< hi >");
    RawSend(raw, "< send 123 0 >");  // before open: refused
    EXPECT_EQ(RawReadElements(raw, 1).rfind("< error ", 0), 0u);
    RawSend(raw, "< open wrong >");
    EXPECT_EQ(RawReadElements(raw, 1).rfind("< error ", 0), 0u);
    RawSend(raw, "< open " + host_->bus_name() + " >");
    EXPECT_EQ(RawReadElements(raw, 1), "< ok >");
    RawSend(raw, "< rawmode >");
    EXPECT_EQ(RawReadElements(raw, 1), "< ok >");
}

TEST_F(HostTest, RefusesBadInputWithoutHarmToOthers) {
    StartHost();
    BusClient sender, receiver;
    Join(sender);
    Join(receiver);
    base::net::Socket raw = RawConnect();
    RawReadElements(raw, 1);
    RawSend(raw, "< open " + host_->bus_name() + " >");
    RawReadElements(raw, 1);
    RawSend(raw, "< rawmode >");
    RawReadElements(raw, 1);

    const std::vector<std::string> bad = {"garbage\n", "< send 123 9 >",
                                          "< " + std::string(5000, 'x') + " >", "< frame 1 >",
                                          "< send 123 1 01 02 >"};
    for (const std::string& text : bad) {
        RawSend(raw, text);
    }
    // One error element per refused piece, and the host still takes good frames from it.
    const std::string replies = RawReadElements(raw, static_cast<int>(bad.size()));
    EXPECT_EQ(std::count(replies.begin(), replies.end(), '<'), static_cast<long>(bad.size()))
        << replies;
    RawSend(raw, "< send 18EEFF00 2 ab cd >");
    std::vector<Frame> got = ReceiveCount(receiver, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Frame{0x18EEFF00, true, 2, {0xAB, 0xCD}}));
    const Frame good = MakeFrame(0x123, false, 1, 7);
    ASSERT_TRUE(sender.Send(good));
    got = ReceiveCount(receiver, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], good);
    EXPECT_EQ(host_->stats().refused_lines, bad.size());
}

TEST_F(HostTest, ClientLeavingMidElementLeavesTheBusRunning) {
    StartHost();
    BusClient sender, receiver;
    Join(sender);
    Join(receiver);
    {
        base::net::Socket raw = RawConnect();
        RawReadElements(raw, 1);
        RawSend(raw, "< open " + host_->bus_name() + " >");
        RawReadElements(raw, 1);
        RawSend(raw, "< rawmode >");
        RawReadElements(raw, 1);
        RawSend(raw, "< send 18EEFF00 8 01 02");
    }  // closed here, in the middle of the element
    const Frame frame = MakeFrame(0x18EFC300, true, 8, 1);
    ASSERT_TRUE(sender.Send(frame));
    const std::vector<Frame> got = ReceiveCount(receiver, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], frame);
    host_->Stop();
    EXPECT_NE(log_.str().find("left in the middle of an element"), std::string::npos) << log_.str();
}

TEST_F(HostTest, DropsAClientThatStopsReading) {
    StartHost();
    BusClient sender;
    Join(sender);
    base::net::Socket sleeper = RawConnect();  // completes the handshake, then reads nothing
    RawReadElements(sleeper, 1);
    RawSend(sleeper, "< open " + host_->bus_name() + " >");
    RawReadElements(sleeper, 1);
    RawSend(sleeper, "< rawmode >");
    RawReadElements(sleeper, 1);

    // Each frame costs the sleeper about 55 bytes; its socket buffers and the host's 1 MiB
    // limit fill well within 400000 frames.
    const Frame frame = MakeFrame(0x18EEFF00, true, 8, 0);
    for (int i = 0; i < 400000 && host_->stats().dropped_clients == 0; ++i) {
        ASSERT_TRUE(sender.Send(frame));
    }
    EXPECT_EQ(host_->stats().dropped_clients, 1u);
    // The sender is still served: a newcomer gets its next frame (after any of the flood that
    // the host had not yet passed on).
    BusClient late;
    Join(late);
    const Frame marker = MakeFrame(0x1ABCDEF, true, 1, 0x5A);
    ASSERT_TRUE(sender.Send(marker));
    std::vector<Frame> got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kSafetyUs);
    while (std::find(got.begin(), got.end(), marker) == got.end() &&
           std::chrono::steady_clock::now() < deadline && late.Receive(got, 100'000)) {
    }
    EXPECT_NE(std::find(got.begin(), got.end(), marker), got.end());
}

// A client that sends junk and never reads: its error replies are bounded like frames (it is
// dropped), and the log names a few of its refusals per second, not each one.
TEST_F(HostTest, DropsAClientThatSendsJunkAndNeverReads) {
    StartHost();
    base::net::Socket junk = RawConnect();
    std::string chunk(32768, ' ');
    for (std::size_t i = 0; i < chunk.size(); i += 2) {
        chunk[i] = 'x';  // "x " costs a 25-byte reply
    }
    const auto start = std::chrono::steady_clock::now();
    for (base::net::IoStatus sent = base::net::IoStatus::kOk;
         (sent == base::net::IoStatus::kOk || sent == base::net::IoStatus::kWouldBlock) &&
         host_->stats().dropped_clients == 0 && std::chrono::steady_clock::now() - start < 20s;) {
        std::vector<base::net::PollEntry> entries{{junk.get(), false, true}};
        base::net::Poll(entries, 100'000);
        sent = base::net::Send(junk, chunk.data(), chunk.size()).status;
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    EXPECT_EQ(host_->stats().dropped_clients, 1u);
    EXPECT_LE(host_->stats().peak_backlog, kMaxClientBacklog);
    host_->Stop();
    const std::string log = log_.str();
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 10 * (seconds.count() + 2));
    EXPECT_NE(log.find("more notices suppressed"), std::string::npos);
}

TEST_F(HostTest, TraceHasOneCandumpLinePerFrame) {
    const std::string path = ::testing::TempDir() + "vbus_trace_" + std::to_string(::getpid());
    HostOptions options;
    options.trace_path = path;
    StartHost(options);
    BusClient sender, receiver;
    Join(sender);
    Join(receiver);
    const std::vector<Frame> frames = {
        Frame{0x18EEFF00, true, 8, {0x00, 0x00, 0x60, 0x37, 0x00, 0x00, 0x00, 0x80}},
        Frame{0x0CEFC300, true, 3, {0xE0, 0x14, 0xAB}},
        Frame{0x7FF, false, 0, {}},
        Frame{0x00000005, true, 1, {0x0F}},
    };
    for (const Frame& frame : frames) {
        ASSERT_TRUE(sender.Send(frame));
    }
    ASSERT_EQ(ReceiveCount(receiver, frames.size()).size(), frames.size());
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();

    // Read while the host still runs: the trace is written out when a client leaves (and at
    // most 100 ms after a frame), not per frame.
    sender.Close();
    std::vector<std::string> lines;
    for (int attempt = 0; attempt < 100 && lines.size() < frames.size(); ++attempt) {
        std::this_thread::sleep_for(10ms);
        lines.clear();
        std::ifstream file(path);
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
    }
    const std::regex pattern(R"(\((\d+)\.(\d{6})\) (\S+) ([0-9A-F]{3}|[0-9A-F]{8})#([0-9A-F]*))");
    const std::vector<std::string> expected_tail = {"18EEFF00#0000603700000080", "0CEFC300#E014AB",
                                                    "7FF#", "00000005#0F"};
    ASSERT_EQ(lines.size(), frames.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, pattern)) << lines[i];
        EXPECT_LE(std::abs(std::stoll(match[1]) - now), 60) << lines[i];
        EXPECT_EQ(match[3].str(), host_->bus_name());
        EXPECT_EQ(match[4].str() + "#" + match[5].str(), expected_tail[i]);
    }
    host_->Stop();
    std::remove(path.c_str());
}

TEST_F(HostTest, BitTimingHoldsEachFrameForItsLength) {
    HostOptions options;
    options.bit_timing = true;
    StartHost(options);
    BusClient sender, receiver;
    Join(sender);
    Join(receiver);
    std::vector<Frame> frames;
    std::int64_t bits = 0;
    for (std::uint8_t i = 0; i < 50; ++i) {
        frames.push_back(MakeFrame(0x18EEFF00u + i, true, 8, i));
        bits += FrameBitLength(frames.back());
    }
    const auto start = std::chrono::steady_clock::now();
    for (const Frame& frame : frames) {
        ASSERT_TRUE(sender.Send(frame));
    }
    const std::vector<Frame> got = ReceiveCount(receiver, frames.size());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(got, frames);
    // The last frame cannot end before all their bits have gone at one bit per microsecond
    // (a lower bound that follows from the bus model, not a speed claim).
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(), bits);
}

// With bit timing, a flooding client is held back (its frames do not queue up in the host), and
// a higher-priority frame waits at most for the frame on the wire. Bus order: the log's D lines.
TEST_F(HostTest, BitTimingHoldsBackAFlooderAndArbitratesByIdentifier) {
    char path[] = "/tmp/arbitration-test-XXXXXX";
    ::close(::mkstemp(path));
    HostOptions options;
    options.bit_timing = true;
    options.timing_log = path;
    StartHost(options);
    BusClient flooder, node, watcher;
    Join(flooder);
    Join(node);
    Join(watcher);
    for (int i = 0; i < 300; ++i) {  // 40 ms of bus time
        ASSERT_TRUE(flooder.Send(MakeFrame(0x1FFFFFFF, true, 8, 0)));
    }
    ASSERT_TRUE(node.Send(MakeFrame(0x001, false, 0, 0)));
    ReceiveCount(watcher, 301);
    host_->Stop();
    // Flood frames in the host when the id-1 frame arrived, and those that left before it.
    std::ifstream log(path);
    std::string high;  // its sequence number
    int in_host = 0, waiting = -1, ahead = 0;
    for (std::string kind, seq, rest; log >> kind >> seq && std::getline(log, rest);) {
        if (kind == "F" && rest.find(" 1FFFFFFF ") == std::string::npos) {
            high = seq;
            waiting = in_host;
        } else if (kind == "F") {
            ++in_host;
        } else if (kind == "D" && seq == high) {
            break;
        } else if (kind == "D") {
            --in_host;
            ahead += high.empty() ? 0 : 1;
        }
    }
    std::remove(path);
    ASSERT_FALSE(high.empty());
    EXPECT_LE(waiting, 2);  // one on the wire, one waiting for the bus
    EXPECT_LE(ahead, 1);    // the one on the wire
}

TEST_F(HostTest, ClientSeesTheHostGo) {
    StartHost();
    BusClient client;
    Join(client);
    host_->Stop();
    std::vector<Frame> frames;
    const auto start = std::chrono::steady_clock::now();
    bool alive = true;
    while (alive && std::chrono::steady_clock::now() - start < 5s) {
        alive = client.Receive(frames, 100'000);
    }
    EXPECT_FALSE(alive);
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(client.Send(MakeFrame(1, false, 0, 0)));
}

// Out of descriptors, the host pauses accepting instead of spinning on a readable listener, and
// serves the waiting connection once descriptors are free again.
TEST_F(HostTest, OutOfDescriptorsPausesAcceptingAndRecovers) {
    StartHost();
    // The host logs once while descriptors are plenty: the first check that UndefinedBehavior-
    // Sanitizer makes of a log call opens a pipe, and without a descriptor for it reports a
    // fault that is not there.
    BusClient first;
    Join(first);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowest_free = ::dup(0);
    ::close(lowest_free);
    const rlimit low{static_cast<rlim_t>(lowest_free + 8), saved.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &low);
    std::vector<int> taken;
    for (int fd; (fd = ::dup(0)) >= 0;) {
        taken.push_back(fd);
    }
    ::close(taken.back());  // left for the client's end
    taken.pop_back();
    const auto start = std::chrono::steady_clock::now();
    base::net::Socket client = RawConnect();
    std::this_thread::sleep_for(300ms);
    const std::uint64_t failed = host_->stats().failed_accepts;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    for (const int fd : taken) {
        ::close(fd);
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    // About one per 100-ms pause; a spinning host fails thousands of times.
    EXPECT_GE(failed, 1u);
    EXPECT_LE(failed, 2u + static_cast<std::uint64_t>(ms / 50));
    EXPECT_EQ(RawReadElements(client, 1), "< hi >");
}

// A host that takes the bytes slowly but steadily is waited for, however long it takes; one that
// takes nothing for a whole stall period is lost. The host here answers the handshake at once
// and then reads `chunk` bytes (half its buffer, so that each read reopens the window at once)
// every 20 ms; small buffers make the client wait for it soon.
TEST(BusClientTest, ConnectionIsLostOnlyWhenNoByteMovesForAWholeStallPeriod) {
    constexpr int kStallMs = 500;
    constexpr int kFrames = 4500;  // about 200 KB, far more than the socket buffers hold
    for (const std::size_t chunk : {std::size_t{4096}, std::size_t{0}}) {
        SCOPED_TRACE("host reads " + std::to_string(chunk) + " bytes every 20 ms");
        const base::net::Socket listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const int small = 4096;
        ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        auto* any = reinterpret_cast<sockaddr*>(&address);
        ASSERT_EQ(::bind(listener.get(), any, length) | ::listen(listener.get(), 1) |
                      ::getsockname(listener.get(), any, &length),
                  0);
        BusClient client;
        std::thread connect([&] {
            std::string error;
            EXPECT_TRUE(client.Connect("127.0.0.1", ntohs(address.sin_port), "sim0", &error));
        });
        const base::net::Socket host(::accept(listener.get(), nullptr, nullptr));
        ::send(host.get(), "< hi >< ok >< ok >", 18, 0);
        connect.join();
        ::setsockopt(static_cast<int>(client.socket()), SOL_SOCKET, SO_SNDBUF, &small,
                     sizeof small);
        client.set_send_stall_ms(kStallMs);
        for (int i = 1; i < kFrames; ++i) {
            client.Queue(MakeFrame(0x18FEF100, true, 8, static_cast<std::uint8_t>(i)));
        }
        std::atomic<bool> done = false;
        bool sent = false;
        const auto start = std::chrono::steady_clock::now();
        std::thread send([&] {
            sent = client.Send(MakeFrame(0x18FEF100, true, 8, 0));
            done = true;
        });
        char buffer[4096];
        for (; !done; std::this_thread::sleep_for(20ms)) {
            ::recv(host.get(), buffer, chunk, MSG_DONTWAIT);
        }
        send.join();
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kStallMs));
        EXPECT_EQ(sent, chunk > 0);
        EXPECT_EQ(client.connected(), chunk > 0);
    }
}

// A client's waits keep a timer armed, and the socket registered, from one wait to the next.
// Whatever an earlier wait left behind, a wait without traffic must last its whole time-out, and
// a frame must still end a wait, also on a new connection (whose socket may get the old number).
TEST_F(HostTest, WaitsLastTheirTimeOutWhateverTheWaitBefore) {
    StartHost();
    BusClient waiter;
    BusClient sender;
    Join(waiter);
    Join(sender);
    struct Step {
        std::int64_t timeout_us;
        bool frame_comes;
        bool reconnect = false;
    };
    const std::vector<Step> steps = {
        {30'000, true},    {40'000, false},  // a long wait cut short, then one past its expiry
        {3'000, false},    {1'000, false},  {12'000, false},
        {kSafetyUs, true}, {20'000, false}, {kSafetyUs, true, true},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].reconnect) {
            waiter.Close();
            Join(waiter);
        }
        std::thread late;
        if (steps[i].frame_comes) {
            late = std::thread([&sender] {
                std::this_thread::sleep_for(2ms);
                sender.Send(MakeFrame(0x100, false, 1, 0x5A));
            });
        }
        std::vector<Frame> frames;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(waiter.Receive(frames, steps[i].timeout_us));
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now() - start)
                                .count();
        if (late.joinable()) {
            late.join();
        }
        EXPECT_EQ(frames.size(), steps[i].frame_comes ? 1u : 0u) << "step " << i;
        if (!steps[i].frame_comes) {
            EXPECT_GE(waited, steps[i].timeout_us) << "step " << i << " ended early";
        }
    }
}

TEST_F(HostTest, TimingLogHasArrivalAndEveryWriteOfEachFrame) {
    char path[] = "/tmp/timing-log-test-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    HostOptions options;
    options.timing_log = path;
    StartHost(options);
    BusClient a, b;
    Join(a);
    Join(b);
    ASSERT_TRUE(a.Send(MakeFrame(0x00FFFFB1, true, 8, 0x11)));
    ASSERT_EQ(ReceiveCount(b, 1).size(), 1u);
    host_->Stop();

    std::ifstream log(path);
    std::vector<std::string> joins, arrivals, deliveries, writes;
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string>* into = line[0] == 'J'   ? &joins
                                         : line[0] == 'F' ? &arrivals
                                         : line[0] == 'D' ? &deliveries
                                         : line[0] == 'W' ? &writes
                                                          : nullptr;
        ASSERT_NE(into, nullptr) << line;
        into->push_back(line);
    }
    std::remove(path);
    ASSERT_EQ(joins.size(), 2u);
    ASSERT_EQ(arrivals.size(), 1u);
    ASSERT_EQ(deliveries.size(), 1u);
    ASSERT_EQ(writes.size(), 1u);  // to b only: a sent it
    unsigned long long seq = 0, sender = 0, client = 0, wseq = 0;
    long long arrived = 0, written = 0;
    char id[16] = {};
    char data[40] = {};
    unsigned length = 0;
    ASSERT_EQ(std::sscanf(arrivals[0].c_str(), "F %llu %llu %lld %15s %u %39s", &seq, &sender,
                          &arrived, id, &length, data),
              6);
    EXPECT_EQ(std::string(id), "FFFFB1");
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(std::string(data), "1112131415161718");
    EXPECT_EQ("J " + std::to_string(sender), joins[0].substr(0, joins[0].find(' ', 2)));
    ASSERT_EQ(std::sscanf(writes[0].c_str(), "W %llu %llu %lld", &wseq, &client, &written), 3);
    EXPECT_EQ(wseq, seq);
    EXPECT_NE(client, sender);
    EXPECT_GE(written, arrived);
}

}  // namespace
}  // namespace vbus
