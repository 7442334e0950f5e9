#include "app/progress.h"

#include <chrono>
#include <cstdio>

uint32_t ProgressTotal = 0;
uint8_t RebootIssued = 0;

namespace {

const char* const kStageTexts[] = {
    "      Claim address for this software.\n",
    "      Claim address for the bootloader.\n",
    "      Flush RX.\n",
    "      Checking for active bootloader.\n",
    "      Checking for sensor.\n",
    "      Starting bootloader.\n",
    "      Checking bootloader version.\n",
    "      Erasing sector %u.\n",
    "      Erasing sector %u.\n",
    "      Bootloader begin data stream.\n",
    "\r      Sending data: %lu of %lu bytes.",
    "\n      Bootloader ending data stream.\n",
    "\n      Rebooting sensor.\n",
};

constexpr auto kDataLineFlushInterval = std::chrono::milliseconds(50);

std::chrono::steady_clock::time_point last_data_flush;

void PrintDataLine(uint32_t count) {
    // The first data line starts where the cursor is; every later one returns to its start.
    const char* format = kStageTexts[kStageSendData - 1];
    if (count == 0) {
        ++format;
    }
    std::printf(format, static_cast<unsigned long>(count),
                static_cast<unsigned long>(ProgressTotal));
    auto now = std::chrono::steady_clock::now();
    if (count == 0 || count == ProgressTotal || now - last_data_flush >= kDataLineFlushInterval) {
        std::fflush(stdout);
        last_data_flush = now;
    }
}

}  // namespace

void ReportProgress(uint32_t stage, uint32_t count) {
    if (stage < kStageClaimSoftware || stage > kStageReboot) {
        std::fputs("\n      ** UNKNOWN STATUS **\n", stdout);
    } else if (stage == kStageSendData) {
        PrintDataLine(count);
        return;
    } else if (stage == kStageEraseSector1 || stage == kStageEraseSector2) {
        std::printf(kStageTexts[stage - 1], static_cast<unsigned>(stage - 7));
    } else {
        std::fputs(kStageTexts[stage - 1], stdout);
    }
    if (stage == kStageReboot) {
        RebootIssued = 1;
    }
    std::fflush(stdout);
}
