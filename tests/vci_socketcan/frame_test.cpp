// Conversions between our frame record and the kernel's 16-byte struct can_frame.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "vci/socketcan/socketcan.h"

namespace vci::socketcan {
namespace {

using Wire = std::array<uint8_t, kCanFrameSize>;

RawFrame Make(uint32_t id, bool extended, bool remote, bool error, uint8_t length,
              std::initializer_list<uint8_t> data) {
    RawFrame f;
    f.id = id;
    f.extended = extended;
    f.remote = remote;
    f.error = error;
    f.length = length;
    size_t i = 0;
    for (uint8_t b : data) {
        f.data[i++] = b;
    }
    return f;
}

class FrameBytes : public ::testing::Test {
  protected:
    void SetUp() override {
        if constexpr (std::endian::native != std::endian::little) {
            GTEST_SKIP() << "expected bytes are written for a little-endian host";
        }
    }
};

TEST_F(FrameBytes, ToKernelFrame) {
    struct Case {
        const char* name;
        RawFrame frame;
        Wire wire;
    };
    const Case cases[] = {
        {"11-bit data",
         Make(0x123, false, false, false, 3, {0xAA, 0xBB, 0xCC, 0xDD}),
         {0x23, 0x01, 0, 0, 3, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0}},
        {"29-bit data",
         Make(0x18EEFFB1, true, false, false, 8, {1, 2, 3, 4, 5, 6, 7, 8}),
         {0xB1, 0xFF, 0xEE, 0x98, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"11-bit id masked to 11 bits",
         Make(0xFFF, false, false, false, 0, {}),
         {0xFF, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"29-bit id masked to 29 bits, flag bits of the caller ignored",
         Make(0xFFFFFFFF, true, false, false, 1, {0x55}),
         {0xFF, 0xFF, 0xFF, 0x9F, 1, 0, 0, 0, 0x55, 0, 0, 0, 0, 0, 0, 0}},
        {"11-bit remote: length kept, no data",
         Make(0x100, false, true, false, 4, {9, 9, 9, 9}),
         {0x00, 0x01, 0, 0x40, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"29-bit remote",
         Make(0x1234, true, true, false, 0, {}),
         {0x34, 0x12, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"length 12 clamped to 8",
         Make(0x7FF, false, false, false, 12, {1, 2, 3, 4, 5, 6, 7, 8}),
         {0xFF, 0x07, 0, 0, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"length 0 sends no data",
         Make(0x18EF0000, true, false, false, 0, {1, 2, 3}),
         {0x00, 0x00, 0xEF, 0x98, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"error frame",
         Make(0x004, false, false, true, 8, {0, 0x04}),
         {0x04, 0, 0, 0x20, 8, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Wire wire;
        wire.fill(0xEE);
        ToCanFrame(c.frame, wire.data());
        EXPECT_EQ(wire, c.wire) << c.name;
    }
}

TEST_F(FrameBytes, FromKernelFrame) {
    struct Case {
        const char* name;
        Wire wire;
        RawFrame frame;
    };
    const Case cases[] = {
        {"11-bit data",
         {0x23, 0x01, 0, 0, 2, 0, 0, 0, 0x11, 0x22, 0, 0, 0, 0, 0, 0},
         Make(0x123, false, false, false, 2, {0x11, 0x22})},
        {"29-bit data",
         {0xB1, 0xF2, 0xFF, 0x98, 8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
         Make(0x18FFF2B1, true, false, false, 8, {1, 2, 3, 4, 5, 6, 7, 8})},
        {"11-bit remote",
         {0x55, 0x05, 0, 0x40, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         Make(0x555, false, true, false, 5, {})},
        {"29-bit remote",
         {0x01, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         Make(0x1, true, true, false, 0, {})},
        {"error frame: class bits in id",
         {0x44, 0, 0, 0x20, 8, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0},
         Make(0x44, false, false, true, 8, {0, 0x10})},
        {"length 15 read as 8",
         {0x10, 0, 0, 0, 15, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
         Make(0x10, false, false, false, 8, {1, 2, 3, 4, 5, 6, 7, 8})},
        {"bytes past the length are not taken",
         {0x10, 0, 0, 0, 1, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0, 0, 0, 0, 0xA5},
         Make(0x10, false, false, false, 1, {0xA5})},
    };
    for (const Case& c : cases) {
        RawFrame got;
        std::memset(got.data, 0xCC, sizeof got.data);
        got.own = true;
        FromCanFrame(c.wire.data(), &got);
        EXPECT_EQ(got.id, c.frame.id) << c.name;
        EXPECT_EQ(got.extended, c.frame.extended) << c.name;
        EXPECT_EQ(got.remote, c.frame.remote) << c.name;
        EXPECT_EQ(got.error, c.frame.error) << c.name;
        EXPECT_EQ(got.length, c.frame.length) << c.name;
        EXPECT_EQ(0, std::memcmp(got.data, c.frame.data, sizeof got.data)) << c.name;
        // The fields after the data are the receiver's, and a copy past 8 bytes would hit them.
        EXPECT_TRUE(got.own) << c.name;
    }
}

// Out and back gives the frame unchanged, on every identifier width and kind.
TEST(FrameRoundTrip, OutAndBack) {
    const RawFrame frames[] = {
        Make(0x000, false, false, false, 0, {}),
        Make(0x7FF, false, false, false, 8, {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0}),
        Make(0x00FFF2B1, true, false, false, 8, {'B', 'O', 'O', 'T', '_', 'B', 'E', 'G'}),
        Make(0x1FFFFFFF, true, false, false, 3, {1, 2, 3}),
        Make(0x00000000, true, false, false, 1, {7}),  // 29-bit id 0 stays 29-bit
        Make(0x18EAFFFE, true, true, false, 3, {}),
        Make(0x080, false, false, true, 8, {0, 0, 0, 0, 0, 0, 0, 0}),
    };
    for (const RawFrame& sent : frames) {
        uint8_t wire[kCanFrameSize];
        ToCanFrame(sent, wire);
        RawFrame back;
        FromCanFrame(wire, &back);
        EXPECT_EQ(back.id, sent.id);
        EXPECT_EQ(back.extended, sent.extended) << std::hex << sent.id;
        EXPECT_EQ(back.remote, sent.remote) << std::hex << sent.id;
        EXPECT_EQ(back.error, sent.error) << std::hex << sent.id;
        EXPECT_EQ(back.length, sent.length) << std::hex << sent.id;
        EXPECT_EQ(0, std::memcmp(back.data, sent.data, sent.length)) << std::hex << sent.id;
    }
}

}  // namespace
}  // namespace vci::socketcan
