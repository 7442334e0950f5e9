// The controller's bit timing as the loader gives it: the two SJA1000 bus timing registers.
#pragma once

#include <cstdint>

namespace vci {

// Bit rate in bit/s that BTR0/BTR1 give with the SJA1000's 16 MHz clock:
//   BTR0 = SJW (bits 7-6) | BRP (bits 5-0);  BTR1 = SAM (bit 7) | TSEG2 (6-4) | TSEG1 (3-0)
//   time quantum = 2 * (BRP + 1) / 16 MHz;  bit = 1 + (TSEG1 + 1) + (TSEG2 + 1) quanta
// so 0x00/0x14 is 1000 kbit/s, 0x00/0x1C 500, 0x01/0x1C 250, 0x03/0x1C 125. Rounded down to
// whole bit/s.
std::uint32_t BitrateFromBtr(std::uint8_t btr0, std::uint8_t btr1);

}  // namespace vci
