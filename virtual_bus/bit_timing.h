// How long a CAN data frame occupies the bus: its exact bit count, stuff bits included.
#pragma once

#include <cstdint>
#include <vector>

#include "virtual_bus/frame.h"

namespace vbus {

inline constexpr std::uint32_t kBusBitrate = 1000000;  // the virtual bus runs at 1000 kbit/s

// The bits of a data frame from start of frame to the end of the CRC, before stuffing:
// SOF, identifier (11 bits; or 11, SRR, IDE, 18), RTR, IDE or r1, r0, DLC, data, CRC-15.
// Each element is 0 (dominant) or 1 (recessive).
std::vector<std::uint8_t> FrameBitsBeforeStuffing(const Frame& frame);

// CRC-15 of CAN (polynomial 0x4599, initial value 0) over a bit sequence.
std::uint16_t Crc15(const std::vector<std::uint8_t>& bits);

// Stuff bits that a transmitter inserts into this sequence: one after every five equal bits,
// the stuff bit itself counting towards the next run.
int StuffBitCount(const std::vector<std::uint8_t>& bits);

// Bits on the wire for the whole frame: stuffed SOF..CRC, CRC delimiter, ACK slot, ACK
// delimiter, 7-bit end of frame and the 3-bit intermission. An extended frame with 8 data bytes
// takes 131 bits without stuff bits; a standard frame with none, 47.
int FrameBitLength(const Frame& frame);

// A frame's place in arbitration, where the lower value wins: the bits that nodes send at the same
// time until one of them sends a recessive bit against a dominant one. Those are the base
// identifier, then for an extended frame SRR and IDE (recessive) and the 18 low identifier bits,
// for a standard frame RTR and IDE (dominant): a standard frame wins over an extended one with
// the same base identifier. Two data frames with equal identifiers tie.
std::uint32_t ArbitrationKey(const Frame& frame);

}  // namespace vbus
