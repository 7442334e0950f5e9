// A stand-in for PEAK's PCAN-Basic (libpcanbasic.so, PCANBasic.dll) for the tests, from the
// library's public documentation: one PCAN-USB channel, PCAN_USBBUS1 (device ID 42), on the
// virtual bus at 127.0.0.1, port KORVANE_STANDIN_PCAN_BUS (none attached while that is unset),
// at PCAN_BAUD_1M only. The receive event is the bus connection's: on Linux its socket, on
// Windows the application's event set for it (WSAEventSelect). KORVANE_STANDIN_PCAN_FAULT:
//   held         another program has the channel: "occupied", CAN_Initialize refused
//   old          a library from before the attached-channels parameters (0x2A, 0x2B)
//   busoff:ID    bus-off at the first frame written to ID (hex), once per working folder,
//                until a new initialisation
//   pull:ID      pulled out at the first frame written to ID
// Built with KORVANE_STANDIN_WITHOUT_GETSTATUS: a library without CAN_GetStatus.
#include "tests/vendor/standin.h"
#include "virtual_bus/bus_client.h"
#if defined(_WIN32)
#include <winsock2.h>
// After winsock2.h:
#include <windows.h>
#endif

#include <cstring>
#include <deque>

using standin::Env;

namespace {

// The documented values this stand-in plays.
constexpr std::uint16_t kChannel = 0x51;  // PCAN_USBBUS1
constexpr std::uint32_t kOk = 0, kBusOff = 0x10, kRxEmpty = 0x20, kIllHw = 0x1400,
                        kParamType = 0x4000, kParamValue = 0x8000, kInitialize = 0x4000000;

struct Msg {
    std::uint32_t id;
    std::uint8_t type;  // 0x00 standard, 0x01 RTR, 0x02 extended
    std::uint8_t length;
    std::uint8_t data[8];
};
struct ChannelInfo {
    std::uint16_t handle;
    std::uint8_t device_type;  // 0x05: PCAN_USB
    std::uint8_t controller;
    std::uint32_t features;
    char name[33];
    std::uint32_t device_id;
    std::uint32_t condition;  // 1 available, 2 occupied
};

vbus::BusClient bus;
std::deque<vbus::Frame> rx;
bool initialised = false, gone = false, bus_off = false;

bool Present() {
    return !gone && !Env("KORVANE_STANDIN_PCAN_BUS").empty();
}

bool Fault(const char* kind, std::uint32_t id) {
    return standin::FaultOnce(Env("KORVANE_STANDIN_PCAN_FAULT"), kind, id);
}

std::uint32_t Check(std::uint16_t channel) {
    return channel != kChannel || gone ? kIllHw : !initialised ? kInitialize : kOk;
}

}  // namespace

