// The progress lines, byte for byte, and the reboot flag.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/progress.h"

namespace {

std::string Report(uint32_t stage, uint32_t count) {
    testing::internal::CaptureStdout();
    ReportProgress(stage, count);
    return testing::internal::GetCapturedStdout();
}

TEST(ProgressTest, EveryStagePrintsItsText) {
    struct Case {
        uint32_t stage;
        uint32_t count;
        uint32_t total;
        const char* text;
    };
    const std::vector<Case> cases = {
        {0, 0, 0, "\n      ** UNKNOWN STATUS **\n"},
        {1, 0, 0, "      Claim address for this software.\n"},
        {2, 0, 0, "      Claim address for the bootloader.\n"},
        {3, 0, 0, "      Flush RX.\n"},
        {4, 0, 0, "      Checking for active bootloader.\n"},
        {5, 0, 0, "      Checking for sensor.\n"},
        {6, 0, 0, "      Starting bootloader.\n"},
        {7, 0, 0, "      Checking bootloader version.\n"},
        {8, 0, 0, "      Erasing sector 1.\n"},
        {9, 0, 0, "      Erasing sector 2.\n"},
        {10, 0, 0, "      Bootloader begin data stream.\n"},
        {11, 0, 0, "      Sending data: 0 of 0 bytes."},
        {11, 0, 4096, "      Sending data: 0 of 4096 bytes."},
        {11, 16, 4096, "\r      Sending data: 16 of 4096 bytes."},
        {11, 4294967288u, 4294967288u, "\r      Sending data: 4294967288 of 4294967288 bytes."},
        {12, 0, 0, "\n      Bootloader ending data stream.\n"},
        {12, 12345, 16, "\n      Bootloader ending data stream.\n"},
        {14, 0, 0, "\n      ** UNKNOWN STATUS **\n"},
        {0xFFFFFFFFu, 5, 0, "\n      ** UNKNOWN STATUS **\n"},
    };
    for (const auto& c : cases) {
        ProgressTotal = c.total;
        EXPECT_EQ(Report(c.stage, c.count), c.text) << "stage " << c.stage;
    }
    EXPECT_EQ(RebootIssued, 0) << "no stage but 13 sets the reboot flag";
}

TEST(ProgressTest, RebootStagePrintsThenSetsTheFlagForGood) {
    RebootIssued = 0;
    EXPECT_EQ(Report(13, 0), "\n      Rebooting sensor.\n");
    EXPECT_EQ(RebootIssued, 1);
    for (uint32_t stage = 0; stage <= 14; ++stage) {
        Report(stage, 8);
    }
    EXPECT_EQ(RebootIssued, 1);
    RebootIssued = 0;
}

}  // namespace
