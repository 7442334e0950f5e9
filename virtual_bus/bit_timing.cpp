#include "virtual_bus/bit_timing.h"
#include "wire/can_id.h"

namespace vbus {

namespace {

void AppendBits(std::vector<std::uint8_t>& bits, std::uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        bits.push_back(static_cast<std::uint8_t>((value >> i) & 1u));
    }
}

}  // namespace

std::vector<std::uint8_t> FrameBitsBeforeStuffing(const Frame& frame) {
    const std::uint32_t length = frame.length <= 8 ? frame.length : 8;
    std::vector<std::uint8_t> bits;
    bits.reserve(54 + 64 + 15);
    bits.push_back(0);  // start of frame
    if (frame.extended) {
        const std::uint32_t id = frame.id & wire::kCanExtendedMask;
        AppendBits(bits, id >> 18, 11);  // base identifier
        bits.push_back(1);               // SRR, recessive
        bits.push_back(1);               // IDE, recessive: extended format
        AppendBits(bits, id & 0x3FFFFu, 18);
        bits.push_back(0);  // RTR, dominant: data frame
        bits.push_back(0);  // r1
        bits.push_back(0);  // r0
    } else {
        AppendBits(bits, frame.id & wire::kCanStandardMask, 11);
        bits.push_back(0);  // RTR
        bits.push_back(0);  // IDE, dominant: standard format
        bits.push_back(0);  // r0
    }
    AppendBits(bits, length, 4);
    for (std::uint32_t i = 0; i < length; ++i) {
        AppendBits(bits, frame.data[i], 8);
    }
    AppendBits(bits, Crc15(bits), 15);
    return bits;
}

std::uint16_t Crc15(const std::vector<std::uint8_t>& bits) {
    std::uint16_t crc = 0;
    for (const std::uint8_t bit : bits) {
        const bool feedback = ((bit & 1u) != 0) != ((crc & 0x4000u) != 0);
        crc = static_cast<std::uint16_t>((crc << 1) & 0x7FFFu);
        if (feedback) {
            crc ^= 0x4599u;
        }
    }
    return crc;
}

int StuffBitCount(const std::vector<std::uint8_t>& bits) {
    int stuffed = 0;
    int run = 0;
    std::uint8_t last = 2;  // no bit yet
    for (const std::uint8_t bit : bits) {
        if (bit == last) {
            ++run;
        } else {
            last = bit;
            run = 1;
        }
        if (run == 5) {
            // The complement goes on the wire and starts a run of its own.
            ++stuffed;
            last = static_cast<std::uint8_t>(1 - last);
            run = 1;
        }
    }
    return stuffed;
}

int FrameBitLength(const Frame& frame) {
    const std::vector<std::uint8_t> bits = FrameBitsBeforeStuffing(frame);
    constexpr int kCrcDelimiter = 1, kAck = 2, kEndOfFrame = 7, kIntermission = 3;
    return static_cast<int>(bits.size()) + StuffBitCount(bits) + kCrcDelimiter + kAck +
           kEndOfFrame + kIntermission;
}

std::uint32_t ArbitrationKey(const Frame& frame) {
    if (frame.extended) {
        const std::uint32_t id = frame.id & wire::kCanExtendedMask;
        return (id >> 18) << 20 | 0x3u << 18 | (id & 0x3FFFFu);
    }
    return (frame.id & wire::kCanStandardMask) << 20;
}

}  // namespace vbus
