// canbus-host: a virtual CAN bus on 127.0.0.1 for the loader, the simulated sensor and any
// socketcand client (python-can's 'socketcand' interface). Runs until SIGINT or SIGTERM.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/parse.h"
#include "virtual_bus/bus_host.h"
#include "virtual_bus/frame.h"
#include "virtual_bus/slcan_pty_adapter.h"
#include "wire/socketcand_protocol.h"
#ifdef __linux__
#include "virtual_bus/gs_usb_gadget.h"
#endif

namespace {

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "usage: canbus-host [--port N] [--bus-name NAME] [--bit-timing] [--trace FILE]\n"
                 "                   [--timing-log FILE] [--join PORT] [--slcan-pty PATH]...\n"
                 "                   [--slcan-answer z|cr|none|silent]\n"
                 "                   [--slcan-time-stamps off|on|always]\n"
                 "                   [--gs-usb-gadget FFS_DIR] [--gs-usb-fault FAULT]...\n"
                 "\n"
                 "Serves a virtual CAN bus (1000 kbit/s) on 127.0.0.1 with the socketcand\n"
                 "protocol in raw mode; every frame a client sends reaches every other client.\n"
                 "\n"
                 "  --port N          TCP port (default: the first free of %u..%u)\n"
                 "  --bus-name NAME   bus name clients open (default: sim<k> on port %u+k)\n"
                 "  --bit-timing      each frame holds the bus for its real length in bits, and\n"
                 "                    the frames waiting for it go in CAN arbitration order\n"
                 "  --trace FILE      write every frame to FILE in candump log format\n"
                 "  --timing-log FILE write when each frame arrived and when it was written to\n"
                 "                    each client (steady clock, ns), for latency measurements\n"
                 "  --join PORT       serve no bus: join the host on 127.0.0.1:PORT (for the\n"
                 "                    SLCAN adapters)\n"
                 "  --slcan-pty PATH  an SLCAN adapter on a pseudo terminal, linked at PATH, on\n"
                 "                    this bus (repeatable); SIGUSR1 pulls every adapter out\n"
                 "  --slcan-answer A  what the adapters answer after a frame from the host:\n"
                 "                    z (Z or z, then CR: the default), cr, none; silent:\n"
                 "                    nothing, and no command answered either (V gets free\n"
                 "                    text, N nothing; an empty line repeats the last line)\n"
                 "  --slcan-time-stamps T  off (the default), on (Z0/Z1 from the host change\n"
                 "                    it), always (on; Z0/Z1 refused)\n"
                 "  --gs-usb-gadget FFS_DIR  a gs_usb (candleLight) adapter on the FunctionFS\n"
                 "                    function mounted at FFS_DIR, on this bus (Linux, root);\n"
                 "                    SIGUSR1 pulls it out\n"
                 "  --gs-usb-fault F  (repeatable) bus-off:N: bus-off after N frames from the\n"
                 "                    host, until it starts the channel again; bus-off-restart:N:\n"
                 "                    bus-off, restarted by itself 100 ms later; passive:N:\n"
                 "                    error-passive after N frames; pull:N: pulled out after N\n"
                 "                    frames; no-echo: sent frames are not echoed\n"
                 "  --help            show this text\n",
                 unsigned{vbus::kFirstPort}, unsigned{vbus::kFirstPort + vbus::kPortCount - 1},
                 unsigned{vbus::kFirstPort});
}

bool ParsePort(std::string_view text, std::uint16_t* port) {
    const auto value = base::ParseNumber<std::uint16_t>(text);
    if (!value || *value == 0) {
        return false;
    }
    *port = *value;
    return true;
}

