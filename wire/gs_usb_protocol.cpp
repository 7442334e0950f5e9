#include "wire/gs_usb_protocol.h"

#include <algorithm>
#include <climits>

namespace wire::gs_usb {

namespace {

void PutU32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t GetU32(const std::uint8_t* in) {
    return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
           std::uint32_t{in[3]} << 24;
}

ControlTransfer Out(Request request, std::uint16_t value, std::uint16_t index,
                    std::initializer_list<std::uint32_t> words) {
    ControlTransfer transfer;
    transfer.request_type = kRequestTypeOut;
    transfer.request = request;
    transfer.value = value;
    transfer.index = index;
    for (const std::uint32_t word : words) {
        PutU32(transfer.data.data() + transfer.length, word);
        transfer.length = static_cast<std::uint16_t>(transfer.length + 4);
    }
    return transfer;
}

ControlTransfer In(Request request, std::uint16_t value, std::uint16_t index,
                   std::uint16_t length) {
    ControlTransfer transfer;
    transfer.request_type = kRequestTypeIn;
    transfer.request = request;
    transfer.value = value;
    transfer.index = index;
    transfer.length = length;
    return transfer;
}

// The sample point in tenths of a percent that the kernel aims at for a bit rate (CiA).
std::uint32_t NominalSamplePoint(std::uint32_t bitrate) {
    if (bitrate > 800000) {
        return 750;
    }
    return bitrate > 500000 ? 800 : 875;
}

// For `tseg` quanta after the sync segment: the split into tseg1 and tseg2 whose sample point
// is nearest the nominal one from below (two candidates, as the kernel tries). Returns the
// sample point, or 0 when neither fits the limits.
std::uint32_t SplitSegments(const BtConst& limits, std::uint32_t nominal, std::uint32_t tseg,
                            std::uint32_t* tseg1_out, std::uint32_t* tseg2_out,
                            std::uint32_t* error_out) {
    std::uint32_t best = 0, best_error = UINT_MAX;
    const std::uint32_t quanta = tseg + 1;
    for (std::uint32_t below = 0; below <= 1; ++below) {
        const std::uint32_t wanted = quanta - nominal * quanta / 1000;
        std::uint32_t tseg2 = wanted >= below ? wanted - below : 0;
        tseg2 = std::clamp(tseg2, limits.tseg2_min, limits.tseg2_max);
        if (tseg2 >= tseg) {
            continue;
        }
        std::uint32_t tseg1 = tseg - tseg2;
        if (tseg1 > limits.tseg1_max) {
            tseg1 = limits.tseg1_max;
            tseg2 = tseg - tseg1;
        }
        const std::uint32_t sample_point = 1000 * (quanta - tseg2) / quanta;
        const std::uint32_t error =
            sample_point > nominal ? sample_point - nominal : nominal - sample_point;
        if (sample_point <= nominal && error < best_error) {
            best = sample_point;
            best_error = error;
            *tseg1_out = tseg1;
            *tseg2_out = tseg2;
        }
    }
    *error_out = best_error;
    return best;
}

}  // namespace

ControlTransfer HostFormatRequest(std::uint16_t interface_number) {
    return Out(kHostFormat, 1, interface_number, {0x0000BEEF});
}

ControlTransfer DeviceConfigRequest(std::uint16_t interface_number) {
    return In(kDeviceConfig, 1, interface_number, kDeviceConfigSize);
}

ControlTransfer BtConstRequest(std::uint16_t channel) {
    return In(kBtConst, channel, 0, kBtConstSize);
}

ControlTransfer BitTimingRequest(std::uint16_t channel, const BitTiming& timing) {
    return Out(kBitTiming, channel, 0,
               {timing.prop_seg, timing.phase_seg1, timing.phase_seg2, timing.sjw, timing.brp});
}

ControlTransfer ModeRequest(std::uint16_t channel, bool start) {
    return Out(kMode, channel, 0, {start ? 1u : 0u, 0u});
}

std::optional<DeviceConfig> ParseDeviceConfig(const std::uint8_t* bytes, std::size_t size) {
    if (size < kDeviceConfigSize) {
        return std::nullopt;
    }
    DeviceConfig config;
    config.channels = std::uint32_t{bytes[3]} + 1;
    config.sw_version = GetU32(bytes + 4);
    config.hw_version = GetU32(bytes + 8);
    return config;
}

std::optional<BtConst> ParseBtConst(const std::uint8_t* bytes, std::size_t size) {
    if (size < kBtConstSize) {
        return std::nullopt;
    }
    BtConst c;
    std::uint32_t* const fields[] = {&c.feature,   &c.fclk_can,  &c.tseg1_min, &c.tseg1_max,
                                     &c.tseg2_min, &c.tseg2_max, &c.sjw_max,   &c.brp_min,
                                     &c.brp_max,   &c.brp_inc};
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        *fields[i] = GetU32(bytes + 4 * i);
    }
    return c;
}

