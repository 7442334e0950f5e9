#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/slcan_codec.h"

namespace {

using namespace wire::slcan;
using wire::Frame;

Frame Make(std::uint32_t id, bool extended, bool remote, std::vector<std::uint8_t> bytes,
           std::uint8_t length = 0xFF) {
    Frame frame{.id = id, .extended = extended};
    frame.remote = remote;
    frame.length = length == 0xFF ? static_cast<std::uint8_t>(bytes.size()) : length;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        frame.data[i] = bytes[i];
    }
    return frame;
}

// Lines that parse (and, written back, give the same line), with and without a time stamp.
TEST(SlcanCodec, WellFormedLinesParseAndFormatBack) {
    struct Case {
        std::string line;
        Frame frame;
        std::optional<std::uint16_t> stamp;
    };
    const std::vector<Case> cases = {
        {"t1A03112233", Make(0x1A0, false, false, {0x11, 0x22, 0x33}), {}},
        {"t7FF0", Make(0x7FF, false, false, {}), {}},
        {"T1FFFFFFF80102030405060708", Make(0x1FFFFFFF, true, false, {1, 2, 3, 4, 5, 6, 7, 8}), {}},
        {"T00FFF2B1156EA5F", Make(0x00FFF2B1, true, false, {0x56}), 0xEA5F},
        {"r1236", Make(0x123, false, true, {}, 6), {}},
        {"R000000008EA5F", Make(0, true, true, {}, 8), 0xEA5F},
        {"t00000FFF", Make(0, false, false, {}), 0x0FFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Frame frame;
        std::optional<std::uint16_t> stamp;
        ASSERT_TRUE(ParseFrame(c.line, TimeStamp::kOptional, &frame, &stamp));
        EXPECT_EQ(frame, c.frame);
        EXPECT_EQ(stamp, c.stamp);
        LineBuffer buffer;
        const std::size_t size = FormatFrame(frame, stamp, buffer);
        EXPECT_EQ(std::string(buffer.data(), size), c.line + "\r");
        EXPECT_EQ(ParseFrame(c.line, TimeStamp::kForbidden, &frame, &stamp), !c.stamp);
    }
    Frame frame;
    std::optional<std::uint16_t> stamp;
    ASSERT_TRUE(ParseFrame("t1a02abcd", TimeStamp::kOptional, &frame, &stamp));  // lower case
    EXPECT_EQ(frame, Make(0x1A0, false, false, {0xAB, 0xCD}));
}

TEST(SlcanCodec, MalformedLinesAreRefusedAndLeaveTheOutputAlone) {
    // clang-format off
    const std::vector<std::string> lines = {
        "", "t", "t1A", "t1A0", "t1A09" "0102030405060708", "t8000", "T200000000",  // NOLINT(bugprone-suspicious-missing-comma): length 9
        "t1A01", "t1A011", "t1A01G1", "t1A0 11",     // half a byte, a non-hex digit, a space
        "t1A0100000", "t1A011100001", "t1A00FFFX",   // 3, 5 and a non-hex time-stamp digits
        "T1A00", "x1A00", "r1A01AA", "R1FFFFFFF9", "T-0000000", "t+1A0"};
    // clang-format on
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        Frame frame = Make(1, false, false, {9});
        std::optional<std::uint16_t> stamp = 7;
        EXPECT_FALSE(ParseFrame(line, TimeStamp::kOptional, &frame, &stamp));
        EXPECT_EQ(frame, Make(1, false, false, {9}));
        EXPECT_EQ(stamp, 7);
    }
}

std::vector<std::string> Split(const std::vector<std::string>& reads) {
    LineSplitter splitter;
    std::vector<std::string> tokens;
    for (const std::string& read : reads) {
        splitter.Feed(read, [&](const Token& token) {
            switch (token.kind) {
                case Token::Kind::kLine:
                    tokens.push_back("[" + std::string(token.text) + "]");
                    break;
                case Token::Kind::kBell:
                    tokens.push_back("BEL");
                    break;
                case Token::Kind::kDiscarded:
                    tokens.push_back("DISCARDED");
                    break;
            }
        });
    }
    return tokens;
}

TEST(SlcanCodec, SplitterCutsLinesWhereverTheReadsEnd) {
    const std::string long_line(LineSplitter::kMaxLine + 5, 't');
    const std::string just_fits(LineSplitter::kMaxLine, 't');
    struct Case {
        std::vector<std::string> reads;
        std::vector<std::string> tokens;
    };
    const std::vector<Case> cases = {
        {{"t1230\rz\r\r"}, {"[t1230]", "[z]", "[]"}},
        {{"t12", "30", "\r", "Z\r"}, {"[t1230]", "[Z]"}},
        {{"t1230\r\n", "\nV1013\n\r"}, {"[t1230]", "[V1013]"}},
        {{"\a\r"}, {"BEL", "[]"}},
        {{"t12\at1230\r"}, {"DISCARDED", "BEL", "[t1230]"}},
        {{long_line.substr(0, 30), long_line.substr(30) + "\rt1230\r"}, {"DISCARDED", "[t1230]"}},
        {{long_line + "\a"}, {"DISCARDED", "BEL"}},
        {{just_fits + "\r"}, {"[" + just_fits + "]"}},
        {{"t1230"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reads.front());
        EXPECT_EQ(Split(c.reads), c.tokens);
    }
}

TEST(SlcanCodec, AdapterCommands) {
    using K = Command::Kind;
    struct Case {
        std::string line;
        K kind;
        int argument;
    };
    const std::vector<Case> cases = {
        {"C", K::kClose, 0},       {"O", K::kOpen, 0},
        {"S8", K::kBitrate, 8},    {"S0", K::kBitrate, 0},
        {"Z1", K::kTimeStamps, 1}, {"Z0", K::kTimeStamps, 0},
        {"V", K::kVersion, 0},     {"v", K::kDetail, 0},
        {"N", K::kSerial, 0},      {"F", K::kFlags, 0},
        {"t1230", K::kFrame, 0},   {"R123456780", K::kFrame, 0},
        {"S9", K::kUnknown, 0},    {"Z2", K::kUnknown, 0},
        {"S", K::kUnknown, 0},     {"O1", K::kUnknown, 0},
        {"CC", K::kUnknown, 0},    {"", K::kUnknown, 0},
        {"X1", K::kUnknown, 0},    {"t12301234", K::kUnknown, 0},  // no stamp from the host
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const Command command = ParseCommand(c.line);
        EXPECT_EQ(command.kind, c.kind);
        EXPECT_EQ(command.argument, c.argument);
    }
    EXPECT_EQ(ParseCommand("t1A0155").frame, Make(0x1A0, false, false, {0x55}));
}

}  // namespace
