// The firmware load: address claims, start (or resume) of the sensor's bootloader, version
// check, erasure of two flash sectors, the echoed data stream, end of stream and, for one
// bootloader version, the reboot command.
#pragma once

#include <cstdint>

#include "app/firmware_image.h"
#include "can/can_library.h"

// Outcome of a load: 0 for success, a negative code naming the stage that failed.
enum : int {
    kLoadOk = 0,
    kLoadNoSensor = -1,            // the sensor's application did not answer the sensor check
    kLoadBadVersion = -3,          // an 8-byte version reply that is neither known version
    kLoadNoBootloader = -4,        // the bootloader did not start, or did not answer "V"
    kLoadEraseFailed = -5,         // an erase was not acknowledged
    kLoadBeginFailed = -6,         // "BOOT_BEG" was not acknowledged
    kLoadBlockFailed = -7,         // a data block (or the terminating block) not echoed identically
    kLoadEndFailed = -8,           // "BOOT_END" was not acknowledged
    kLoadBootloaderActive = -9,    // a bootloader answered although no resume was asked for
    kLoadImageOverrun = -10,       // the next block would reach beyond the image
    kLoadNoSoftwareAddress = -11,  // none of the addresses 0 to 253 could be claimed
    kLoadBootloaderAddressLost = -12,  // the claim of the bootloader's address was lost
};

// Receive budgets of the stages, in milliseconds.
inline constexpr uint32_t kCommandTimeoutMs = 100;
inline constexpr uint32_t kEraseTimeoutMs = 2000;

// Flash addresses of the two sectors that are erased before the stream.
inline constexpr uint32_t kFirstSectorAddress = 0x08010000u;
inline constexpr uint32_t kSecondSectorAddress = 0x08020000u;

// Runs the whole load on the open channel. target_address is the sensor application's address;
// 0 resumes an unfinished load when a bootloader already answers. Reports every stage through
// ReportProgress and leaves ReceiveTimeout at the last value it set.
int RunLoadSequence(VciHandle channel, uint8_t target_address, const FirmwareImage& image);
