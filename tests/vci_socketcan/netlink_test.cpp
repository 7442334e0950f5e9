// The rtnetlink messages that read and set a CAN interface's bit rate, checked byte for byte
// against messages worked out by hand (little-endian host), and the parsing of link replies.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "vci/socketcan/socketcan.h"

namespace vci::socketcan {
namespace {

using Bytes = std::vector<uint8_t>;

class NetlinkBytes : public ::testing::Test {
  protected:
    void SetUp() override {
        if constexpr (std::endian::native != std::endian::little) {
            GTEST_SKIP() << "expected bytes are written for a little-endian host";
        }
    }
};

TEST_F(NetlinkBytes, GetLinkRequest) {
    const Bytes expected = {
        0x20, 0x00, 0x00, 0x00,  // nlmsg_len 32
        0x12, 0x00,              // RTM_GETLINK
        0x01, 0x00,              // NLM_F_REQUEST
        0x04, 0x03, 0x02, 0x01,  // seq
        0x00, 0x00, 0x00, 0x00,  // port id
        0x00, 0x00, 0x00, 0x00,  // family, pad, type
        0x05, 0x00, 0x00, 0x00,  // ifindex 5
        0x00, 0x00, 0x00, 0x00,  // flags
        0x00, 0x00, 0x00, 0x00,  // change
    };
    EXPECT_EQ(BuildGetLinkRequest(5, 0x01020304), expected);
}

TEST_F(NetlinkBytes, SetLinkUpAndDown) {
    struct Case {
        bool up;
        uint8_t flags;
    };
    for (const Case& c : {Case{true, 0x01}, Case{false, 0x00}}) {
        const Bytes expected = {
            0x20,    0x00, 0x00, 0x00,  // nlmsg_len 32
            0x10,    0x00,              // RTM_NEWLINK
            0x05,    0x00,              // NLM_F_REQUEST | NLM_F_ACK
            0x09,    0x00, 0x00, 0x00,  // seq
            0x00,    0x00, 0x00, 0x00,  // port id
            0x00,    0x00, 0x00, 0x00,  // family, pad, type
            0xFE,    0x00, 0x00, 0x00,  // ifindex 254
            c.flags, 0x00, 0x00, 0x00,  // IFF_UP or not
            0x01,    0x00, 0x00, 0x00,  // change only IFF_UP
        };
        EXPECT_EQ(BuildSetLinkUpRequest(254, c.up, 9), expected) << "up=" << c.up;
    }
}

TEST_F(NetlinkBytes, SetBitrateRequest) {
    Bytes expected = {
        0x54, 0x00, 0x00, 0x00,  // nlmsg_len 84
        0x10, 0x00,              // RTM_NEWLINK
        0x05, 0x00,              // NLM_F_REQUEST | NLM_F_ACK
        0x07, 0x00, 0x00, 0x00,  // seq
        0x00, 0x00, 0x00, 0x00,  // port id
        0x00, 0x00, 0x00, 0x00,  // family, pad, type
        0x03, 0x00, 0x00, 0x00,  // ifindex 3
        0x00, 0x00, 0x00, 0x00,  // flags
        0x00, 0x00, 0x00, 0x00,  // change
        0x34, 0x00, 0x12, 0x00,  // IFLA_LINKINFO, 52 bytes
        0x08, 0x00, 0x01, 0x00,  //   IFLA_INFO_KIND, 8 bytes
        'c',  'a',  'n',  0x00,  //     "can"
        0x28, 0x00, 0x02, 0x00,  //   IFLA_INFO_DATA, 40 bytes
        0x24, 0x00, 0x01, 0x00,  //     IFLA_CAN_BITTIMING, 36 bytes
        0x40, 0x42, 0x0F, 0x00,  //       bitrate 1000000
    };
    expected.resize(expected.size() + 28, 0x00);  // the other seven timing fields: 0
    EXPECT_EQ(BuildSetBitrateRequest(3, 1000000, 7), expected);
}

TEST_F(NetlinkBytes, RestartRequest) {
    const Bytes expected = {
        0x38, 0x00, 0x00, 0x00,  // nlmsg_len 56
        0x10, 0x00,              // RTM_NEWLINK
        0x05, 0x00,              // NLM_F_REQUEST | NLM_F_ACK
        0x08, 0x00, 0x00, 0x00,  // seq
        0x00, 0x00, 0x00, 0x00,  // port id
        0x00, 0x00, 0x00, 0x00,  // family, pad, type
        0x04, 0x00, 0x00, 0x00,  // ifindex 4
        0x00, 0x00, 0x00, 0x00,  // flags
        0x00, 0x00, 0x00, 0x00,  // change
        0x18, 0x00, 0x12, 0x00,  // IFLA_LINKINFO, 24 bytes
        0x08, 0x00, 0x01, 0x00,  //   IFLA_INFO_KIND, 8 bytes
        'c',  'a',  'n',  0x00,  //     "can"
        0x0C, 0x00, 0x02, 0x00,  //   IFLA_INFO_DATA, 12 bytes
        0x08, 0x00, 0x07, 0x00,  //     IFLA_CAN_RESTART
        0x01, 0x00, 0x00, 0x00,  //       1
    };
    EXPECT_EQ(BuildRestartRequest(4, 8), expected);
}

// RTM_NEWLINK for "can0" as the kernel sends it, trimmed to the parts that matter: the
// attributes around IFLA_LINKINFO, the nested flag on the nests, and another CAN attribute
// before the bit timing.
Bytes Can0Reply() {
    Bytes reply = {
        0x80, 0x00, 0x00, 0x00,                          // nlmsg_len 128
        0x10, 0x00, 0x00, 0x00,                          // RTM_NEWLINK, flags 0
        0x2A, 0x00, 0x00, 0x00,                          // seq
        0x00, 0x00, 0x00, 0x00,                          // port id
        0x00, 0x00, 0x18, 0x01,                          // family, pad, type 280 (CAN)
        0x03, 0x00, 0x00, 0x00,                          // ifindex 3
        0xC1, 0x00, 0x00, 0x00,                          // UP | RUNNING | NOARP
        0x00, 0x00, 0x00, 0x00,                          // change
        0x09, 0x00, 0x03, 0x00,                          // IFLA_IFNAME, 9 bytes
        'c',  'a',  'n',  '0',  0x00, 0x00, 0x00, 0x00,  // "can0" + padding
        0x08, 0x00, 0x04, 0x00,                          // IFLA_MTU
        0x10, 0x00, 0x00, 0x00,                          //   16
        0x4C, 0x00, 0x12, 0x80,                          // IFLA_LINKINFO | NLA_F_NESTED, 76 bytes
        0x08, 0x00, 0x01, 0x00,                          //   IFLA_INFO_KIND
        'c',  'a',  'n',  0x00,                          //     "can"
        0x40, 0x00, 0x02, 0x80,  //   IFLA_INFO_DATA | NLA_F_NESTED, 64 bytes
        0x08, 0x00, 0x03, 0x00,  //     IFLA_CAN_CLOCK
        0x00, 0x09, 0x3D, 0x00,  //       4 MHz
        0x08, 0x00, 0x04, 0x00,  //     IFLA_CAN_STATE
        0x03, 0x00, 0x00, 0x00,  //       bus-off
        0x08, 0x00, 0x06, 0x00,  //     IFLA_CAN_RESTART_MS
        0x64, 0x00, 0x00, 0x00,  //       100
        0x24, 0x00, 0x01, 0x00,  //     IFLA_CAN_BITTIMING, 36 bytes
        0x20, 0xA1, 0x07, 0x00,  //       bitrate 500000
        0x6B, 0x03, 0x00, 0x00,  //       sample point 87.5 %
    };
    reply.resize(reply.size() + 24, 0x00);  // remaining timing fields
    return reply;
}

Bytes Vcan0Reply() {
    return {
        0x3C, 0x00, 0x00, 0x00,  // nlmsg_len 60
        0x10, 0x00, 0x00, 0x00,  // RTM_NEWLINK
        0x01, 0x00, 0x00, 0x00,  // seq
        0x00, 0x00, 0x00, 0x00,  // port id
        0x00, 0x00, 0x18, 0x01,  // type 280
        0x07, 0x00, 0x00, 0x00,  // ifindex 7
        0x80, 0x00, 0x00, 0x00,  // NOARP, down
        0x00, 0x00, 0x00, 0x00,  // change
        0x0A, 0x00, 0x03, 0x00,  // IFLA_IFNAME, 10 bytes
        'v',  'c',  'a',  'n',  '0',  0x00, 0x00, 0x00,
        0x10, 0x00, 0x12, 0x00,                          // IFLA_LINKINFO, 16 bytes
        0x09, 0x00, 0x01, 0x00,                          //   IFLA_INFO_KIND, 9 bytes
        'v',  'c',  'a',  'n',  0x00, 0x00, 0x00, 0x00,  // "vcan" + padding
    };
}

TEST(NetlinkParse, CanReplyGivesBitrateAndState) {
    const Bytes reply = Can0Reply();
    ASSERT_EQ(reply.size(), 128u);
    LinkInfo info;
    ASSERT_TRUE(ParseLinkReply(reply.data(), reply.size(), &info));
    EXPECT_EQ(info.index, 3);
    EXPECT_EQ(info.type, kArphrdCan);
    EXPECT_EQ(info.flags, 0xC1u);
    EXPECT_EQ(info.kind, "can");
    EXPECT_EQ(info.bitrate, 500000u);
    EXPECT_EQ(info.can_state, kCanStateBusOff);
    EXPECT_EQ(info.restart_ms, 100u);

    uint32_t bitrate = 1;
    ASSERT_TRUE(ParseBitrateReply(reply.data(), reply.size(), &bitrate));
    EXPECT_EQ(bitrate, 500000u);
}

TEST(NetlinkParse, VcanReplyHasNoBitrate) {
    const Bytes reply = Vcan0Reply();
    ASSERT_EQ(reply.size(), 60u);
    LinkInfo info;
    ASSERT_TRUE(ParseLinkReply(reply.data(), reply.size(), &info));
    EXPECT_EQ(info.index, 7);
    EXPECT_EQ(info.kind, "vcan");
    EXPECT_EQ(info.flags & kIffUp, 0u);
    uint32_t bitrate = 1;
    ASSERT_TRUE(ParseBitrateReply(reply.data(), reply.size(), &bitrate));
    EXPECT_EQ(bitrate, 0u);
}

// What a set request carries is what a reply parser finds: both ends agree on the layout.
TEST(NetlinkParse, SetRequestCarriesItsBitrate) {
    for (uint32_t rate : {10000u, 125000u, 250000u, 500000u, 1000000u, 0xFFFFFFFFu}) {
        const Bytes request = BuildSetBitrateRequest(12, rate, 1);
        LinkInfo info;
        ASSERT_TRUE(ParseLinkReply(request.data(), request.size(), &info));
        EXPECT_EQ(info.bitrate, rate);
        EXPECT_EQ(info.index, 12);
        EXPECT_EQ(info.kind, "can");
    }
}

// Damaged or foreign replies are refused or read without going past their end (the sanitizer
// build catches any over-read).
TEST(NetlinkParse, DamagedReplies) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool parses;
        uint32_t bitrate;
    };
    const Bytes good = Can0Reply();
    auto with = [&](size_t at, uint8_t value) {
        Bytes b = good;
        b[at] = value;
        return b;
    };
    const size_t bittiming_len = 92;  // offset of IFLA_CAN_BITTIMING's length field
    const size_t linkinfo_len = 52;
    ASSERT_EQ(good[bittiming_len + 2], 0x01);
    ASSERT_EQ(good[linkinfo_len + 2], 0x12);
    const Case cases[] = {
        {"empty", {}, false, 0},
        {"header only, length 16, no ifinfomsg", Bytes(good.begin(), good.begin() + 16), false, 0},
        {"cut short of its stated length", Bytes(good.begin(), good.begin() + 100), false, 0},
        {"stated length below a header", with(0, 0x08), false, 0},
        {"other message type (RTM_DELLINK)", with(4, 0x11), false, 0},
        {"bit timing longer than its nest", with(bittiming_len, 0x40), true, 0},
        {"bit timing shorter than its bitrate", with(bittiming_len, 0x06), true, 0},
        {"attribute length 0 inside the nest", with(bittiming_len, 0x00), true, 0},
        {"link info longer than the message", with(linkinfo_len, 0x7C), true, 0},
        {"trailing bytes after the message",
         [&] {
             Bytes b = good;
             b.insert(b.end(), {0xFF, 0xFF, 0xFF, 0xFF});
             return b;
         }(),
         true, 500000},
    };
    for (const Case& c : cases) {
        uint32_t bitrate = 12345;
        bool parsed = ParseBitrateReply(c.bytes.data(), c.bytes.size(), &bitrate);
        EXPECT_EQ(parsed, c.parses) << c.name;
        if (parsed && c.parses) {
            EXPECT_EQ(bitrate, c.bitrate) << c.name;
        }
    }
    uint32_t bitrate = 0;
    EXPECT_FALSE(ParseBitrateReply(nullptr, 0, &bitrate));
}

