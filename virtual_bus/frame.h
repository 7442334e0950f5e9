// The virtual bus's ports and bus names, and the frame it carries.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "wire/frame.h"

namespace vbus {

// Default TCP port of a bus host (the socketcand default); hosts on this machine use
// kFirstPort .. kFirstPort + kPortCount - 1, and the bus on port kFirstPort + k is named "sim<k>".
inline constexpr std::uint16_t kFirstPort = 29536;
inline constexpr int kPortCount = 8;

// The bus name that a host on this port serves unless told otherwise: "sim<k>" for port
// kFirstPort + k; a port outside that range gives "sim" followed by the port number.
inline std::string DefaultBusName(std::uint16_t port) {
    const int k = port - kFirstPort;
    return "sim" + std::to_string(k >= 0 && k < kPortCount ? k : int{port});
}

// The bus carries data frames (a remote frame's flag does not travel).
using wire::Frame;

}  // namespace vbus
