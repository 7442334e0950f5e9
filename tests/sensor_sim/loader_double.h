// A loader in miniature that drives a Sensor the way the real loader drives the bus: the same
// frames, receive filters, budgets and result codes, with time moved forward through the
// sensor's own timers instead of a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sensor_sim/sensor.h"

namespace sensor_sim::testing {

using namespace std::chrono_literals;

inline constexpr std::uint64_t kSoftwareName = 0x8000000037600000;
inline constexpr std::uint64_t kBootloaderName = 0x8000000000000000;

inline CanFrame Ext(std::uint32_t id, std::vector<std::uint8_t> bytes) {
    CanFrame f;
    f.id = id;
    f.extended = true;
    f.length = static_cast<std::uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data.begin());
    return f;
}

inline std::vector<std::uint8_t> Text(std::string_view s) {
    return {s.begin(), s.end()};
}

inline CanFrame Command(std::vector<std::uint8_t> bytes, int channel = kCommandChannel) {
    return Ext(CommandChannelId(channel), std::move(bytes));
}

inline bool IsCommandChannel(const CanFrame& f, int channel) {
    return f.extended && (f.id & 0x1FFFF0FF) == kCommandChannelBase &&
           static_cast<int>((f.id >> 8) & 0xF) == channel;
}

class LoaderDouble {
  public:
    explicit LoaderDouble(Sensor& sensor, Micros now = Micros(0)) : sensor_(sensor), now_(now) {}

    // Sends a frame and waits up to `budget` for the first frame the sensor sends that `match`
    // accepts; frames that do not match are dropped, as the loader's filtered receive does.
    std::optional<CanFrame> Exchange(const CanFrame& request, Micros budget,
                                     const std::function<bool(const CanFrame&)>& match) {
        Output out;
        sensor_.OnFrame(request, now_, out);
        if (auto reply = Take(out, match)) {
            return reply;
        }
        const Micros deadline = now_ + budget;
        while (true) {
            const auto wake = sensor_.NextWake();
            if (!wake || *wake > deadline) {
                now_ = deadline;
                return std::nullopt;
            }
            now_ = std::max(now_, *wake);
            sensor_.OnTimer(now_, out);
            if (auto reply = Take(out, match)) {
                return reply;
            }
        }
    }

    // A command-channel exchange: the reply on the request's channel, at most 500 frames of
    // other channels skipped.
    std::optional<CanFrame> Transact(const CanFrame& request, Micros budget = 100ms) {
        const int channel = static_cast<int>((request.id >> 8) & 0xF);
        int others = 0;
        std::optional<CanFrame> reply = Exchange(request, budget, [&](const CanFrame& f) {
            if (!IsCommandChannel(f, static_cast<int>((f.id >> 8) & 0xF))) {
                return false;
            }
            if (static_cast<int>((f.id >> 8) & 0xF) == channel) {
                return true;
            }
            return ++others >= 500;
        });
        if (reply && !IsCommandChannel(*reply, channel)) {
            return std::nullopt;
        }
        return reply;
    }

    bool Echoed(const CanFrame& request, Micros budget = 100ms) {
        const auto reply = Transact(request, budget);
        return reply && reply->length == request.length && reply->data == request.data;
    }

    // True when the address is won.
    bool Claim(std::uint8_t address, std::uint64_t name) {
        const auto bytes = NameBytes(name);
        const auto reply =
            Exchange(Ext(0x18EEFF00u + address, {bytes.begin(), bytes.end()}), 250ms,
                     [&](const CanFrame& f) {
                         const J1939Id j = DecodeJ1939(f.id);
                         return f.extended && j.pgn == kPgnAddressClaimed && j.source == address;
                     });
        return !reply || NameFromFrame(*reply) >= name;
    }

