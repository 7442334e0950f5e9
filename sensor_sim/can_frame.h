// The frame record of the simulated sensor and the J1939 identifier helpers it needs.
// Kept free of any transport so that the sensor's logic can be driven directly.
#pragma once

#include <array>
#include <cstdint>

#include "wire/frame.h"

namespace sensor_sim {

using CanFrame = wire::Frame;

// J1939 fields of a 29-bit identifier.
struct J1939Id {
    std::uint8_t priority = 6;        // 0 to 7
    std::uint32_t pgn = 0;            // 18 bits: EDP, DP, PF and (PDU2 only) the group extension
    std::uint8_t destination = 0xFF;  // PDU1 only; PDU2 frames report 0xFF
    std::uint8_t source = 0;
};

inline constexpr std::uint32_t kPgnAddressClaimed = 0xEE00;
inline constexpr std::uint32_t kPgnRequest = 0xEA00;
inline constexpr std::uint32_t kPgnProprietaryA = 0xEF00;
inline constexpr std::uint8_t kGlobalAddress = 0xFF;
inline constexpr std::uint8_t kNullAddress = 0xFE;  // source of "Cannot Claim Address"

inline bool IsPdu1(std::uint32_t pgn) {
    return ((pgn >> 8) & 0xFF) < 0xF0;
}

inline J1939Id DecodeJ1939(std::uint32_t id) {
    J1939Id j;
    j.priority = static_cast<std::uint8_t>((id >> 26) & 0x7);
    j.source = static_cast<std::uint8_t>(id & 0xFF);
    const std::uint32_t pf_and_pages = (id >> 8) & 0x3FF00;
    const auto ps = static_cast<std::uint8_t>((id >> 8) & 0xFF);
    if (IsPdu1(pf_and_pages)) {
        j.pgn = pf_and_pages;
        j.destination = ps;
    } else {
        j.pgn = pf_and_pages | ps;
        j.destination = kGlobalAddress;
    }
    return j;
}

inline std::uint32_t EncodeJ1939(const J1939Id& j) {
    std::uint32_t id =
        (static_cast<std::uint32_t>(j.priority & 0x7) << 26) | ((j.pgn & 0x3FF00) << 8) | j.source;
    if (IsPdu1(j.pgn)) {
        id |= static_cast<std::uint32_t>(j.destination) << 8;
    } else {
        id |= (j.pgn & 0xFF) << 8;
    }
    return id;
}

// NAMEs travel least significant byte first.
inline std::array<std::uint8_t, 8> NameBytes(std::uint64_t name) {
    std::array<std::uint8_t, 8> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(name >> (8 * i));
    }
    return bytes;
}

// Missing bytes of a short frame read as 0xFF, as every J1939 node reads them.
inline std::uint64_t NameFromFrame(const CanFrame& frame) {
    std::uint64_t name = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint64_t byte = i < frame.length ? frame.data[i] : 0xFF;
        name |= byte << (8 * i);
    }
    return name;
}

// Bootloader command channel: priority 0, PGN 0xFFF0 + channel, source 0xB1.
inline constexpr std::uint32_t kCommandChannelBase = 0x00FFF0B1;
inline constexpr std::uint8_t kBootloaderAddress = 0xB1;
inline constexpr int kCommandChannel = 2;
inline constexpr int kDataChannel = 15;

inline std::uint32_t CommandChannelId(int channel) {
    return kCommandChannelBase + (static_cast<std::uint32_t>(channel & 0xF) << 8);
}

}  // namespace sensor_sim
