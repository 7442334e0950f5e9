#include "protocol/j1939.h"

#include "can/can_frame_io.h"

namespace {

// EDP, DP and PF of a PGN (bits 17-8) land in bits 25-16 of the id word; bits above the PGN's
// 18 are dropped.
constexpr uint32_t kPgnPageAndFormat = 0x3FF00u;
constexpr uint32_t kIdPageAndFormat = 0x03FF0000u;
constexpr uint32_t kIdPduSpecific = 0x0000FF00u;
constexpr uint32_t kIdSourceAddress = 0x000000FFu;
// PDU formats from 0xF0 on are PDU2: PS is a group extension, not a destination.
constexpr uint32_t kFirstPdu2Format = 0xF0;

uint32_t PduFormat(uint32_t pgn) {
    return (pgn >> 8) & 0xFFu;
}

bool IsPdu1(uint32_t pgn) {
    return PduFormat(pgn) < kFirstPdu2Format;
}

// The identifier bits that a PGN fixes: EDP, DP and PF, without marker, priority, PS or SA.
uint32_t PageAndFormatBits(uint32_t pgn) {
    return (pgn & kPgnPageAndFormat) << 8;
}

// The NAME of an Address Claimed frame, least significant byte first; bytes the frame does not
// carry read as 0xFF.
uint64_t NameOf(const CanFrame& frame) {
    uint64_t name = 0;
    for (unsigned i = 0; i < 8; ++i) {
        uint64_t byte = i < frame.length ? frame.data[i] : uint8_t{0xFF};
        name |= byte << (8 * i);
    }
    return name;
}

}  // namespace

uint32_t J1939Identifier(uint8_t destination, uint8_t source, uint32_t pgn) {
    uint32_t pdu_specific = IsPdu1(pgn) ? uint32_t{destination} : (pgn & 0xFFu);
    return kCanIdExtended | (kJ1939Priority << 26) | PageAndFormatBits(pgn) | (pdu_specific << 8) |
           source;
}

J1939Filter J1939ReceiveFilter(uint8_t destination, uint8_t source, uint32_t pgn) {
    J1939Filter filter{kCanIdExtended | PageAndFormatBits(pgn), kCanIdExtended | kIdPageAndFormat};
    if (!IsPdu1(pgn)) {
        filter.value |= (pgn & 0xFFu) << 8;
        filter.mask |= kIdPduSpecific;
    } else if (destination != kJ1939AnyAddress) {
        filter.value |= static_cast<uint32_t>(destination) << 8;
        filter.mask |= kIdPduSpecific;
    }
    if (source != kJ1939AnyAddress) {
        filter.value |= source;
        filter.mask |= kIdSourceAddress;
    }
    return filter;
}

uint32_t SendPgn(VciHandle channel, uint8_t destination, uint8_t source, uint32_t pgn,
                 const uint8_t (&data)[8]) {
    CanFrame frame{};
    frame.id = J1939Identifier(destination, source, pgn);
    frame.length = 8;
    for (unsigned i = 0; i < 8; ++i) {
        frame.data[i] = data[i];
    }
    return SendFrame(channel, frame);
}

int ReceivePgn(VciHandle channel, uint8_t destination, uint8_t source, uint32_t pgn,
               uint8_t (&data)[8], uint8_t& length) {
    J1939Filter filter = J1939ReceiveFilter(destination, source, pgn);
    CanFrame frame{};
    if (ReceiveMatching(channel, filter.value, filter.mask, frame) != 1) {
        return 0;
    }
    for (unsigned i = 0; i < 8; ++i) {
        data[i] = i < frame.length ? frame.data[i] : uint8_t{0xFF};
    }
    length = frame.length;
    return 1;
}

int ClaimAddress(VciHandle channel, uint8_t address, uint64_t name) {
    SetReceiveTimeout(kAddressClaimTimeout);

    uint8_t name_bytes[8];
    for (unsigned i = 0; i < 8; ++i) {
        name_bytes[i] = static_cast<uint8_t>(name >> (8 * i));
    }
    // Whether the library took the claim or not, the wait decides.
    SendPgn(channel, kJ1939AnyAddress, address, kPgnAddressClaimed, name_bytes);

    // Any claim from the address, to any destination; from any source when claiming 255. Our
    // own claim never shows up here: the frame I/O drops the copies of our own frames.
    J1939Filter filter = J1939ReceiveFilter(kJ1939AnyAddress, address, kPgnAddressClaimed);
    CanFrame contender{};
    if (ReceiveMatching(channel, filter.value, filter.mask, contender) != 1) {
        return 1;  // nobody contested the address
    }
    // The first contender decides; a tie goes to us.
    return NameOf(contender) < name ? 0 : 1;
}

int SearchFreeAddress(VciHandle channel, uint8_t& address) {
    for (unsigned candidate = 0; candidate <= kJ1939LastClaimableAddress; ++candidate) {
        auto a = static_cast<uint8_t>(candidate);
        if (ClaimAddress(channel, a, SoftwareName) == 1) {
            address = a;
            return 1;
        }
    }
    return 0;
}

int CheckForSensor(VciHandle channel, uint8_t destination, uint8_t source, uint8_t& reply_byte) {
    SendPgn(channel, destination, source, kPgnProprietaryA, kSensorCheckRequest);

    // The reply comes back from the sensor to us.
    uint8_t reply[8];
    uint8_t length = 0;
    if (ReceivePgn(channel, source, destination, kPgnProprietaryA, reply, length) != 1) {
        return 0;
    }
    reply_byte = reply[kSensorReplyByteIndex];  // 0xFF when the reply was shorter
    return 1;
}

int StartBootloader(VciHandle channel, uint8_t destination, uint8_t source) {
    SendPgn(channel, destination, source, kPgnProprietaryA, kStartBootloaderRequest);
    return 1;
}
