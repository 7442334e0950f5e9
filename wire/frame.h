// A CAN frame as the code around the tool passes it: on the virtual bus, in SLCAN lines, in the
// simulated sensor. (The tool keeps its own record, and the CAN library's interface its message.)
#pragma once

#include <array>
#include <cstdint>

namespace wire {

struct Frame {
    std::uint32_t id = 0;     // 11- or 29-bit identifier, without flags
    bool extended = false;    // 29-bit identifier
    std::uint8_t length = 0;  // 0 to 8; a frame claiming more carries only 8 bytes
    std::array<std::uint8_t, 8> data{};
    bool remote = false;  // remote frame: a length, no data

    friend bool operator==(const Frame&, const Frame&) = default;
};

}  // namespace wire