TimingChoice ChooseBitTiming(const BtConst& reported, std::uint32_t bitrate) {
    TimingChoice choice;
    // The adapter's word is bounded by what a CAN controller can have (the widest are the
    // nominal phase of CAN FD controllers): a broken or hostile adapter reporting limits near
    // 2^32 would otherwise make the search below wrap and never end, or take billions of steps.
    BtConst limits = reported;
    limits.tseg1_max = std::min(limits.tseg1_max, kMaxTseg1);
    limits.tseg2_max = std::min(limits.tseg2_max, kMaxTseg2);
    limits.brp_max = std::min(limits.brp_max, kMaxBrp);
    limits.brp_inc = std::min(limits.brp_inc, kMaxBrp);
    if (bitrate == 0 || limits.fclk_can == 0 || limits.tseg1_max < limits.tseg1_min ||
        limits.tseg2_max < limits.tseg2_min || limits.brp_max < limits.brp_min ||
        limits.tseg1_max == 0 || limits.tseg2_max == 0) {
        choice.reason = "the adapter's bit timing limits are unusable";
        return choice;
    }
    const std::uint32_t brp_inc = std::max<std::uint32_t>(1, limits.brp_inc);
    const std::uint32_t nominal = NominalSamplePoint(bitrate);
    std::uint64_t best_rate_error = UINT64_MAX;
    std::uint32_t best_point_error = UINT_MAX;
    std::uint32_t best_tseg = 0, best_brp = 0;
    // tseg counts down in half quanta: an even value rounds the prescaler down, an odd one up.
    const std::uint32_t lowest =
        2 * std::max<std::uint32_t>(2, limits.tseg1_min + limits.tseg2_min);
    for (std::uint32_t tseg = 2 * (limits.tseg1_max + limits.tseg2_max) + 1; tseg >= lowest;
         --tseg) {
        const std::uint64_t quanta = 1 + tseg / 2;
        std::uint64_t brp = limits.fclk_can / (quanta * bitrate) + tseg % 2;
        brp = brp / brp_inc * brp_inc;
        if (brp < limits.brp_min || brp > limits.brp_max || brp == 0) {
            continue;
        }
        const std::uint64_t rate = limits.fclk_can / (brp * quanta);
        const std::uint64_t rate_error = rate > bitrate ? rate - bitrate : bitrate - rate;
        if (rate_error > best_rate_error) {
            continue;
        }
        if (rate_error < best_rate_error) {
            best_point_error = UINT_MAX;
        }
        std::uint32_t tseg1 = 0, tseg2 = 0, point_error = UINT_MAX;
        if (SplitSegments(limits, nominal, tseg / 2, &tseg1, &tseg2, &point_error) == 0 ||
            point_error >= best_point_error) {
            continue;
        }
        best_point_error = point_error;
        best_rate_error = rate_error;
        best_tseg = tseg / 2;
        best_brp = static_cast<std::uint32_t>(brp);
        if (rate_error == 0 && point_error == 0) {
            break;
        }
    }
    const std::string wanted = std::to_string(bitrate / 1000) + " kbit/s";
    if (best_brp == 0) {
        choice.reason = "no bit timing for " + wanted + " within the adapter's limits";
        return choice;
    }
    // The kernel takes a timing up to 5 % off; a bus at 1000 kbit/s does not bear that (CAN
    // allows the nodes' clocks well under 2 % between them), so 0.5 % is the most taken here.
    if (best_rate_error * 1000 / bitrate > 5) {
        choice.reason = "the adapter's clock gives no bit timing within 0.5 % of " + wanted;
        return choice;
    }
    std::uint32_t tseg1 = 0, tseg2 = 0, point_error = 0;
    choice.sample_point_permille =
        SplitSegments(limits, nominal, best_tseg, &tseg1, &tseg2, &point_error);
    choice.timing.prop_seg = tseg1 / 2;
    choice.timing.phase_seg1 = tseg1 - choice.timing.prop_seg;
    choice.timing.phase_seg2 = tseg2;
    choice.timing.sjw = 1;
    choice.timing.brp = best_brp;
    choice.bitrate = limits.fclk_can / (best_brp * (1 + tseg1 + tseg2));
    choice.ok = true;
    return choice;
}

void EncodeFrame(const HostFrame& frame, std::uint8_t out[kFrameSize]) {
    PutU32(out, frame.echo_id);
    PutU32(out + 4, frame.can_id);
    out[8] = frame.dlc;
    out[9] = frame.channel;
    out[10] = frame.flags;
    out[11] = 0;
    std::copy(frame.data.begin(), frame.data.end(), out + 12);
}

bool DecodeFrame(const std::uint8_t* bytes, std::size_t size, HostFrame* frame) {
    if (size < kFrameSize) {
        return false;
    }
    frame->echo_id = GetU32(bytes);
    frame->can_id = GetU32(bytes + 4);
    frame->dlc = bytes[8];
    frame->channel = bytes[9];
    frame->flags = bytes[10];
    std::copy(bytes + 12, bytes + 20, frame->data.begin());
    return true;
}

}  // namespace wire::gs_usb