TEST(NetlinkParse, Acknowledgements) {
    auto error_message = [](int32_t code) {
        Bytes b = {
            0x24, 0x00, 0x00, 0x00,  // nlmsg_len 36
            0x02, 0x00, 0x00, 0x00,  // NLMSG_ERROR
            0x05, 0x00, 0x00, 0x00,  // seq
            0x00, 0x00, 0x00, 0x00,  // port id
        };
        for (int i = 0; i < 4; ++i) {
            b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(code) >> (8 * i)));
        }
        Bytes request = BuildSetLinkUpRequest(3, true, 5);  // echoed header of the request
        b.insert(b.end(), request.begin(), request.begin() + 16);
        return b;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        bool is_ack;
        int code;
    };
    const Case cases[] = {
        {"ack", error_message(0), true, 0},
        {"EPERM", error_message(-1), true, 1},
        {"EOPNOTSUPP", error_message(-95), true, 95},
        {"a link reply is no ack", Can0Reply(), false, 0},
        {"error message too short for its code",
         [&] {
             Bytes b = error_message(0);
             b.resize(18);
             b[0] = 18;
             return b;
         }(),
         false, 0},
        {"empty", {}, false, 0},
    };
    for (const Case& c : cases) {
        int code = -1;
        bool is_ack = ParseNetlinkAck(c.bytes.data(), c.bytes.size(), &code);
        EXPECT_EQ(is_ack, c.is_ack) << c.name;
        if (is_ack) {
            EXPECT_EQ(code, c.code) << c.name;
        }
        uint32_t bitrate = 0;
        if (c.is_ack) {
            EXPECT_FALSE(ParseBitrateReply(c.bytes.data(), c.bytes.size(), &bitrate)) << c.name;
        }
    }
}

}  // namespace
}  // namespace vci::socketcan
