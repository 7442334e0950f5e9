#include "virtual_bus/bit_timing.h"

#include <gtest/gtest.h>

#include <iterator>
#include <vector>

namespace vbus {
namespace {

TEST(BitTiming, Crc15OfShortSequencesWorkedByHand) {
    // One recessive bit shifts the polynomial in; a following 0 shifts it once more and, with
    // the top bit set, XORs it again: (0x4599 << 1 & 0x7FFF) ^ 0x4599 = 0x4EAB.
    EXPECT_EQ(Crc15({}), 0u);
    EXPECT_EQ(Crc15({0, 0, 0, 0}), 0u);
    EXPECT_EQ(Crc15({1}), 0x4599u);
    EXPECT_EQ(Crc15({1, 0}), 0x4EABu);
}

TEST(BitTiming, StuffBitsCountTowardsTheNextRun) {
    struct Case {
        std::vector<std::uint8_t> bits;
        int stuffed;
    };
    const std::vector<Case> cases = {
        {{1, 1, 1, 1}, 0},
        {{1, 1, 1, 1, 1}, 1},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2},
        // 5 ones, stuff 0, then 4 zeros make a run of five with the stuff bit: stuff again.
        {{1, 1, 1, 1, 1, 0, 0, 0, 0}, 2},
        {{1, 0, 1, 0, 1, 0, 1, 0, 1, 0}, 0},
        {{1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1}, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StuffBitCount(c.bits), c.stuffed) << ::testing::PrintToString(c.bits);
    }
}

TEST(BitTiming, FrameLayoutBeforeStuffing) {
    Frame extended;
    extended.id = 0x18EEFF00;
    extended.extended = true;
    extended.length = 8;
    const std::vector<std::uint8_t> bits = FrameBitsBeforeStuffing(extended);
    ASSERT_EQ(bits.size(), 118u);  // 1 + 11 + 1 + 1 + 18 + 3 + 4 + 64 + 15
    EXPECT_EQ(bits[0], 0);         // SOF
    std::uint32_t base = 0;
    for (int i = 1; i <= 11; ++i) {
        base = base << 1 | bits[static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(base, 0x18EEFF00u >> 18);
    EXPECT_EQ(bits[12], 1);  // SRR
    EXPECT_EQ(bits[13], 1);  // IDE
    std::uint32_t low = 0;
    for (int i = 14; i < 32; ++i) {
        low = low << 1 | bits[static_cast<std::size_t>(i)];
    }
    EXPECT_EQ(low, 0x18EEFF00u & 0x3FFFFu);
    EXPECT_EQ(bits[32], 0);  // RTR: data frame
    const std::vector<std::uint8_t> dlc(bits.begin() + 35, bits.begin() + 39);
    EXPECT_EQ(dlc, (std::vector<std::uint8_t>{1, 0, 0, 0}));

    Frame standard;
    standard.id = 0x123;
    standard.length = 2;
    EXPECT_EQ(FrameBitsBeforeStuffing(standard).size(), 34u + 16u);
}

TEST(BitTiming, LengthsOfKnownFrames) {
    // Standard frame, identifier 0, no data: 19 dominant bits and a CRC of 0 make 34 dominant
    // bits from SOF to CRC end: a stuff bit after each five, 6 in all. 34 + 6 + 1 (CRC
    // delimiter) + 2 (ACK) + 7 (EOF) + 3 (intermission) = 53.
    Frame zero;
    EXPECT_EQ(FrameBitLength(zero), 53);

    // Extended frame with 8 bytes: 118 + 13 = 131 bits without stuffing; stuffing adds at most
    // one bit per four after the first five, so never more than 131 + 28.
    Frame claim;
    claim.id = 0x18EEFF00;
    claim.extended = true;
    claim.length = 8;
    claim.data = {0x00, 0x00, 0x60, 0x37, 0x00, 0x00, 0x00, 0x80};
    const std::vector<std::uint8_t> bits = FrameBitsBeforeStuffing(claim);
    EXPECT_EQ(FrameBitLength(claim), 131 + StuffBitCount(bits));
    EXPECT_GT(FrameBitLength(claim), 131);  // its long runs of zero bytes need stuffing
    EXPECT_LE(FrameBitLength(claim), 159);

    Frame alternating = claim;
    alternating.data = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    EXPECT_GE(FrameBitLength(alternating), 131);
    EXPECT_LT(FrameBitLength(alternating), FrameBitLength(claim));
}

// Arbitration: base identifier first, then a standard frame before an extended one.
TEST(BitTiming, ArbitrationKeyOrder) {
    const Frame order[] = {{0x0FF, false, 0, {}},     {0x03FFFFFF, true, 0, {}},
                           {0x100, false, 0, {}},     {0x04000000, true, 0, {}},
                           {0x04000001, true, 0, {}}, {0x101, false, 0, {}}};
    for (std::size_t i = 1; i < std::size(order); ++i) {
        EXPECT_LT(ArbitrationKey(order[i - 1]), ArbitrationKey(order[i])) << i;
    }
}

}  // namespace
}  // namespace vbus
