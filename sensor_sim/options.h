// The command line of sensor-sim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sensor_sim/sensor.h"

namespace sensor_sim {

struct Options {
    Config sensor;
    std::uint16_t port = 0;             // host the bus on this port; 0: the first free one
    std::optional<std::uint16_t> join;  // join the bus host on this port instead
    std::string bus_name;               // empty: the host's own name ("sim<k>")
    bool bit_timing = false;            // hosted bus only
    std::string trace_path;             // hosted bus only
    std::string socketcan;              // serve on this SocketCAN interface instead of a bus
    std::string flash_out;              // written after every "BOOT_END" and at exit
    bool exit_on_eof = false;
    bool help = false;
};

// Parses the arguments after the program name. On error returns nothing and sets *error.
std::optional<Options> ParseOptions(const std::vector<std::string_view>& args, std::string* error);

std::string HelpText();

}  // namespace sensor_sim
