// The real sensor-sim program on its own virtual bus, talked to through a bus client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "virtual_bus/bus_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// sensor-sim as a child process, with its stdin and stdout on pipes.
class SensorProcess {
  public:
    explicit SensorProcess(std::vector<std::string> args) {
        int in[2];
        int out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        args.insert(args.begin(), SENSOR_SIM_BINARY);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, SENSOR_SIM_BINARY, &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }

    ~SensorProcess() {
        if (stdin_ >= 0) {
            close(stdin_);
        }
        if (stdout_ >= 0) {
            close(stdout_);
        }
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    void Signal(int signal) { kill(pid_, signal); }

    // The next line that contains `text`, waiting at most `limit` (a safety net).
    std::optional<std::string> WaitFor(const std::string& text, Clock::duration limit = 10s) {
        const auto deadline = Clock::now() + limit;
        while (true) {
            std::size_t newline;
            while ((newline = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                output += line + "\n";
                if (line.find(text) != std::string::npos) {
                    return line;
                }
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd fd{stdout_, POLLIN, 0};
            if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                return std::nullopt;
            }
            char chunk[1024];
            const ssize_t n = read(stdout_, chunk, sizeof chunk);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void Say(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    // The exit status, waiting at most `limit`.
    std::optional<int> Wait(Clock::duration limit = 10s) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            WaitFor("\x01", 20ms);  // keeps reading its output meanwhile
        }
        return std::nullopt;
    }

    std::string output;

  private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffer_;
};

vbus::Frame Ext(std::uint32_t id, std::vector<std::uint8_t> bytes) {
    vbus::Frame f;
    f.id = id;
    f.extended = true;
    f.length = static_cast<std::uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data.begin());
    return f;
}

// The first frame with this identifier within `limit`.
std::optional<vbus::Frame> Expect(vbus::BusClient& client, std::uint32_t id,
                                  Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<vbus::Frame> frames;
    while (Clock::now() < deadline) {
        frames.clear();
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (!client.Receive(frames, left.count())) {
            return std::nullopt;
        }
        for (const auto& f : frames) {
            if (f.extended && f.id == id) {
                return f;
            }
        }
    }
    return std::nullopt;
}

TEST(SensorSimProgramTest, StartsItsBootloaderAndReportsItsVersionOverTheBus) {
    const std::string flash_path =
        ::testing::TempDir() + "sensor_sim_program_test_" + std::to_string(getpid()) + ".bin";
    SensorProcess sim({"--boot-delay-ms", "50", "--erase-ms", "10", "--version", ">VER 7.1",
                       "--flash-out", flash_path});
    ASSERT_TRUE(sim.started());
    const auto ready = sim.WaitFor("ready on bus");
    ASSERT_TRUE(ready) << sim.output;
    const auto colon = ready->rfind(':');
    ASSERT_NE(colon, std::string::npos) << *ready;
    const auto port = static_cast<std::uint16_t>(std::stoi(ready->substr(colon + 1)));

    vbus::BusClient client;
    std::string error;
    ASSERT_TRUE(client.Connect("127.0.0.1", port, "", &error)) << error;

    // The application answers the sensor check, then takes the start request.
    ASSERT_TRUE(client.Send(Ext(0x18EFC300, {0xE0, 0x14, 0x00, 0x01, 0, 0, 0, 0})));
    ASSERT_TRUE(Expect(client, 0x18EF00C3, 2s)) << sim.output;
    ASSERT_TRUE(client.Send(Ext(0x18EFC300, {0xF0, 0xFF, 0xFF, 0x80, 0x42, 0x4F, 0x4F, 0x54})));

    // "V" every 100 ms until the bootloader answers, as the loader polls.
    std::optional<vbus::Frame> version;
    for (int attempt = 0; attempt < 41 && !version; ++attempt) {
        ASSERT_TRUE(client.Send(Ext(0x00FFF2B1, {0x56})));
        version = Expect(client, 0x00FFF2B1, 100ms);
    }
    ASSERT_TRUE(version) << sim.output;
    EXPECT_EQ(std::string(version->data.begin(), version->data.begin() + version->length),
              ">VER 7.1");
    EXPECT_TRUE(sim.WaitFor("bootloader started")) << sim.output;

    // One short stream; the flash file holds it once BOOT_END is announced.
    const std::vector<std::vector<std::uint8_t>> exchanges = {
        {0x45, 0x08, 0x01, 0x00, 0x00},
        {0x45, 0x08, 0x02, 0x00, 0x00},
        {'B', 'O', 'O', 'T', '_', 'B', 'E', 'G'}};
    for (const auto& request : exchanges) {
        ASSERT_TRUE(client.Send(Ext(0x00FFF2B1, request)));
        ASSERT_TRUE(Expect(client, 0x00FFF2B1, 2s)) << sim.output;
    }
    const std::vector<std::uint8_t> block = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04};
    for (const auto& b : {block, std::vector<std::uint8_t>(8, 0)}) {
        ASSERT_TRUE(client.Send(Ext(0x00FFFFB1, b)));
        const auto echo = Expect(client, 0x00FFFFB1, 2s);
        ASSERT_TRUE(echo) << sim.output;
        EXPECT_TRUE(std::equal(b.begin(), b.end(), echo->data.begin()));
    }
    ASSERT_TRUE(client.Send(Ext(0x00FFF2B1, {'B', 'O', 'O', 'T', '_', 'E', 'N', 'D'})));
    ASSERT_TRUE(Expect(client, 0x00FFF2B1, 2s));
    ASSERT_TRUE(sim.WaitFor("stream ended, 8 bytes programmed")) << sim.output;
    std::ifstream file(flash_path, std::ios::binary);
    const std::vector<std::uint8_t> flash{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(flash, block);

    // REBOOTME: the new application claims its address again.
    ASSERT_TRUE(client.Send(Ext(0x00FFF2B1, {'R', 'E', 'B', 'O', 'O', 'T', 'M', 'E'})));
    EXPECT_TRUE(Expect(client, 0x18EEFFC3, 2s)) << sim.output;

    // A line too long for the command buffer is refused whole: its tail is no command.
    sim.Say(std::string(8192, 'x') + "power-off");
    sim.Say("status");
    EXPECT_TRUE(sim.WaitFor("command line too long, ignored")) << sim.output;
    EXPECT_TRUE(sim.WaitFor("status: mode application")) << sim.output;
    sim.Say("quit");
    EXPECT_EQ(sim.Wait(), 0) << sim.output;
    std::remove(flash_path.c_str());
}

// The port of the bus that a "ready on bus" line names.
std::uint16_t PortOf(const std::string& ready) {
    return static_cast<std::uint16_t>(std::stoi(ready.substr(ready.rfind(':') + 1)));
}

// A bus host that stops (SIGSTOP) under a sensor that keeps sending: its sends stall, and the
// sensor must say that the bus is lost and end, not wait on a closed connection for ever.
TEST(SensorSimProgramTest, ReportsABusHostThatStoppedTakingItsFrames) {
    SensorProcess host({});
    const auto hosted = host.WaitFor("ready on bus");
    ASSERT_TRUE(hosted) << host.output;
    SensorProcess sim({"--join", std::to_string(PortOf(*hosted)), "--flood-rate", "100000"});
    ASSERT_TRUE(sim.WaitFor("ready on bus")) << sim.output;
    host.Signal(SIGSTOP);
    const auto lost = sim.WaitFor("bus connection lost", 30s);
    host.Signal(SIGCONT);
    EXPECT_TRUE(lost) << sim.output;
    EXPECT_EQ(sim.Wait(5s), 1) << sim.output;
}

}  // namespace
