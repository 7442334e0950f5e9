// The sensor's programmable flash: two erasable sectors holding the application.
//
// Layout. The application region starts at 0x08010000. Its first sector is at 0x08010000 and
// its second sector follows it directly, so the region is one contiguous range that the
// bootloader programs from its start onward. With the real part's sizes (64 KiB + 128 KiB) the
// second sector sits at 0x08020000. The sizes can be set larger (to load bigger images); the
// second sector then starts right after the first in this model, but it is still the one that
// the erase command names 0x08020000: the erase addresses name sectors, they are not offsets.
//
// Flash rules. Erasing sets a whole sector to 0xFF. Programming writes 8 bytes at a time and only
// where all 8 bytes are still erased (0xFF); a block that reaches past the region or onto bytes
// that are not erased is refused and nothing is written. A new part is not blank: both sectors
// hold an older application (a byte pattern without any 0xFF), so a block is only accepted in a
// sector that has been erased.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sensor_sim {

struct FlashLayout {
    std::uint32_t sector1_size = 0x10000;  // 64 KiB
    std::uint32_t sector2_size = 0x20000;  // 128 KiB
};

class Flash {
  public:
    static constexpr std::uint32_t kBaseAddress = 0x08010000;
    // The addresses by which the erase command names the two sectors.
    static constexpr std::uint32_t kSector1Name = 0x08010000;
    static constexpr std::uint32_t kSector2Name = 0x08020000;
    static constexpr int kSectorCount = 2;

    enum class ProgramResult { kOk, kOutside, kNotErased };

    explicit Flash(FlashLayout layout);

    // The sector (0 or 1) that an erase command's address names, if any.
    static std::optional<int> SectorNamed(std::uint32_t address);

    void Erase(int sector);
    // Programs 8 bytes at offset (from the start of the region).
    ProgramResult Program(std::uint32_t offset, std::span<const std::uint8_t, 8> bytes);

    std::uint32_t size() const { return static_cast<std::uint32_t>(bytes_.size()); }
    std::uint32_t SectorOffset(int sector) const { return sector == 0 ? 0 : layout_.sector1_size; }
    std::uint32_t SectorSize(int sector) const {
        return sector == 0 ? layout_.sector1_size : layout_.sector2_size;
    }
    // The whole region, both sectors.
    std::span<const std::uint8_t> Content() const { return bytes_; }
    // The programmed content: from the start of the region up to the last byte programmed since
    // the sector holding it was erased (a sector never erased counts as programmed throughout,
    // it holds the factory application). This is what a flash dump holds.
    std::span<const std::uint8_t> Programmed() const;

  private:
    FlashLayout layout_;
    std::vector<std::uint8_t> bytes_;
    // Per sector: offset within the sector just past the last programmed byte.
    std::uint32_t high_water_[kSectorCount] = {};
};

}  // namespace sensor_sim
