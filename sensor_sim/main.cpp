// sensor-sim: the simulated sensor on a virtual CAN bus (or a SocketCAN interface), driven by one
// poll() loop over the bus socket, standard input and the sensor's own timer. Frames are answered
// the moment they are read; nothing here sleeps.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sensor_sim/options.h"
#include "sensor_sim/sensor.h"
#include "sensor_sim/socketcan_transport.h"
#include "virtual_bus/bus_client.h"
#include "virtual_bus/bus_host.h"

namespace {

using sensor_sim::CanFrame;
using sensor_sim::Micros;

// The seam between the sensor and the wire: a transport sends frames, and receives without
// waiting once its descriptor is readable. It must never hand back the sensor's own frames:
// the bootloader's replies carry the identifiers of their requests.
class Transport {
  public:
    virtual ~Transport() = default;
    virtual bool Send(const CanFrame& frame) = 0;
    // Appends what has arrived; false when the connection is lost.
    virtual bool Receive(std::vector<CanFrame>& out) = 0;
    // False once the connection is lost, whether a send or a receive found it so. fd() is then
    // not to be waited on.
    virtual bool connected() const = 0;
    virtual int fd() const = 0;
};

class VirtualBusTransport final : public Transport {
  public:
    bool Connect(std::uint16_t port, const std::string& bus, std::string* error) {
        return client_.Connect("127.0.0.1", port, bus, error);
    }
    bool Send(const CanFrame& frame) override {
        vbus::Frame f;
        f.id = frame.id;
        f.extended = frame.extended;
        f.length = frame.length;
        f.data = frame.data;
        return client_.Send(f);
    }
    bool Receive(std::vector<CanFrame>& out) override {
        buffer_.clear();
        const bool ok = client_.Receive(buffer_, 0);
        for (const auto& f : buffer_) {
            out.push_back({f.id, f.extended, f.length, f.data});
        }
        return ok;
    }
    // A send that the host left untaken for the client's stall period closes the connection.
    bool connected() const override { return client_.connected(); }
    int fd() const override { return static_cast<int>(client_.socket()); }

  private:
    vbus::BusClient client_;
    std::vector<vbus::Frame> buffer_;
};

// A kernel CAN interface (sensor_sim/socketcan_transport.h).
class SocketCanTransport final : public Transport {
  public:
    bool Open(const std::string& interface, std::string* error) {
        return link_.Open(interface, error);
    }
    bool Send(const CanFrame& frame) override { return link_.Send(frame); }
    bool Receive(std::vector<CanFrame>& out) override { return link_.Receive(out); }
    // A refused send is a full queue or a link that is down, not a lost interface.
    bool connected() const override { return link_.fd() >= 0; }
    int fd() const override { return link_.fd(); }

  private:
    sensor_sim::SocketCanLink link_;
};

volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnSignal(int) {
    g_stop = 1;
}

void Say(const std::string& line) {
    std::cout << "sensor-sim: " << line << '\n' << std::flush;
}

bool WriteFlash(const sensor_sim::Sensor& sensor, const std::string& path) {
    const auto bytes = sensor.flash().Programmed();
    const std::string temp = path + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        if (!file.flush()) {
            Say("cannot write the flash to " + path);
            std::remove(temp.c_str());
            return false;
        }
    }
    // Readers never see a half-written file.
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        Say("cannot write the flash to " + path);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

class Simulator {
  public:
    Simulator(const sensor_sim::Options& options, Transport& transport)
        : options_(options),
          transport_(transport),
          sensor_(options.sensor),
          start_(std::chrono::steady_clock::now()) {}