    // The load sequence; returns the loader's result code.
    int Load(const std::vector<std::uint8_t>& image, std::uint8_t target = 0xC3) {
        acknowledged = 0;
        rebooted = false;
        int software = -1;
        for (int a = 0; a <= 253 && software < 0; ++a) {
            if (Claim(static_cast<std::uint8_t>(a), kSoftwareName)) {
                software = a;
            }
        }
        if (software < 0) {
            return -11;
        }
        software_address = static_cast<std::uint8_t>(software);
        if (!Claim(kBootloaderAddress, kBootloaderName)) {
            return -12;
        }
        const CanFrame version_query = Command({0x56});
        if (Transact(version_query)) {
            if (target != 0) {
                return -9;
            }
        } else {
            const std::uint32_t request_id = 0x18EF0000u + target * 0x100u + software_address;
            const auto reply = Exchange(Ext(request_id, {0xE0, 0x14, 0x00, 0x01, 0, 0, 0, 0}),
                                        100ms, [&](const CanFrame& f) {
                                            const J1939Id j = DecodeJ1939(f.id);
                                            return f.extended && j.pgn == kPgnProprietaryA &&
                                                   j.destination == software_address &&
                                                   j.source == target;
                                        });
            if (!reply) {
                return -1;
            }
            Output ignored;
            sensor_.OnFrame(Ext(request_id, {0xF0, 0xFF, 0xFF, 0x80, 0x42, 0x4F, 0x4F, 0x54}), now_,
                            ignored);
            bool answered = false;
            for (int attempt = 0; attempt < 41 && !answered; ++attempt) {
                answered = Transact(version_query).has_value();
            }
            if (!answered) {
                return -4;
            }
        }
        const auto version = Transact(version_query);
        if (!version) {
            return -4;
        }
        bool reboot = false;
        if (version->length == 8) {
            const std::string text(version->data.begin(), version->data.end());
            if (text == ">VER 7.1") {
                reboot = true;
            } else if (text != ">VER 7.0") {
                return -3;
            }
        }
        for (const std::uint8_t sector : {std::uint8_t{0x01}, std::uint8_t{0x02}}) {
            const auto reply = Transact(Command({0x45, 0x08, sector, 0x00, 0x00}), 2000ms);
            if (!reply || reply->length != 4 ||
                !std::equal(reply->data.begin(), reply->data.begin() + 4,
                            std::vector<std::uint8_t>{0x08, sector, 0, 0}.begin())) {
                return -5;
            }
        }
        if (!Echoed(Command(Text("BOOT_BEG")))) {
            return -6;
        }
        for (std::size_t offset = 0; offset < image.size(); offset += 8) {
            std::vector<std::uint8_t> block(image.begin() + static_cast<long>(offset),
                                            image.begin() + static_cast<long>(offset + 8));
            if (!Echoed(Command(block, kDataChannel))) {
                return -7;
            }
            acknowledged += 8;
        }
        if (!Echoed(Command(std::vector<std::uint8_t>(8, 0), kDataChannel))) {
            return -7;
        }
        if (!Echoed(Command(Text("BOOT_END")))) {
            return -8;
        }
        if (reboot) {
            Output ignored;
            sensor_.OnFrame(Command(Text("REBOOTME")), now_, ignored);
            rebooted = true;
        }
        return 0;
    }

    Micros now() const { return now_; }
    void Advance(Micros by, Output& out) {
        const Micros until = now_ + by;
        while (const auto wake = sensor_.NextWake()) {
            if (*wake > until) {
                break;
            }
            now_ = std::max(now_, *wake);
            sensor_.OnTimer(now_, out);
        }
        now_ = until;
        sensor_.OnTimer(now_, out);
    }

    std::uint32_t acknowledged = 0;  // image bytes echoed in the last load
    std::uint8_t software_address = 0;
    bool rebooted = false;
    std::vector<Notice> notices;  // every notice seen during exchanges

  private:
    std::optional<CanFrame> Take(Output& out, const std::function<bool(const CanFrame&)>& match) {
        std::optional<CanFrame> found;
        for (const auto& f : out.frames) {
            if (!found && match(f)) {
                found = f;
            }
        }
        notices.insert(notices.end(), out.notices.begin(), out.notices.end());
        out.frames.clear();
        out.notices.clear();
        return found;
    }

    Sensor& sensor_;
    Micros now_;
};

}  // namespace sensor_sim::testing
