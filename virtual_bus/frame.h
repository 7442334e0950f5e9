// A CAN frame as it travels on the virtual bus.
#pragma once

#include <array>
#include <cstdint>
#include <string>

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

struct Frame {
    std::uint32_t id = 0;     // 11- or 29-bit identifier, without flags
    bool extended = false;    // 29-bit identifier
    std::uint8_t length = 0;  // 0 to 8
    std::array<std::uint8_t, 8> data{};

    friend bool operator==(const Frame&, const Frame&) = default;
};

}  // namespace vbus
