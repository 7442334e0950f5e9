// The gs_usb protocol of candleLight-family USB CAN adapters, as plain code without I/O: the
// control requests as byte layouts, the classic host frame, the bit timing from the adapter's
// limits. Every field on the wire is little endian. Error frames have the layout of Linux's
// (wire/can_id.h).
//
// Control requests are vendor requests to interface 0 (bmRequestType 0x41 out, 0xC1 in):
//   0 HOST_FORMAT    out  wValue 1        u32 0x0000beef (the adapter ignores it: always LE)
//   5 DEVICE_CONFIG  in   wValue 1        12 bytes: 3 reserved, channels - 1, u32 sw, u32 hw
//   4 BT_CONST       in   wValue channel  40 bytes: u32 feature, fclk_can, tseg1 min/max,
//                                         tseg2 min/max, sjw_max, brp min/max, brp_inc
//   1 BITTIMING      out  wValue channel  20 bytes: u32 prop_seg, phase_seg1, phase_seg2, sjw, brp
//   2 MODE           out  wValue channel  8 bytes: u32 mode (0 reset, 1 start), u32 flags
// A frame on the bulk pipes (20 bytes, classic CAN, no time stamp): u32 echo_id, u32 can_id (bit
// 31 extended, 30 remote, 29 error frame), u8 dlc, u8 channel, u8 flags (bit 0 receive
// overflow), u8 reserved, data[8]. The adapter returns each host frame with its echo_id once its
// controller has taken it; frames from the bus carry echo_id 0xffffffff.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "wire/can_id.h"

namespace wire::gs_usb {

inline constexpr std::uint8_t kRequestTypeOut = 0x41;  // vendor, interface, host to device
inline constexpr std::uint8_t kRequestTypeIn = 0xC1;   // vendor, interface, device to host

enum Request : std::uint8_t {
    kHostFormat = 0,
    kBitTiming = 1,
    kMode = 2,
    kBtConst = 4,
    kDeviceConfig = 5,
};

// One control transfer: the setup packet, and for an OUT request the data stage.
struct ControlTransfer {
    std::uint8_t request_type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;             // bytes of the data stage
    std::array<std::uint8_t, 40> data{};  // OUT: the first `length` bytes are sent
    bool in() const { return (request_type & 0x80) != 0; }
};

inline constexpr std::uint16_t kDeviceConfigSize = 12;
inline constexpr std::uint16_t kBtConstSize = 40;

struct DeviceConfig {
    std::uint32_t channels = 0;
    std::uint32_t sw_version = 0;
    std::uint32_t hw_version = 0;
};

// The controller's clock and its bit timing limits (BT_CONST). tseg1 counts the propagation
// and phase 1 segments together, as the adapter adds them.
struct BtConst {
    std::uint32_t feature = 0;
    std::uint32_t fclk_can = 0;
    std::uint32_t tseg1_min = 0, tseg1_max = 0;
    std::uint32_t tseg2_min = 0, tseg2_max = 0;
    std::uint32_t sjw_max = 0;
    std::uint32_t brp_min = 0, brp_max = 0, brp_inc = 0;
};

// The widest time segments and prescaler of any CAN controller (CAN FD controllers' nominal
// phase); the bit timing search takes no wider limits from an adapter.
inline constexpr std::uint32_t kMaxTseg1 = 256;
inline constexpr std::uint32_t kMaxTseg2 = 128;
inline constexpr std::uint32_t kMaxBrp = 1024;

struct BitTiming {
    std::uint32_t prop_seg = 0, phase_seg1 = 0, phase_seg2 = 0, sjw = 0, brp = 0;
    bool operator==(const BitTiming&) const = default;
};

ControlTransfer HostFormatRequest(std::uint16_t interface_number);
ControlTransfer DeviceConfigRequest(std::uint16_t interface_number);
ControlTransfer BtConstRequest(std::uint16_t channel);
ControlTransfer BitTimingRequest(std::uint16_t channel, const BitTiming& timing);
ControlTransfer ModeRequest(std::uint16_t channel, bool start);

// Null when the answer is shorter than its layout or names no channel.
std::optional<DeviceConfig> ParseDeviceConfig(const std::uint8_t* bytes, std::size_t size);
std::optional<BtConst> ParseBtConst(const std::uint8_t* bytes, std::size_t size);

// The bit timing for `bitrate` within the adapter's limits, chosen as the kernel's own
// calculation chooses it: the CiA sample point for the rate (75 % above 800 kbit/s, 80 % above
// 500 kbit/s, else 87.5 %), the smallest bit rate error first, then the sample point nearest
// the nominal one without passing it; sjw 1. Another node on a bus set up by the kernel samples
// at the same point.
struct TimingChoice {
    bool ok = false;
    BitTiming timing;
    std::uint32_t bitrate = 0;                // the rate it gives
    std::uint32_t sample_point_permille = 0;  // where it samples
    std::string reason;                       // why there is none (ok false)
};
// Refuses (with the reason) limits that give no timing, or only ones off by more than 0.5 %
// (stricter than the kernel's 5 %).
TimingChoice ChooseBitTiming(const BtConst& limits, std::uint32_t bitrate);

inline constexpr std::size_t kFrameSize = 20;
inline constexpr std::uint32_t kReceivedEchoId = 0xFFFFFFFF;
inline constexpr std::uint8_t kFrameFlagOverflow = 0x01;

struct HostFrame {
    std::uint32_t echo_id = 0;
    std::uint32_t can_id = 0;  // identifier with the flag bits of wire/can_id.h
    std::uint8_t dlc = 0;
    std::uint8_t channel = 0;
    std::uint8_t flags = 0;
    std::array<std::uint8_t, 8> data{};
};

void EncodeFrame(const HostFrame& frame, std::uint8_t out[kFrameSize]);
// False when fewer than 20 bytes came (longer transfers: time stamp or padding, not used).
bool DecodeFrame(const std::uint8_t* bytes, std::size_t size, HostFrame* frame);

}  // namespace wire::gs_usb
