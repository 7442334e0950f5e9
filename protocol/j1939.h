// The J1939 link: identifiers and receive filters built from a PGN and two addresses, the
// address claim, and the two Proprietary A requests to the sensor's application.
//
// Identifier word (CanFrame::id) of a J1939 frame:
//
//   bit  31     extended-frame marker: set on every frame sent, required of every frame accepted
//   bits 30-29  0
//   bits 28-26  priority: 6 on every frame sent here; never compared by a receive filter
//   bit  25     extended data page (EDP)
//   bit  24     data page (DP)
//   bits 23-16  PDU format (PF)
//   bits 15-8   PDU specific (PS): the destination address when PF < 0xF0 (PDU1), the group
//               extension when PF >= 0xF0 (PDU2)
//   bits 7-0    source address (SA)
//
// A PGN is an 18-bit value: EDP in bit 17, DP in bit 16, PF in bits 15-8 and, for a PDU2 PGN,
// the group extension in bits 7-0 (0 for a PDU1 PGN). Bits above 17 of a PGN argument are
// ignored. Address 255 is the global destination; as the destination or source of a receive
// filter it means "any address".
//
// Every frame goes out through SendFrame and every wait is one ReceiveMatching call under the
// process-wide ReceiveTimeout (can/can_frame_io.h). Functions return 1 for success and 0 for
// failure, except SendPgn, which returns the library's code. Nothing is printed, nothing is
// allocated and no state is kept here.
#pragma once

#include <cstdint>

#include "can/can_library.h"

// NAME with which the loader claims its own address (arbitrary-address capable).
inline constexpr uint64_t SoftwareName = 0x8000000037600000u;
// NAME with which the loader claims BootloaderAddress on the bootloader's behalf.
inline constexpr uint64_t BootloaderName = 0x8000000000000000u;
// The bootloader's address: claimed for it, and the source of every command-channel frame.
inline constexpr uint8_t BootloaderAddress = 0xB1;

// Global destination; "any address" as a filter's destination or source.
inline constexpr uint8_t kJ1939AnyAddress = 255;
// SearchFreeAddress tries 0 to this address, in ascending order.
inline constexpr uint8_t kJ1939LastClaimableAddress = 253;

inline constexpr uint32_t kPgnAddressClaimed = 0xEE00;  // PDU1, sent to address 255
inline constexpr uint32_t kPgnProprietaryA = 0xEF00;    // PDU1, contents defined by the maker
inline constexpr uint32_t kJ1939Priority = 6;           // priority of every frame sent here

// ReceiveTimeout (ms) that ClaimAddress sets and leaves: the wait for a contending claim.
inline constexpr uint32_t kAddressClaimTimeout = 250;

// Data of the two Proprietary A requests to the sensor's application.
inline constexpr uint8_t kSensorCheckRequest[8] = {0xE0, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
inline constexpr uint8_t kStartBootloaderRequest[8] = {0xF0, 0xFF, 0xFF, 0x80, 'B', 'O', 'O', 'T'};
// Position of the reply byte in the sensor's reply to the sensor check.
inline constexpr uint8_t kSensorReplyByteIndex = 4;

// A receive filter: a frame passes when (id word & mask) == value. The value is zero outside
// its mask.
struct J1939Filter {
    uint32_t value;
    uint32_t mask;
};

// Id word of a frame of `pgn` from `source` to `destination` with priority 6 and the extended
// marker set. PDU1 (PF < 0xF0): PS is the destination, the PGN's low byte is ignored. PDU2: PS
// is the PGN's low byte, the destination is ignored.
// Examples: (0xC3, 0x00, 0xEF00) -> 0x98EFC300; (any, 0xC3, 0xFF12) -> 0x98FF12C3.
uint32_t J1939Identifier(uint8_t destination, uint8_t source, uint32_t pgn);

// Filter for frames of `pgn` from `source` to `destination`, whatever their priority. The
// marker, EDP, DP and PF are always compared. PS is compared with the destination for a PDU1
// PGN unless the destination is 255, with the PGN's low byte for a PDU2 PGN (the destination
// plays no part). SA is compared unless the source is 255.
// Example: (0x00, 0xC3, 0xEF00) -> mask 0x83FFFFFF, value 0x80EF00C3.
J1939Filter J1939ReceiveFilter(uint8_t destination, uint8_t source, uint32_t pgn);

// Sends one frame of `pgn` (priority 6, length 8, `data` in order) from `source` to
// `destination`. Returns SendFrame's result unchanged: 0 when the library accepted the frame,
// otherwise the library's code.
uint32_t SendPgn(VciHandle channel, uint8_t destination, uint8_t source, uint32_t pgn,
                 const uint8_t (&data)[8]);

// Waits, within ReceiveTimeout, for the first frame that passes J1939ReceiveFilter(destination,
// source, pgn); other frames are consumed and dropped. On 1, `data` holds the frame's data bytes
// (at most 8) followed by 0xFF up to 8 bytes, and `length` the frame's length as received. On 0
// (nothing came) both are untouched.
int ReceivePgn(VciHandle channel, uint8_t destination, uint8_t source, uint32_t pgn,
               uint8_t (&data)[8], uint8_t& length);

// Claims `address` with `name`: sets ReceiveTimeout to 250 (and leaves it so), sends Address
// Claimed (id word 0x98EEFF00 + address, the NAME least significant byte first) and waits for
// the first Address Claimed frame from that address, of any priority and to any destination
// (from any source when the address is 255). The first such frame decides: its NAME (data bytes
// least significant first, missing bytes read as 0xFF) below `name` loses the address (0); equal
// or above wins it (1). No contender within the budget: 1. The send's result is not examined,
// and a won address is not defended afterwards.
//
// Where this claim is our own and not the common J1939 custom: a contender with the same NAME
// is not a conflict to be settled, the loader simply keeps the address (a tie counts as won);
// and once the claim is won the loader stops listening for Address Claimed, so a node that
// claims the address later, or asks who holds it, gets no answer from the loader. A load lasts
// minutes on a bus that the operator controls, and the loader sends nothing but its requests
// and the bootloader's commands; it never sends Cannot Claim Address either.
int ClaimAddress(VciHandle channel, uint8_t address, uint64_t name);

// Claims 0, 1, ..., 253 in turn with SoftwareName until one is won. 1 with that address stored
// in `address`; 0 with `address` untouched when all 254 claims were lost. Leaves
// ReceiveTimeout at 250.
//
// The search starts at address 0 and walks upwards: this system's own choice, not the common
// J1939 custom of an arbitrary-address-capable node, which starts from a preferred address in
// the dynamic range (128 to 247) and avoids the addresses that the standard reserves for
// particular functions.
int SearchFreeAddress(VciHandle channel, uint8_t& address);

// Sends the sensor check request (Proprietary A, data kSensorCheckRequest) from `source` to
// `destination` and waits, within ReceiveTimeout, for any Proprietary A frame from
// `destination` to `source`. 1 with data byte 4 of that reply in `reply_byte` (0xFF when the
// reply has fewer than 5 bytes); 0 with `reply_byte` untouched when no reply came.
int CheckForSensor(VciHandle channel, uint8_t destination, uint8_t source, uint8_t& reply_byte);

// Sends the start bootloader request (Proprietary A, data kStartBootloaderRequest) from
// `source` to `destination`, once. Returns 1 whatever the send's result; awaits nothing.
int StartBootloader(VciHandle channel, uint8_t destination, uint8_t source);
