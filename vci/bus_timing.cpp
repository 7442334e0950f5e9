#include "vci/bus_timing.h"

namespace vci {

std::uint32_t BitrateFromBtr(std::uint8_t btr0, std::uint8_t btr1) {
    constexpr std::uint32_t kClockHz = 16000000;
    const std::uint32_t prescaler = 2u * ((btr0 & 0x3Fu) + 1u);
    const std::uint32_t quanta = 1u + ((btr1 & 0x0Fu) + 1u) + (((btr1 >> 4) & 0x07u) + 1u);
    return kClockHz / (prescaler * quanta);
}

}  // namespace vci
