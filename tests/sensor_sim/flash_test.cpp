#include "sensor_sim/flash.h"

#include <gtest/gtest.h>

#include <array>

namespace sensor_sim {
namespace {

using Result = Flash::ProgramResult;
constexpr std::array<std::uint8_t, 8> kBlock = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(FlashTest, ProgramsOnlyErasedBytesInsideTheRegion) {
    struct Case {
        const char* name;
        bool erase_first, erase_second;
        std::uint32_t offset;
        Result result;
    };
    const Case cases[] = {
        {"factory content", false, false, 0, Result::kNotErased},
        {"erased first sector", true, false, 0, Result::kOk},
        {"last block of the first sector", true, false, 24, Result::kOk},
        {"second sector not erased", true, false, 32, Result::kNotErased},
        {"straddles into an unerased sector", true, false, 28, Result::kNotErased},
        {"straddles two erased sectors", true, true, 28, Result::kOk},
        {"last block of the region", true, true, 56, Result::kOk},
        {"past the end", true, true, 57, Result::kOutside},
        {"far past the end", true, true, 0xFFFFFFFC, Result::kOutside},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Flash flash({32, 32});
        if (c.erase_first)
            flash.Erase(0);
        if (c.erase_second)
            flash.Erase(1);
        const auto before =
            std::vector<std::uint8_t>(flash.Content().begin(), flash.Content().end());
        ASSERT_EQ(flash.Program(c.offset, kBlock), c.result);
        const auto after = flash.Content();
        if (c.result == Result::kOk) {
            EXPECT_TRUE(std::equal(kBlock.begin(), kBlock.end(), after.begin() + c.offset));
            // Programming the same bytes again is refused: they are no longer erased.
            EXPECT_EQ(flash.Program(c.offset, kBlock), Result::kNotErased);
        } else {
            EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin()));
        }
    }
}

TEST(FlashTest, ProgrammedExtentFollowsWritesAndErasures) {
    Flash flash({32, 32});
    EXPECT_EQ(flash.Programmed().size(), 64u);  // the factory application fills both sectors
    flash.Erase(0);
    flash.Erase(1);
    EXPECT_EQ(flash.Programmed().size(), 0u);
    ASSERT_EQ(flash.Program(0, kBlock), Result::kOk);
    ASSERT_EQ(flash.Program(40, kBlock), Result::kOk);
    EXPECT_EQ(flash.Programmed().size(), 48u);
    EXPECT_EQ(flash.Programmed()[8], 0xFF);  // the gap stays erased
    flash.Erase(1);
    EXPECT_EQ(flash.Programmed().size(), 8u);
}

TEST(FlashTest, SectorsAreNamedByTheirEraseAddress) {
    EXPECT_EQ(Flash::SectorNamed(0x08010000), 0);
    EXPECT_EQ(Flash::SectorNamed(0x08020000), 1);
    EXPECT_FALSE(Flash::SectorNamed(0x08030000));
    EXPECT_FALSE(Flash::SectorNamed(0x08010008));
}

}  // namespace
}  // namespace sensor_sim