    int Run(const sigset_t& wait_mask) {
        sensor_sim::Output out;
        sensor_.Start(Now(), out);
        Dispatch(out);
        bool stdin_open = true;
        std::vector<CanFrame> frames;
        while (!quit_ && !g_stop) {
            if (!transport_.connected()) {
                return Lost();  // a send found it lost: its descriptor is closed
            }
            pollfd fds[2] = {{transport_.fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            const nfds_t count = stdin_open ? 2 : 1;
            timespec timeout{};
            timespec* timeout_ptr = nullptr;
            if (const auto wake = sensor_.NextWake()) {
                const auto wait = std::max(Micros(0), *wake - Now());
                timeout.tv_sec = static_cast<time_t>(wait.count() / 1'000'000);
                timeout.tv_nsec = static_cast<long>(wait.count() % 1'000'000) * 1000;
                timeout_ptr = &timeout;
            }
            if (ppoll(fds, count, timeout_ptr, &wait_mask) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Say("poll failed");
                return 1;
            }
            if (fds[0].revents != 0) {
                frames.clear();
                const bool connected = transport_.Receive(frames);
                for (const auto& frame : frames) {
                    sensor_.OnFrame(frame, Now(), out);
                    Dispatch(out);
                }
                if (!connected) {
                    return Lost();
                }
            }
            if (stdin_open && fds[1].revents != 0) {
                stdin_open = ReadCommands();
                if (!stdin_open && options_.exit_on_eof) {
                    quit_ = true;
                }
            }
            sensor_.OnTimer(Now(), out);
            Dispatch(out);
        }
        Finish();
        return 0;
    }

  private:
    Micros Now() const {
        return std::chrono::duration_cast<Micros>(std::chrono::steady_clock::now() - start_);
    }

    void Dispatch(sensor_sim::Output& out) {
        for (const auto& frame : out.frames) {
            transport_.Send(frame);  // a lost connection shows before the next wait
        }
        for (const auto& notice : out.notices) {
            if (notice.kind == sensor_sim::NoticeKind::kStreamEnded &&
                !options_.flash_out.empty()) {
                WriteFlash(sensor_, options_.flash_out);  // before the line that announces it
            }
            Say(notice.text);
        }
        out.frames.clear();
        out.notices.clear();
    }

    // Reads what stdin has; false at its end. A line longer than kMaxLine is refused whole: what
    // follows the cut, up to its newline, is dropped, never run as a command of its own.
    bool ReadCommands() {
        char buffer[4096];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0) {
            return errno == EINTR || errno == EAGAIN;
        }
        if (n == 0) {
            if (!pending_.empty() && !discarding_) {
                Command(pending_);
            }
            pending_.clear();
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        std::size_t newline;
        while ((newline = pending_.find('\n')) != std::string::npos) {
            if (discarding_) {
                discarding_ = false;  // the end of a line already refused
            } else if (newline > kMaxLine) {
                Say("command line too long, ignored");
            } else {
                Command(pending_.substr(0, newline));
            }
            pending_.erase(0, newline + 1);
        }
        if (pending_.size() > kMaxLine) {
            if (!discarding_) {
                Say("command line too long, ignored");
            }
            discarding_ = true;
            pending_.clear();
        }
        return true;
    }

    void Command(std::string line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        sensor_sim::Output out;
        if (line.empty()) {
            return;
        } else if (line == "power-cycle") {
            sensor_.PowerOff(Now(), out);
            sensor_.PowerOn(Now(), out);
        } else if (line == "power-off") {
            sensor_.PowerOff(Now(), out);
        } else if (line == "power-on") {
            sensor_.PowerOn(Now(), out);
        } else if (line.rfind("flash ", 0) == 0 && line.size() > 6) {
            const std::string path = line.substr(6);
            if (WriteFlash(sensor_, path)) {
                Say("flash written to " + path + " (" +
                    std::to_string(sensor_.flash().Programmed().size()) + " bytes)");
            }
        } else if (line == "status") {
            Say("status: " + sensor_.Status());
        } else if (line == "quit") {
            quit_ = true;
        } else {
            Say("unknown command '" + line +
                "' (power-cycle, power-off, power-on, flash FILE, status, quit)");
        }
        Dispatch(out);
    }

    int Lost() {
        Say("bus connection lost");
        Finish();
        return 1;
    }

    void Finish() {
        if (!options_.flash_out.empty()) {
            WriteFlash(sensor_, options_.flash_out);
        }
        Say("stopped");
    }

    static constexpr std::size_t kMaxLine = 4096;

    const sensor_sim::Options& options_;
    Transport& transport_;
    sensor_sim::Sensor sensor_;
    std::chrono::steady_clock::time_point start_;
    std::string pending_;
    bool discarding_ = false;  // the rest of a line that was too long, up to its newline
    bool quit_ = false;
};

std::string DefaultBusName(std::uint16_t port) {
    if (port >= vbus::kFirstPort && port < vbus::kFirstPort + vbus::kPortCount) {
        return "sim" + std::to_string(port - vbus::kFirstPort);
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto options = sensor_sim::ParseOptions(args, &error);
    if (!options) {
        std::cerr << "sensor-sim: " << error << "\nTry 'sensor-sim --help'.\n";
        return 2;
    }
    if (options->help) {
        std::cout << sensor_sim::HelpText();
        return 0;
    }

    // SIGINT and SIGTERM are only taken inside ppoll, so every thread started from here on
    // (the bus host's) leaves them to the event loop.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t blocked;
    sigset_t wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);

    if (!options->socketcan.empty()) {
        SocketCanTransport transport;
        if (!transport.Open(options->socketcan, &error)) {
            std::cerr << "sensor-sim: cannot serve on " << options->socketcan << ": " << error
                      << '\n';
            return 1;
        }
        Say("ready on SocketCAN interface " + options->socketcan);
        Simulator simulator(*options, transport);
        return simulator.Run(wait_mask);
    }

    std::unique_ptr<vbus::BusHost> host;
    std::uint16_t port = 0;
    std::string bus_name = options->bus_name;
    if (options->join) {
        port = *options->join;
        if (bus_name.empty()) {
            bus_name = DefaultBusName(port);
        }
    } else {
        vbus::HostOptions host_options;
        host_options.port = options->port;
        host_options.bus_name = options->bus_name;
        host_options.bit_timing = options->bit_timing;
        host_options.trace_path = options->trace_path;
        host = std::make_unique<vbus::BusHost>(host_options);
        if (!host->Start(&error)) {
            std::cerr << "sensor-sim: cannot host the bus: " << error << '\n';
            return 1;
        }
        port = host->port();
        bus_name = host->bus_name();
    }

    VirtualBusTransport transport;
    if (!transport.Connect(port, options->join ? options->bus_name : bus_name, &error)) {
        std::cerr << "sensor-sim: cannot connect to the bus on port " << port << ": " << error
                  << '\n';
        return 1;
    }
    Say("ready on bus " + (bus_name.empty() ? std::string("?") : bus_name) +
        " (127.0.0.1:" + std::to_string(port) + ")");

    Simulator simulator(*options, transport);
    return simulator.Run(wait_mask);
}
