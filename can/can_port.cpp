#include "can/can_port.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

VciHandle ControllerHandle = nullptr;

namespace {

// Port settings: bus 0, operating mode 7, 1000 kbit/s (SJA1000 bus timing 0x00/0x14 at 16 MHz),
// a shared channel with a receive FIFO of 32 messages and a transmit FIFO of 128.
constexpr uint32_t kBus = 0;
constexpr uint8_t kControllerMode = 7;
constexpr uint8_t kBusTiming0 = 0x00;
constexpr uint8_t kBusTiming1 = 0x14;
constexpr uint32_t kSharedChannel = 0;
constexpr uint32_t kRxFifoSize = 32;
constexpr uint32_t kRxThreshold = 1;
constexpr uint32_t kTxFifoSize = 128;
constexpr uint32_t kTxThreshold = 128;

void PrintError(const char* text, uint32_t code) {
    std::printf("*** ERROR: %s  Error = %08" PRIX32 "\n", text, code);
}

// Opens an enumerator and resets it to the first device. 0 with the handle, else the failing
// code (the handle may still need closing).
uint32_t OpenEnumerator(VciHandle& list) {
    list = nullptr;
    uint32_t result = VciDeviceListOpen(&list);
    if (result != kVciOk) {
        return result;
    }
    return VciDeviceListReset(list);
}

void CloseEnumerator(VciHandle list) {
    if (list != nullptr) {
        VciDeviceListClose(list);
    }
}

}  // namespace

uint32_t CountDevices() {
    VciHandle list = nullptr;
    uint32_t count = 0;
    if (OpenEnumerator(list) == kVciOk) {
        VciDeviceInfo info{};
        uint32_t result = kVciOk;
        while ((result = VciDeviceListNext(list, &info)) == kVciOk) {
            ++count;
        }
        if (result != kVciErrNoMoreItems) {
            count = 0;  // enumeration failed: count it as no device
        }
    }
    CloseEnumerator(list);
    return count;
}

uint32_t FirstDeviceId(VciDeviceId& id) {
    std::memset(&id, 0, sizeof id);
    VciHandle list = nullptr;
    uint32_t result = kDeviceNotFound;
    if (OpenEnumerator(list) == kVciOk) {
        VciDeviceInfo info{};
        if (VciDeviceListNext(list, &info) == kVciOk) {
            id = info.id;
            result = 0;
        }
    }
    CloseEnumerator(list);
    return result;
}

uint32_t OpenDevice(VciHandle& device, void* parent_window) {
    device = nullptr;
    uint32_t count = CountDevices();
    if (count == 0) {
        return 0;  // no device: the handle stays null
    }
    if (count == 1) {
        VciDeviceId id{};
        if (FirstDeviceId(id) == kDeviceNotFound) {
            return kDeviceNotFound;
        }
        return VciDeviceOpenById(&id, &device);
    }
    return VciDeviceSelect(parent_window, &device);
}

uint32_t StartController(VciHandle device) {
    uint32_t result = kVciOk;
    if (ControllerHandle == nullptr) {
        result = VciControllerOpen(device, kBus, &ControllerHandle);
    }
    if (result == kVciOk) {
        result = VciControllerInit(ControllerHandle, kControllerMode, kBusTiming0, kBusTiming1);
    }
    if (result == kVciOk) {
        result = VciControllerStart(ControllerHandle, 1);
    }
    if (result == kVciErrAccessDenied) {
        // Someone else owns the controller: let it go and share the bus through the channel.
        CloseController();
    }
    return result;
}

void CloseController() {
    if (ControllerHandle != nullptr) {
        VciControllerClose(ControllerHandle);
        ControllerHandle = nullptr;
    }
}

int OpenCanPort(CanPort& port, void* parent_window) {
    uint32_t result = OpenDevice(port.device, parent_window);
    if (result != 0) {
        PrintError("Could not open CAN port.", result);
        return 0;
    }
    result = StartController(port.device);
    if (result != kVciOk && result != kVciErrAccessDenied) {
        PrintError("Unable to set bit rate.", result);
        return 0;
    }
    result = VciChannelOpen(port.device, kBus, kSharedChannel, &port.channel);
    if (result != kVciOk) {
        PrintError("Unable to open a CAN channel on this port.", result);
        return 0;
    }
    result = VciChannelInit(port.channel, kRxFifoSize, kRxThreshold, kTxFifoSize, kTxThreshold);
    if (result != kVciOk) {
        PrintError("Unable to configure CAN channel.", result);
        return 0;
    }
    result = VciChannelActivate(port.channel, 1);
    if (result != kVciOk) {
        PrintError("Unable to activate CAN channel.", result);
        return 0;
    }
    return 1;
}

void CloseCanPort(CanPort& port) {
    if (port.channel != nullptr) {
        VciChannelClose(port.channel);
        port.channel = nullptr;
    }
    if (port.device != nullptr) {
        CloseController();
    }
}