extern "C" {

std::uint32_t STANDIN_API CAN_Initialize(std::uint16_t channel, std::uint16_t btr0btr1,
                                         std::uint8_t, std::uint32_t, std::uint16_t) {
    if (channel != kChannel || !Present()) {
        return kIllHw;
    }
    if (Env("KORVANE_STANDIN_PCAN_FAULT") == "held" || initialised) {
        return kInitialize;
    }
    if (btr0btr1 != 0x0014) {
        std::fprintf(stderr, "stand-in PCAN-Basic: the bus runs at 1 Mbit/s, not %04X\n", btr0btr1);
        return kParamValue;
    }
    std::string error;
    const auto port = static_cast<std::uint16_t>(std::stoi(Env("KORVANE_STANDIN_PCAN_BUS")));
    if (!bus.Connect("127.0.0.1", port, "", &error)) {
        std::fprintf(stderr, "stand-in PCAN-Basic: no bus: %s\n", error.c_str());
        return kIllHw;
    }
    initialised = true;
    bus_off = false;
    return kOk;
}

std::uint32_t STANDIN_API CAN_Uninitialize(std::uint16_t channel) {
    if (channel != kChannel) {
        return kIllHw;
    }
    bus.Close();
    rx.clear();
    initialised = false;
    return kOk;
}

std::uint32_t STANDIN_API CAN_Reset(std::uint16_t channel) {
    std::vector<vbus::Frame> dropped;
    if (initialised) {
        bus.Receive(dropped, 0);
    }
    rx.clear();
    return Check(channel);
}

#if !defined(KORVANE_STANDIN_WITHOUT_GETSTATUS)
std::uint32_t STANDIN_API CAN_GetStatus(std::uint16_t channel) {
    const std::uint32_t status = Check(channel);
    return status != kOk ? status : bus_off ? kBusOff : kOk;
}
#endif

std::uint32_t STANDIN_API CAN_Read(std::uint16_t channel, Msg* msg, std::uint8_t* stamp) {
    if (const std::uint32_t status = Check(channel); status != kOk) {
        return status;
    }
    if (rx.empty()) {
        std::vector<vbus::Frame> frames;
        bus.Receive(frames, 0);
        rx.insert(rx.end(), frames.begin(), frames.end());
    }
    if (rx.empty()) {
        return kRxEmpty;
    }
    const vbus::Frame& frame = rx.front();
    *msg = {frame.id,
            static_cast<std::uint8_t>((frame.extended ? 2 : 0) | (frame.remote ? 1 : 0)),
            frame.length,
            {}};
    std::memcpy(msg->data, frame.data.data(), 8);
    rx.pop_front();
    std::memset(stamp, 0, 8);
    return kOk;
}

std::uint32_t STANDIN_API CAN_Write(std::uint16_t channel, Msg* msg) {
    if (const std::uint32_t status = Check(channel); status != kOk) {
        return status;
    }
    if (bus_off || Fault("busoff", msg->id)) {
        bus_off = true;
        return kBusOff;
    }
    if (Fault("pull", msg->id)) {
        CAN_Uninitialize(channel);
        gone = true;
        return kIllHw;
    }
    vbus::Frame frame{msg->id,
                      (msg->type & 2) != 0,
                      std::min<std::uint8_t>(msg->length, 8),
                      {},
                      (msg->type & 1) != 0};
    std::memcpy(frame.data.data(), msg->data, frame.length);
    bus.Send(frame);
    return kOk;
}

std::uint32_t STANDIN_API CAN_GetValue(std::uint16_t channel, std::uint8_t parameter, void* buffer,
                                       std::uint32_t length) {
    const bool old = Env("KORVANE_STANDIN_PCAN_FAULT") == "old";
    const bool held = Env("KORVANE_STANDIN_PCAN_FAULT") == "held";
    std::uint32_t value = 0;
    switch (parameter) {
        case 0x2A:  // PCAN_ATTACHED_CHANNELS_COUNT
            value = Present() ? 1 : 0;
            break;
        case 0x2B: {  // PCAN_ATTACHED_CHANNELS
            if (old || length < sizeof(ChannelInfo) * (Present() ? 1 : 0)) {
                return old ? kParamType : kParamValue;
            }
            if (Present()) {
                ChannelInfo info{kChannel, 0x05, 0, 0, "PCAN-USB", 42, held ? 2u : 1u};
                std::memcpy(buffer, &info, sizeof info);
            }
            return kOk;
        }
        case 0x0D:  // PCAN_CHANNEL_CONDITION
            value = channel != kChannel || !Present() ? 0 : held ? 2 : 1;
            break;
        case 0x01:  // PCAN_DEVICE_ID
            value = 42;
            break;
        case 0x0E:  // PCAN_HARDWARE_NAME
            std::snprintf(static_cast<char*>(buffer), length, "PCAN-USB");
            return channel == kChannel && Present() ? kOk : kIllHw;
#if !defined(_WIN32)
        case 0x03:  // PCAN_RECEIVE_EVENT: a file descriptor on Linux
            if (const std::uint32_t status = Check(channel); status != kOk) {
                return status;
            }
            value = static_cast<std::uint32_t>(bus.socket());
            break;
#endif
        default:
            return kParamType;
    }
    if ((old && parameter == 0x2A) || length < sizeof value) {
        return old ? kParamType : kParamValue;
    }
    std::memcpy(buffer, &value, sizeof value);
    return kOk;
}

std::uint32_t STANDIN_API CAN_SetValue(std::uint16_t channel, std::uint8_t parameter, void* buffer,
                                       std::uint32_t length) {
#if defined(_WIN32)
    if (parameter == 0x03 && length >= sizeof(HANDLE) && Check(channel) == kOk) {
        HANDLE event = nullptr;  // PCAN_RECEIVE_EVENT: a Win32 event, set when frames arrive
        std::memcpy(&event, buffer, sizeof event);
        ::WSAEventSelect(static_cast<SOCKET>(bus.socket()), event, event != nullptr ? FD_READ : 0);
        return kOk;
    }
#else
    (void)channel, (void)buffer, (void)length;
#endif
    return parameter == 0x03 ? kParamValue : kParamType;
}

std::uint32_t STANDIN_API CAN_GetErrorText(std::uint32_t status, std::uint16_t, char* buffer) {
    std::snprintf(buffer, 256, "%s",
                  status == kBusOff       ? "Bus error: the CAN controller is in bus-off state"
                  : status == kIllHw      ? "The handle of the PCAN channel is invalid"
                  : status == kInitialize ? "The channel is already in use"
                                          : "Another error");
    return kOk;
}

}  // extern "C"
