// sensor-sim: the simulated sensor on a virtual CAN bus (or, on Linux, a SocketCAN interface),
// driven by one loop that waits for the bus socket, standard input and the sensor's own timer
// (sensor_sim/events.h). Frames are answered the moment they are read; nothing here sleeps.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "sensor_sim/events.h"
#include "sensor_sim/options.h"
#include "sensor_sim/sensor.h"
#if defined(__linux__)
#include "sensor_sim/socketcan_transport.h"
#endif
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
    virtual base::net::NativeSocket fd() const = 0;
};

class VirtualBusTransport final : public Transport {
  public:
    bool Connect(std::uint16_t port, const std::string& bus, std::string* error) {
        return client_.Connect("127.0.0.1", port, bus, error);
    }
    bool Send(const CanFrame& frame) override { return client_.Send(frame); }
    bool Receive(std::vector<CanFrame>& out) override { return client_.Receive(out, 0); }
    // A send that the host left untaken for the client's stall period closes the connection.
    bool connected() const override { return client_.connected(); }
    base::net::NativeSocket fd() const override {
        return static_cast<base::net::NativeSocket>(client_.socket());
    }

  private:
    vbus::BusClient client_;
};

#if defined(__linux__)
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
    base::net::NativeSocket fd() const override { return link_.fd(); }

  private:
    sensor_sim::SocketCanLink link_;
};
#endif

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
    // Readers never see a half-written file (this rename replaces the old one on Windows too).
    std::error_code failed;
    std::filesystem::rename(temp, path, failed);
    if (failed) {
        Say("cannot write the flash to " + path);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

class Simulator {
  public:
    Simulator(const sensor_sim::Options& options, Transport& transport, sensor_sim::Events& events)
        : options_(options),
          transport_(transport),
          events_(events),
          sensor_(options.sensor),
          start_(std::chrono::steady_clock::now()) {}

    int Run() {
        sensor_sim::Output out;
        sensor_.Start(Now(), out);
        Dispatch(out);
        bool stdin_open = true;
        std::vector<CanFrame> frames;
        while (!quit_ && !events_.stop_requested()) {
            if (!transport_.connected()) {
                return Lost();  // a send found it lost: its descriptor is closed
            }
            std::optional<Micros> timeout;
            if (const auto wake = sensor_.NextWake()) {
                timeout = std::max(Micros(0), *wake - Now());
            }
            sensor_sim::Woken woken;
            if (!events_.Wait(transport_.fd(), stdin_open, timeout, &woken)) {
                Say("poll failed");
                return 1;
            }
            if (woken.bus) {
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
            if (stdin_open && woken.input) {
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
        const long n = events_.ReadInput(buffer, sizeof buffer);
        if (n < 0) {
            return true;  // nothing yet
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
    sensor_sim::Events& events_;
    sensor_sim::Sensor sensor_;
    std::chrono::steady_clock::time_point start_;
    std::string pending_;
    bool discarding_ = false;  // the rest of a line that was too long, up to its newline
    bool quit_ = false;
};

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

    // Stop requests are taken by the loop alone, so every thread started from here on (the bus
    // host's) leaves them to it.
    sensor_sim::Events events;
    if (!events.Start(&error)) {
        std::cerr << "sensor-sim: " << error << '\n';
        return 1;
    }

    if (!options->socketcan.empty()) {
#if defined(__linux__)
        SocketCanTransport transport;
        if (!transport.Open(options->socketcan, &error)) {
            std::cerr << "sensor-sim: cannot serve on " << options->socketcan << ": " << error
                      << '\n';
            return 1;
        }
        Say("ready on SocketCAN interface " + options->socketcan);
        Simulator simulator(*options, transport, events);
        return simulator.Run();
#else
        std::cerr << "sensor-sim: --socketcan: SocketCAN is a Linux interface; here the "
                     "simulator serves the virtual bus only\n";
        return 2;
#endif
    }

    std::unique_ptr<vbus::BusHost> host;
    std::uint16_t port = 0;
    std::string bus_name = options->bus_name;
    if (options->join) {
        port = *options->join;
        if (bus_name.empty()) {
            bus_name = vbus::DefaultBusName(port);
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
    Say("ready on bus " + bus_name + " (127.0.0.1:" + std::to_string(port) + ")");

    Simulator simulator(*options, transport, events);
    return simulator.Run();
}
