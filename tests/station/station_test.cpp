#include <gtest/gtest.h>

#include <string>

#include "station/console_lines.h"
#include "station/sha256.h"

using namespace station;  // NOLINT(google-build-using-namespace)

namespace {

TEST(ConsoleLines, EachKnownLineAndItsNearMisses) {
    struct Case {
        const char* line;
        LineKind kind;
        std::int64_t count;
        std::int64_t total;
        const char* text_or_stage;
    };
    const Case cases[] = {
        {"Korvane Algorithm Demo 2.2", LineKind::kBanner, 0, 0, "2.2"},
        {"   Opening and configuring CAN port.", LineKind::kStage, 0, 0, "opening port"},
        {"      Erasing sector 2.", LineKind::kStage, 0, 0, "erasing 2"},
        {"      Erasing sector 3.", LineKind::kUnknown, 0, 0, ""},
        {"      Sending data: 4096 of 65536 bytes.", LineKind::kData, 4096, 65536, "sending"},
        {"      Sending data: 0 of 0 bytes.", LineKind::kData, 0, 0, "sending"},
        {"      Sending data: 4096 of 65536 bytes", LineKind::kUnknown, 0, 0, ""},
        {"      Sending data: 40x6 of 65536 bytes.", LineKind::kUnknown, 0, 0, ""},
        {"      Sending data: 4096 of 65536 bytes.x", LineKind::kUnknown, 0, 0, ""},
        {"      Rebooting sensor.", LineKind::kReboot, 0, 0, "rebooting"},
        {"      SUCCESS!", LineKind::kSuccess, 0, 0, ""},
        {"      SUCCESS! ", LineKind::kUnknown, 0, 0, ""},
        {"*** ERROR: Flash programming failed.  Error = -7", LineKind::kLoadError, -7, 0, ""},
        {"*** ERROR: Flash programming failed.  Error = -12", LineKind::kLoadError, -12, 0, ""},
        {"*** ERROR: Unable to set bit rate.  Error = E0010003", LineKind::kPortError, 0xE0010003,
         0, ""},
        {"*** ERROR: Could not open CAN port.  Error = FFFFFFFF", LineKind::kPortError, 0xFFFFFFFF,
         0, ""},
        // Seven digits are no library code: an error line all the same.
        {"*** ERROR: Unable to set bit rate.  Error = E001003", LineKind::kLoaderError, 0, 0,
         "Unable to set bit rate.  Error = E001003"},
        {"*** ERROR: Invalid file size.", LineKind::kLoaderError, 0, 0, "Invalid file size."},
        {"***ERROR: Need to provide firmware file name.", LineKind::kLoaderError, 0, 0,
         "Need to provide firmware file name."},
        {"   Loading firmware into sensor on address: 0xC3.", LineKind::kNote, 0xC3, 0, ""},
        {"   Loading firmware into sensor on address: 0xC.", LineKind::kUnknown, 0, 0, ""},
        {"--PRESS ENTER TO EXIT--", LineKind::kPrompt, 0, 0, ""},
        {"vci: can0: to fix it, run: sudo ip link set can0 up", LineKind::kUnknown, 0, 0, ""},
        {"", LineKind::kUnknown, 0, 0, ""},
    };
    for (const Case& c : cases) {
        ConsoleLine line = ParseConsoleLine(c.line);
        EXPECT_EQ(line.kind, c.kind) << c.line;
        EXPECT_EQ(line.count, c.count) << c.line;
        EXPECT_EQ(line.total, c.total) << c.line;
        bool has_text = c.kind == LineKind::kBanner || c.kind == LineKind::kLoaderError;
        EXPECT_EQ(has_text ? line.text : std::string(line.stage), c.text_or_stage) << c.line;
    }
}

TEST(ConsoleLines, MeaningsOfResultsAndLibraryCodes) {
    EXPECT_EQ(ResultMeaning(0, false), "success");
    EXPECT_EQ(ResultMeaning(-9, false), "a bootloader already runs: use address 0x00 to resume");
    EXPECT_EQ(ResultMeaning(-2, false), "an unknown result");
    EXPECT_EQ(ResultMeaning(0xE001000C, true), "the device choice was cancelled");
    EXPECT_EQ(ResultMeaning(-9, true), "a code of the CAN library");
}

TEST(Sha256, KnownVectorsAndPaddingBoundaries) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
         "lmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [data, digest] : cases) {
        EXPECT_EQ(Sha256Hex(data), digest) << data.size() << " bytes";
    }
}

}  // namespace
