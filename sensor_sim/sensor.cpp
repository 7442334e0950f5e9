#include "sensor_sim/sensor.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string_view>

namespace sensor_sim {
namespace {

using Bytes8 = std::array<std::uint8_t, 8>;

constexpr Bytes8 kCheckRequest = {0xE0, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
constexpr Bytes8 kStartRequest = {0xF0, 0xFF, 0xFF, 0x80, 0x42, 0x4F, 0x4F, 0x54};
constexpr std::string_view kBootBegin = "BOOT_BEG";
constexpr std::string_view kBootEnd = "BOOT_END";
constexpr std::string_view kRebootMe = "REBOOTME";
constexpr std::uint8_t kVersionQuery = 0x56;  // "V"
constexpr std::uint8_t kEraseCommand = 0x45;  // "E"

// Other nodes of the bus segment.
constexpr std::uint64_t kContenderNameBase = 0x00102C0000001000;  // not arbitrary-address capable
constexpr std::uint8_t kDiagnosticNode = 0x22;                    // sends DM1 in the background
constexpr std::uint8_t kFloodNode = 0x17;
constexpr std::uint32_t kMaxFloodBurst = 256;  // frames per wake; a late wake skips the rest

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

bool DataIs(const CanFrame& frame, std::string_view text) {
    return frame.length == text.size() &&
           std::equal(text.begin(), text.end(), frame.data.begin(),
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

bool DataIs(const CanFrame& frame, const Bytes8& bytes) {
    return frame.length == 8 && frame.data == bytes;
}

CanFrame Extended(std::uint32_t id, std::span<const std::uint8_t> bytes) {
    CanFrame frame;
    frame.id = id;
    frame.extended = true;
    frame.length = static_cast<std::uint8_t>(std::min<std::size_t>(bytes.size(), 8));
    std::copy_n(bytes.begin(), frame.length, frame.data.begin());
    return frame;
}

std::uint32_t BigEndian32(const std::uint8_t* bytes) {
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

}  // namespace

std::string ToString(Mode mode) {
    switch (mode) {
        case Mode::kOff:
            return "off";
        case Mode::kApplication:
            return "application";
        case Mode::kStartingBootloader:
            return "starting bootloader";
        case Mode::kBootloader:
            return "bootloader";
        case Mode::kPowerLost:
            return "power lost";
    }
    return "?";
}

Sensor::Sensor(Config config) : config_(std::move(config)), flash_(config_.flash) {
    application_valid_ = !config_.faults.start_in_bootloader;
    if (config_.faults.contend_up_to) {
        for (unsigned a = 0; a <= *config_.faults.contend_up_to && a <= 253; ++a) {
            if (a != config_.address) {
                contenders_.push_back({static_cast<std::uint8_t>(a), kContenderNameBase + a});
            }
        }
    }
    if (config_.faults.contend_bootloader_address && config_.address != kBootloaderAddress) {
        const bool already = std::any_of(contenders_.begin(), contenders_.end(),
                                         [](auto& c) { return c.address == kBootloaderAddress; });
        if (!already) {
            contenders_.push_back({kBootloaderAddress, kContenderNameBase + kBootloaderAddress});
        }
    }
}

CanFrame Sensor::AddressClaimed(std::uint8_t source, std::uint64_t name) const {
    const J1939Id j{6, kPgnAddressClaimed, kGlobalAddress, source};
    return Extended(EncodeJ1939(j), NameBytes(name));
}

void Sensor::Start(Micros now, Output& out) {
    for (const auto& c : contenders_) {
        out.frames.push_back(AddressClaimed(c.address, c.name));
    }
    if (!contenders_.empty()) {
        out.notices.push_back({NoticeKind::kFault,
                               std::to_string(contenders_.size()) + " other nodes hold addresses"});
    }
    if (config_.faults.background_period.count() > 0) {
        next_background_ = now + config_.faults.background_period;
    }
    if (config_.faults.flood_rate > 0) {
        flood_start_ = now;
        flood_sent_ = 0;
    }
    PowerOn(now, out);
}

void Sensor::PowerOff(Micros /*now*/, Output& out) {
    if (mode_ == Mode::kOff) {
        return;
    }
    mode_ = Mode::kOff;
    address_held_ = false;
    bootloader_at_.reset();
    erase_.reset();
    stream_open_ = false;
    zero_blocks_pending_ = 0;
    out.notices.push_back({NoticeKind::kPower, "power off"});
}

void Sensor::PowerOn(Micros /*now*/, Output& out) {
    if (mode_ != Mode::kOff) {
        return;
    }
    out.notices.push_back({NoticeKind::kPower, "power on"});
    version_queries_answered_ = 0;
    Boot(out);
}

void Sensor::Boot(Output& out) {
    bootloader_at_.reset();
    erase_.reset();
    stream_open_ = false;
    zero_blocks_pending_ = 0;
    if (application_valid_) {
        StartApplication(out);
    } else {
        StartBootloaderNow(out, " (no valid application)");
    }
}

void Sensor::StartApplication(Output& out) {
    mode_ = Mode::kApplication;
    address_held_ = true;
    out.frames.push_back(AddressClaimed(config_.address, config_.name));
    out.notices.push_back({NoticeKind::kApplication,
                           "application started, address " + Hex(config_.address, 2) + " claimed"});
}

void Sensor::StartBootloaderNow(Output& out, const std::string& why) {
    mode_ = Mode::kBootloader;
    address_held_ = false;
    out.notices.push_back({NoticeKind::kBootloader, "bootloader started" + why});
}

std::optional<Micros> Sensor::NextWake() const {
    std::optional<Micros> wake;
    auto consider = [&wake](std::optional<Micros> t) {
        if (t && (!wake || *t < *wake)) {
            wake = t;
        }
    };
    consider(bootloader_at_);
    if (erase_) {
        consider(erase_->done_at);
    }
    consider(next_background_);
    if (flood_start_) {
        const auto rate = config_.faults.flood_rate;
        consider(*flood_start_ + Micros((flood_sent_ + 1) * 1'000'000 / rate));
    }
    return wake;
}

void Sensor::OnTimer(Micros now, Output& out) {
    RunTimers(now, out);
}

void Sensor::RunTimers(Micros now, Output& out) {
    if (bootloader_at_ && *bootloader_at_ <= now) {
        bootloader_at_.reset();
        StartBootloaderNow(out, "");
    }
    if (erase_ && erase_->done_at <= now) {
        const PendingErase erase = *erase_;
        erase_.reset();
        const std::uint32_t name = erase.sector == 0 ? Flash::kSector1Name : Flash::kSector2Name;
        if (config_.faults.no_erase_ack) {
            out.notices.push_back({NoticeKind::kFault,
                                   "sector " + Hex(name, 8) + " erased, acknowledgement withheld"});
        } else {
            out.notices.push_back({NoticeKind::kErase, "sector " + Hex(name, 8) + " erased"});
            out.frames.push_back(
                Extended(erase.request.id, std::span(erase.request.data).subspan(1, 4)));
        }
    }
    if (next_background_ && *next_background_ <= now) {
        EmitBackground(now, out);
    }
    if (flood_start_) {
        EmitFlood(now, out);
    }
}

void Sensor::OnFrame(const CanFrame& received, Micros now, Output& out) {
    RunTimers(now, out);
    CanFrame frame = received;
    frame.length = std::min<std::uint8_t>(frame.length, 8);
    if (frame.extended) {
        // The other nodes are powered whatever the sensor's state.
        HandleJ1939(frame, now, out);
        if ((frame.id & ~0xF00u) == kCommandChannelBase && mode_ == Mode::kBootloader) {
            HandleCommandChannel(frame, now, out);
        }
    }
    RunTimers(now, out);
}

void Sensor::HandleJ1939(const CanFrame& frame, Micros now, Output& out) {
    const J1939Id j = DecodeJ1939(frame.id);
    if (j.pgn == kPgnAddressClaimed) {
        const std::uint64_t name = NameFromFrame(frame);
        for (auto& c : contenders_) {
            if (!c.holds_address || c.address != j.source) {
                continue;
            }
            if (name < c.name) {
                c.holds_address = false;
                out.frames.push_back(AddressClaimed(kNullAddress, c.name));
                out.notices.push_back(
                    {NoticeKind::kFault, "other node lost address " + Hex(c.address, 2)});
            } else if (name > c.name) {
                out.frames.push_back(AddressClaimed(c.address, c.name));
            }
        }
    } else if (j.pgn == kPgnRequest && frame.length >= 3) {
        const std::uint32_t requested = frame.data[0] | (std::uint32_t{frame.data[1]} << 8) |
                                        (std::uint32_t{frame.data[2]} << 16);
        if (requested == kPgnAddressClaimed) {
            for (const auto& c : contenders_) {
                if (c.holds_address &&
                    (j.destination == kGlobalAddress || j.destination == c.address)) {
                    out.frames.push_back(AddressClaimed(c.address, c.name));
                }
            }
        }
    }
    if (mode_ == Mode::kApplication) {
        HandleApplicationFrame(frame, j, now, out);
    }
}

void Sensor::HandleApplicationFrame(const CanFrame& frame, const J1939Id& j, Micros now,
                                    Output& out) {
    if (j.pgn == kPgnAddressClaimed) {
        if (address_held_ && j.source == config_.address) {
            HandleClaimForApplication(NameFromFrame(frame), out);
        }
        return;
    }
    if (!address_held_) {
        return;  // a node without an address takes no part in J1939 traffic
    }
    if (j.pgn == kPgnRequest && frame.length >= 3 && frame.data[0] == 0x00 &&
        frame.data[1] == 0xEE && frame.data[2] == 0x00 &&
        (j.destination == kGlobalAddress || j.destination == config_.address)) {
        out.frames.push_back(AddressClaimed(config_.address, config_.name));
        return;
    }
    // Requests need a requester that has an address to be answered at.
    if (j.pgn != kPgnProprietaryA || j.destination != config_.address || j.source >= kNullAddress) {
        return;
    }
    if (DataIs(frame, kCheckRequest)) {
        if (config_.faults.no_check_reply) {
            out.notices.push_back({NoticeKind::kFault, "sensor check not answered"});
            return;
        }
        const Bytes8 reply = {0xE0, 0x14, 0x00, 0x01, config_.check_status, 0xFF, 0xFF, 0xFF};
        const J1939Id r{6, kPgnProprietaryA, j.source, config_.address};
        out.frames.push_back(Extended(EncodeJ1939(r), reply));
    } else if (DataIs(frame, kStartRequest)) {
        if (config_.faults.no_bootloader) {
            out.notices.push_back({NoticeKind::kFault, "start request ignored"});
            return;
        }
        mode_ = Mode::kStartingBootloader;
        address_held_ = false;
        bootloader_at_ = now + config_.boot_delay;
        out.notices.push_back(
            {NoticeKind::kBootloader,
             "start request from " + Hex(j.source, 2) + ", bootloader starting in " +
                 std::to_string(
                     std::chrono::duration_cast<std::chrono::milliseconds>(config_.boot_delay)
                         .count()) +
                 " ms"});
    }
}

void Sensor::HandleClaimForApplication(std::uint64_t name, Output& out) {
    if (name < config_.name) {
        address_held_ = false;
        out.frames.push_back(AddressClaimed(kNullAddress, config_.name));
        out.notices.push_back(
            {NoticeKind::kApplication, "address " + Hex(config_.address, 2) + " lost"});
    } else if (name > config_.name) {
        out.frames.push_back(AddressClaimed(config_.address, config_.name));
    }
}

void Sensor::HandleCommandChannel(const CanFrame& frame, Micros now, Output& out) {
    if (erase_) {
        return;  // busy erasing: the request is lost
    }
    const int channel = static_cast<int>((frame.id >> 8) & 0xF);
    if (channel == kCommandChannel) {
        HandleCommand(frame, now, out);
    } else if (channel == kDataChannel && frame.length == 8) {
        HandleBlock(frame, out);
    }
}

void Sensor::HandleCommand(const CanFrame& frame, Micros now, Output& out) {
    if (frame.length == 1 && frame.data[0] == kVersionQuery) {
        if (config_.faults.version_answers != 0 &&
            version_queries_answered_ >= config_.faults.version_answers) {
            return;  // the fault: later queries go unanswered
        }
        ++version_queries_answered_;
        out.frames.push_back(Extended(
            frame.id, std::span(reinterpret_cast<const std::uint8_t*>(config_.version.data()),
                                std::min<std::size_t>(config_.version.size(), 8))));
    } else if (frame.length == 5 && frame.data[0] == kEraseCommand) {
        const std::uint32_t address = BigEndian32(&frame.data[1]);
        const auto sector = Flash::SectorNamed(address);
        if (!sector) {
            out.notices.push_back(
                {NoticeKind::kRefused, "erase of " + Hex(address, 8) + " refused: no such sector"});
            return;
        }
        flash_.Erase(*sector);
        application_valid_ = false;
        erased_since_programming_ |= 1u << *sector;
        stream_erased_ = stream_erased_ || stream_open_;  // what the stream wrote may be gone
        ++erases_requested_;
        if (config_.faults.power_loss_at_erase == erases_requested_ && !power_loss_spent_) {
            LosePower("power lost while erasing sector " + Hex(address, 8), out);
            return;
        }
        erase_ = PendingErase{*sector, now + config_.erase_time, frame};
    } else if (DataIs(frame, kBootBegin)) {
        HandleBeginStream(frame, out);
    } else if (DataIs(frame, kBootEnd)) {
        HandleEndStream(frame, out);
    } else if (DataIs(frame, kRebootMe)) {
        out.notices.push_back({NoticeKind::kBootloader, "reboot requested"});
        Boot(out);
    }
}

void Sensor::HandleBeginStream(const CanFrame& frame, Output& out) {
    stream_open_ = true;
    stream_failed_ = false;
    stream_on_blank_ = erased_since_programming_ == 0b11;
    stream_erased_ = false;
    write_offset_ = 0;
    blocks_received_ = 0;
    zero_blocks_pending_ = 0;
    if (config_.faults.no_begin_echo) {
        out.notices.push_back({NoticeKind::kFault, "stream begun, BOOT_BEG not echoed"});
        return;
    }
    out.notices.push_back({NoticeKind::kStreamBegun, "stream begun"});
    out.frames.push_back(frame);
}

Flash::ProgramResult Sensor::ProgramNext(std::span<const std::uint8_t, 8> bytes) {
    const auto result = flash_.Program(write_offset_, bytes);
    if (result == Flash::ProgramResult::kOk) {
        write_offset_ += 8;
        erased_since_programming_ = 0;
    }
    return result;
}

void Sensor::HandleBlock(const CanFrame& frame, Output& out) {
    if (!stream_open_) {
        out.notices.push_back({NoticeKind::kRefused, "block ignored, no stream open"});
        return;
    }
    ++blocks_received_;
    const std::uint32_t n = blocks_received_;
    const Faults& faults = config_.faults;
    if (faults.silent_from_block == n && !power_loss_spent_) {
        LosePower("power lost at block " + std::to_string(n), out);
        return;
    }
    const Bytes8 zeros{};
    const bool all_zero = frame.data == zeros;
    if (all_zero) {
        ++zero_blocks_pending_;
    } else {
        // The zero blocks before this one were image data after all.
        while (zero_blocks_pending_ > 0) {
            if (ProgramNext(zeros) != Flash::ProgramResult::kOk) {
                break;
            }
            --zero_blocks_pending_;
        }
        const auto result =
            zero_blocks_pending_ > 0 ? Flash::ProgramResult::kNotErased : ProgramNext(frame.data);
        if (result != Flash::ProgramResult::kOk) {
            stream_failed_ = true;
            out.notices.push_back(
                {NoticeKind::kRefused,
                 "block " + std::to_string(n) + " refused at " +
                     Hex(Flash::kBaseAddress + write_offset_, 8) +
                     (result == Flash::ProgramResult::kOutside ? ": outside the flash"
                                                               : ": not erased")});
            return;
        }
    }
    CanFrame echo = frame;
    if (faults.no_echo_block == n) {
        out.notices.push_back({NoticeKind::kFault, "block " + std::to_string(n) + " not echoed"});
        return;
    }
    if (faults.wrong_echo_block == n || (all_zero && faults.wrong_terminator_echo)) {
        echo.data[7] ^= 0x01;
        out.notices.push_back({NoticeKind::kFault, "block " + std::to_string(n) + " echoed wrong"});
    }
    out.frames.push_back(echo);
}

void Sensor::HandleEndStream(const CanFrame& frame, Output& out) {
    if (!stream_open_) {
        out.notices.push_back({NoticeKind::kRefused, "BOOT_END ignored, no stream open"});
        return;
    }
    const bool terminated = zero_blocks_pending_ > 0;
    const Bytes8 zeros{};
    // Every zero block but the last was image data; the last is the terminating block.
    while (zero_blocks_pending_ > 1) {
        if (ProgramNext(zeros) != Flash::ProgramResult::kOk) {
            stream_failed_ = true;
            break;
        }
        --zero_blocks_pending_;
    }
    zero_blocks_pending_ = 0;
    stream_open_ = false;
    // Valid only when the flash holds this one whole stream, written after both erases: the
    // echo below does not depend on it.
    application_valid_ = terminated && !stream_failed_ && stream_on_blank_ && !stream_erased_;
    std::string text = "stream ended, " + std::to_string(write_offset_) + " bytes programmed";
    if (!terminated) {
        text += ", no terminating block";
    } else if (stream_failed_) {
        text += ", blocks refused";
    } else if (!stream_on_blank_) {
        text += ", begun without both sectors erased";
    } else if (stream_erased_) {
        text += ", erased during the stream";
    }
    if (!application_valid_) {
        text += ": application not valid";
    }
    const bool lose_power = config_.faults.power_loss_at_end && !power_loss_spent_;
    if (config_.faults.no_end_echo) {
        text += ", BOOT_END not echoed";
    } else if (!lose_power) {
        out.frames.push_back(frame);
    }
    out.notices.push_back({NoticeKind::kStreamEnded, text});
    if (lose_power) {
        LosePower("power lost before the BOOT_END echo", out);
    }
}

void Sensor::LosePower(const std::string& why, Output& out) {
    power_loss_spent_ = true;
    mode_ = Mode::kPowerLost;
    stream_open_ = false;
    erase_.reset();
    out.notices.push_back({NoticeKind::kFault, why + ", silent until power-cycled"});
}

void Sensor::EmitBackground(Micros now, Output& out) {
    // Traffic that a loader must pass over: the application's status broadcast, a diagnostic
    // message of another node, an 11-bit frame, a command-channel frame on a channel the loader
    // does not use, and one on channel 2 at the wrong priority.
    constexpr int kKinds = 5;
    const auto counter = static_cast<std::uint8_t>(background_index_ / kKinds);
    const Bytes8 payload = {counter, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    switch (background_index_ % kKinds) {
        case 0:
            if (mode_ == Mode::kApplication && address_held_) {
                out.frames.push_back(
                    Extended(EncodeJ1939({6, 0xFF10, kGlobalAddress, config_.address}), payload));
            }
            break;
        case 1:
            out.frames.push_back(
                Extended(EncodeJ1939({6, 0xFECA, kGlobalAddress, kDiagnosticNode}), payload));
            break;
        case 2: {
            CanFrame standard = Extended(0x1A0, payload);
            standard.extended = false;
            out.frames.push_back(standard);
            break;
        }
        case 3:
            out.frames.push_back(Extended(CommandChannelId(5), payload));
            break;
        case 4:
            out.frames.push_back(Extended(CommandChannelId(kCommandChannel) | (3u << 26), payload));
            break;
    }
    ++background_index_;
    // A late wake does not make up for the periods missed.
    *next_background_ += config_.faults.background_period;
    if (*next_background_ <= now) {
        next_background_ = now + config_.faults.background_period;
    }
}

void Sensor::EmitFlood(Micros now, Output& out) {
    const std::uint64_t rate = config_.faults.flood_rate;
    const auto elapsed =
        static_cast<std::uint64_t>(std::max<std::int64_t>(0, (now - *flood_start_).count()));
    const std::uint64_t due = elapsed * rate / 1'000'000;
    std::uint64_t burst = 0;
    while (flood_sent_ < due && burst < kMaxFloodBurst) {
        const auto n = static_cast<std::uint8_t>(flood_sent_);
        const Bytes8 payload = {n, 0xF1, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
        CanFrame frame = Extended(EncodeJ1939({3, 0xFEF1, kGlobalAddress, kFloodNode}), payload);
        if (flood_sent_ % 2 == 1) {
            frame.id = 0x0F0;
            frame.extended = false;
        }
        out.frames.push_back(frame);
        ++flood_sent_;
        ++burst;
    }
    flood_sent_ = std::max(flood_sent_, due);  // frames beyond one burst are skipped
}

std::string Sensor::Status() const {
    std::string s = "mode " + ToString(mode_);
    if (mode_ == Mode::kApplication) {
        s += address_held_ ? ", address " + Hex(config_.address, 2) : ", no address";
    }
    s += application_valid_ ? ", application valid" : ", application not valid";
    if (erase_) {
        s += ", erasing";
    }
    if (stream_open_) {
        s += ", stream open (" + std::to_string(blocks_received_) + " blocks received)";
    }
    s += ", " + std::to_string(write_offset_) + " bytes programmed in the last stream";
    return s;
}

}  // namespace sensor_sim
