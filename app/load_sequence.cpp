#include "app/load_sequence.h"

#include <cstring>

#include "app/progress.h"
#include "can/can_frame_io.h"
#include "protocol/bootloader_channel.h"
#include "protocol/j1939.h"

namespace {

constexpr uint8_t kVersion70[8] = {'>', 'V', 'E', 'R', ' ', '7', '.', '0'};
constexpr uint8_t kVersion71[8] = {'>', 'V', 'E', 'R', ' ', '7', '.', '1'};
constexpr uint8_t kTerminatingBlock[8] = {0, 0, 0, 0, 0, 0, 0, 0};

// Stage 11: every image block, each echoed before the next, then the terminating block.
// offset ends as the count of bytes acknowledged.
int StreamImage(VciHandle channel, const FirmwareImage& image, uint32_t& offset) {
    offset = 0;
    uint32_t remaining = image.size;
    uint8_t block[8];
    ReportProgress(kStageSendData, 0);
    while (remaining != 0) {
        if (ReadImageBlock(image, offset, block) == 0) {
            return kLoadImageOverrun;
        }
        if (SendDataBlock(channel, block) == 0) {
            return kLoadBlockFailed;
        }
        remaining -= kImageBlockSize;
        offset += kImageBlockSize;
        ReportProgress(kStageSendData, offset);
    }
    if (SendDataBlock(channel, kTerminatingBlock) == 0) {
        return kLoadBlockFailed;
    }
    return kLoadOk;
}

}  // namespace

int RunLoadSequence(VciHandle channel, uint8_t target_address, const FirmwareImage& image) {
    uint8_t software_address = 0;
    ReportProgress(kStageClaimSoftware, 0);
    if (SearchFreeAddress(channel, software_address) == 0) {
        return kLoadNoSoftwareAddress;
    }

    ReportProgress(kStageClaimBootloader, 0);
    if (ClaimAddress(channel, BootloaderAddress, BootloaderName) == 0) {
        return kLoadBootloaderAddressLost;
    }

    SetReceiveTimeout(kCommandTimeoutMs);
    ReportProgress(kStageFlush, 0);
    FlushReceive(channel);

    uint8_t reply[8] = {};
    uint8_t reply_length = 0;
    ReportProgress(kStageCheckBootloader, 0);
    bool bootloader_active = QueryVersion(channel, reply, reply_length) != 0;
    if (bootloader_active && target_address != 0) {
        return kLoadBootloaderActive;
    }
    if (!bootloader_active) {
        ReportProgress(kStageCheckSensor, 0);
        uint8_t sensor_reply = 0;
        if (CheckForSensor(channel, target_address, software_address, sensor_reply) == 0) {
            return kLoadNoSensor;
        }
        ReportProgress(kStageStartBootloader, 0);
        StartBootloader(channel, target_address, software_address);
        if (WaitForBootloader(channel) == 0) {
            return kLoadNoBootloader;
        }
    }

    ReportProgress(kStageCheckVersion, 0);
    if (QueryVersion(channel, reply, reply_length) == 0) {
        return kLoadNoBootloader;
    }
    bool reboot_wanted = false;
    if (reply_length == 8) {
        if (std::memcmp(reply, kVersion71, 8) == 0) {
            reboot_wanted = true;
        } else if (std::memcmp(reply, kVersion70, 8) != 0) {
            return kLoadBadVersion;
        }
    }
    // A reply of any other length is not compared: the load goes on as for version 7.0.

    SetReceiveTimeout(kEraseTimeoutMs);
    ReportProgress(kStageEraseSector1, 0);
    if (EraseSector(channel, kFirstSectorAddress) == 0) {
        return kLoadEraseFailed;
    }
    ReportProgress(kStageEraseSector2, 0);
    if (EraseSector(channel, kSecondSectorAddress) == 0) {
        return kLoadEraseFailed;
    }

    SetReceiveTimeout(kCommandTimeoutMs);
    ReportProgress(kStageBeginStream, 0);
    if (BeginStream(channel) == 0) {
        return kLoadBeginFailed;
    }

    uint32_t acknowledged = 0;
    int result = StreamImage(channel, image, acknowledged);
    if (result != kLoadOk) {
        return result;
    }
    ReportProgress(kStageEndStream, acknowledged);
    if (EndStream(channel) == 0) {
        return kLoadEndFailed;
    }
    if (reboot_wanted) {
        ReportProgress(kStageReboot, 0);
        RequestReboot(channel);
    }
    return kLoadOk;
}
