#include "sensor_sim/flash.h"

#include <algorithm>

namespace sensor_sim {

Flash::Flash(FlashLayout layout)
    : layout_(layout), bytes_(static_cast<std::size_t>(layout.sector1_size) + layout.sector2_size) {
    // The factory application: a pattern of bytes 0x00 to 0xFE, never an erased 0xFF.
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        bytes_[i] = static_cast<std::uint8_t>((i * 31 + 7) % 255);
    }
    high_water_[0] = layout_.sector1_size;
    high_water_[1] = layout_.sector2_size;
}

std::optional<int> Flash::SectorNamed(std::uint32_t address) {
    if (address == kSector1Name) {
        return 0;
    }
    if (address == kSector2Name) {
        return 1;
    }
    return std::nullopt;
}

void Flash::Erase(int sector) {
    const auto begin = bytes_.begin() + SectorOffset(sector);
    std::fill(begin, begin + SectorSize(sector), std::uint8_t{0xFF});
    high_water_[sector] = 0;
}

Flash::ProgramResult Flash::Program(std::uint32_t offset, std::span<const std::uint8_t, 8> bytes) {
    if (offset > size() || size() - offset < bytes.size()) {
        return ProgramResult::kOutside;
    }
    const auto target = bytes_.begin() + offset;
    if (!std::all_of(target, target + 8, [](std::uint8_t b) { return b == 0xFF; })) {
        return ProgramResult::kNotErased;
    }
    std::copy(bytes.begin(), bytes.end(), target);
    // A block may straddle the boundary between the sectors.
    for (int s = 0; s < kSectorCount; ++s) {
        const std::uint32_t start = SectorOffset(s);
        const std::uint32_t end = start + SectorSize(s);
        if (offset < end && offset + 8 > start) {
            high_water_[s] = std::max(high_water_[s], std::min(offset + 8, end) - start);
        }
    }
    return ProgramResult::kOk;
}

std::span<const std::uint8_t> Flash::Programmed() const {
    std::uint32_t end = 0;
    for (int s = 0; s < kSectorCount; ++s) {
        if (high_water_[s] != 0) {
            end = SectorOffset(s) + high_water_[s];
        }
    }
    return std::span<const std::uint8_t>(bytes_).first(end);
}

}  // namespace sensor_sim
