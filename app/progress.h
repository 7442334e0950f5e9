// Progress reporting: one fixed text per stage of the load, and the data line of the stream,
// rewritten in place.
#pragma once

#include <cstdint>

// Stages of the load, as the load sequence reports them.
enum : uint32_t {
    kStageClaimSoftware = 1,
    kStageClaimBootloader = 2,
    kStageFlush = 3,
    kStageCheckBootloader = 4,
    kStageCheckSensor = 5,
    kStageStartBootloader = 6,
    kStageCheckVersion = 7,
    kStageEraseSector1 = 8,
    kStageEraseSector2 = 9,
    kStageBeginStream = 10,
    kStageSendData = 11,
    kStageEndStream = 12,
    kStageReboot = 13,
};

// Total byte count shown on the data line; set by the entry before the load starts.
extern uint32_t ProgressTotal;
// Set to 1 by the reboot stage; never cleared.
extern uint8_t RebootIssued;

// Prints the text of the stage (count: bytes acknowledged, shown by the data stage only).
// Everything reaches the console at once except the data line, whose rewrites are passed on at
// most every 50 ms: the bytes printed are the same, only the flushing is spaced out.
void ReportProgress(uint32_t stage, uint32_t count);