// bus-off:N, bus-off-restart:N, passive:N, pull:N (N from 1) or no-echo.
bool ParseFault(std::string_view text, vbus::GsUsbFaults* faults) {
    if (text == "no-echo") {
        faults->no_echo = true;
        return true;
    }
    const std::size_t colon = text.find(':');
    std::uint16_t count = 0;
    if (colon == std::string_view::npos || !ParsePort(text.substr(colon + 1), &count)) {
        return false;
    }
    const std::string_view kind = text.substr(0, colon);
    if (kind == "bus-off" || kind == "bus-off-restart") {
        faults->bus_off_after = count;
        faults->bus_off_restarts = kind == "bus-off-restart";
    } else if (kind == "passive") {
        faults->passive_after = count;
    } else if (kind == "pull") {
        faults->pull_after = count;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    vbus::HostOptions options;
    options.log = &std::cerr;
    std::uint16_t join_port = 0;
    std::vector<std::string> slcan_paths;
    vbus::SlcanDialect dialect;
    std::string gadget_dir;
    vbus::GsUsbFaults gadget_faults;
    enum : int {
        kPort = 1000,
        kBusName,
        kBitTiming,
        kTrace,
        kTimingLog,
        kJoin,
        kSlcanPty,
        kSlcanAnswer,
        kSlcanTimeStamps,
        kGsUsbGadget,
        kGsUsbFault,
        kHelp = 'h',
    };
    static const option kLong[] = {
        {"port", required_argument, nullptr, kPort},
        {"bus-name", required_argument, nullptr, kBusName},
        {"bit-timing", no_argument, nullptr, kBitTiming},
        {"trace", required_argument, nullptr, kTrace},
        {"timing-log", required_argument, nullptr, kTimingLog},
        {"join", required_argument, nullptr, kJoin},
        {"slcan-pty", required_argument, nullptr, kSlcanPty},
        {"slcan-answer", required_argument, nullptr, kSlcanAnswer},
        {"slcan-time-stamps", required_argument, nullptr, kSlcanTimeStamps},
        {"gs-usb-gadget", required_argument, nullptr, kGsUsbGadget},
        {"gs-usb-fault", required_argument, nullptr, kGsUsbFault},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the messages are ours
    for (int found = 0; (found = getopt_long(argc, argv, "+:h", kLong, nullptr)) != -1;) {
        const std::string_view value = optarg != nullptr ? optarg : "";
        switch (found) {
            case kHelp:
                PrintUsage(stdout);
                return 0;
            case kBitTiming:
                options.bit_timing = true;
                break;
            case kPort:
            case kJoin:
                if (!ParsePort(value, found == kPort ? &options.port : &join_port)) {
                    std::fprintf(stderr, "canbus-host: bad port '%s' (1..65535)\n", optarg);
                    return 2;
                }
                break;
            case kBusName:
                options.bus_name = value;
                if (!wire::socketcand::IsValidBusName(options.bus_name)) {
                    std::fprintf(stderr,
                                 "canbus-host: bad bus name '%s' (1 to %zu characters, no blanks, "
                                 "no < or >)\n",
                                 optarg, wire::socketcand::kMaxBusNameLength);
                    return 2;
                }
                break;
            case kTrace:
                options.trace_path = value;
                break;
            case kTimingLog:
                options.timing_log = value;
                break;
            case kSlcanPty:
                slcan_paths.emplace_back(value);
                break;
            case kGsUsbGadget:
                gadget_dir = value;
                break;
            case kGsUsbFault:
                if (!ParseFault(value, &gadget_faults)) {
                    std::fprintf(stderr, "canbus-host: bad --gs-usb-fault '%s'\n", optarg);
                    return 2;
                }
                break;
            case kSlcanAnswer: {
                using A = vbus::SlcanDialect::SendAnswer;
                if (value != "z" && value != "cr" && value != "none" && value != "silent") {
                    std::fprintf(stderr, "canbus-host: --slcan-answer z, cr, none or silent\n");
                    return 2;
                }
                dialect.send_answer = value == "z" ? A::kZ : value == "cr" ? A::kCr : A::kNone;
                dialect.silent = value == "silent";
                break;
            }
            case kSlcanTimeStamps: {
                using T = vbus::SlcanDialect::TimeStamps;
                if (value != "off" && value != "on" && value != "always") {
                    std::fprintf(stderr, "canbus-host: --slcan-time-stamps off, on or always\n");
                    return 2;
                }
                dialect.time_stamps = value == "off"  ? T::kOff
                                      : value == "on" ? T::kOn
                                                      : T::kAlways;
                break;
            }
            default: {  // ':' a value missing, '?' an unknown option or a value where none is
                const char* given = argv[optind - 1];
                std::fprintf(stderr, "canbus-host: %s '%s'\n",
                             found == ':'      ? "missing value for"
                             : optopt >= kPort ? "no value is taken by"
                                               : "unknown option",
                             given);
                PrintUsage(stderr);
                return 2;
            }
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "canbus-host: unexpected '%s'\n", argv[optind]);
        PrintUsage(stderr);
        return 2;
    }

    std::signal(SIGPIPE, SIG_IGN);
    // Blocked here (and so in the threads, which inherit the mask) and taken by sigtimedwait
    // below: SIGINT and SIGTERM stop, SIGUSR1 pulls the SLCAN adapters out.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &stop_signals, nullptr);

    vbus::BusHost host(options);
    std::string error;
    if (join_port == 0 && !host.Start(&error)) {
        std::fprintf(stderr, "canbus-host: %s\n", error.c_str());
        return 1;
    }
    // The SLCAN adapters join the bus as its clients; frames of the adapters' hosts then take
    // the bus's bit timing like any other client's.
    std::vector<std::unique_ptr<vbus::SlcanPtyAdapter>> adapters;
    for (const std::string& path : slcan_paths) {
        char serial[8];
        std::snprintf(serial, sizeof serial, "VB%02u",
                      static_cast<unsigned>(adapters.size() % 100));
        adapters.push_back(
            std::make_unique<vbus::SlcanPtyAdapter>(path, dialect, serial, &std::cerr));
        if (!adapters.back()->Start(join_port != 0 ? join_port : host.port(),
                                    join_port != 0 ? options.bus_name : host.bus_name(), &error)) {
            std::fprintf(stderr, "canbus-host: %s\n", error.c_str());
            return 1;
        }
        std::printf("canbus-host: slcan adapter at %s\n", path.c_str());
    }
#ifdef __linux__
    std::unique_ptr<vbus::GsUsbGadget> gadget;
    if (!gadget_dir.empty()) {
        gadget = std::make_unique<vbus::GsUsbGadget>(gadget_dir, gadget_faults, &std::cerr);
        if (!gadget->Start(join_port != 0 ? join_port : host.port(),
                           join_port != 0 ? options.bus_name : host.bus_name(), &error)) {
            std::fprintf(stderr, "canbus-host: %s\n", error.c_str());
            return 1;
        }
        std::printf("canbus-host: gs_usb gadget on %s\n", gadget_dir.c_str());
    }
#else
    if (!gadget_dir.empty()) {
        std::fprintf(stderr, "canbus-host: --gs-usb-gadget needs Linux\n");
        return 2;
    }
#endif
    if (join_port != 0) {
        std::printf("canbus-host: joined the bus on 127.0.0.1:%u\n", unsigned{join_port});
    } else {
        std::printf("canbus-host: bus %s on 127.0.0.1:%u%s\n", host.bus_name().c_str(),
                    unsigned{host.port()}, options.bit_timing ? " (bit timing)" : "");
    }
    std::fflush(stdout);

    for (;;) {
        // The signals are taken here, as they come; every 100 ms the bus is looked at too.
        timespec tick{0, 100'000'000};
        const int signal = sigtimedwait(&stop_signals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) {
            break;
        }
        if (signal == SIGUSR1) {
            for (const auto& adapter : adapters) {
                adapter->Pull();
            }
#ifdef __linux__
            if (gadget) {
                gadget->Pull();
            }
#endif
        }
        if (join_port == 0) {
            if (const std::optional<std::string> why = host.failure()) {
                std::fprintf(stderr, "canbus-host: the bus stopped: %s\n", why->c_str());
                return 1;
            }
        }
    }
    adapters.clear();
#ifdef __linux__
    gadget.reset();
#endif
    if (join_port != 0) {
        return 0;  // served no bus: the adapters have said what they passed on
    }
    host.Stop();
    const vbus::HostStats stats = host.stats();
    std::fprintf(stderr,
                 "canbus-host: stopped after %llu frames, %llu clients, %llu refused lines\n",
                 static_cast<unsigned long long>(stats.frames),
                 static_cast<unsigned long long>(stats.clients),
                 static_cast<unsigned long long>(stats.refused_lines));
    return 0;
}
