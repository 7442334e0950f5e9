// A stand-in for PEAK's PCAN-Basic library, built as libpcanbasic.so and PCANBasic.dll for the
// tests, written from the library's public documentation: one PCAN-USB channel, PCAN_USBBUS1
// (device ID 42), on the virtual bus at 127.0.0.1, port KORVANE_STANDIN_PCAN_BUS (no channel
// attached while that is unset). CAN_Initialize joins the bus at PCAN_BAUD_1M only; a thread
// queues the bus's frames and signals the receive event (Linux: an eventfd that CAN_GetValue
// hands out, readable while frames wait; Windows: the event given to CAN_SetValue).
//
// KORVANE_STANDIN_PCAN_FAULT:
//   held         another program has the channel: its condition is "occupied" and
//                CAN_Initialize answers PCAN_ERROR_INITIALIZE
//   old          a library from before the attached-channels parameters (0x2A, 0x2B)
//   busoff:ID    the controller goes bus-off at the first frame written to ID (hex), once per
//                working folder (a file there remembers it); a new initialisation restarts it
//   pull:ID      the adapter is pulled out at the first frame written to ID
// Built with KORVANE_STANDIN_WITHOUT_GETSTATUS: a library without CAN_GetStatus.
#include "tests/vendor/standin.h"
#include "virtual_bus/bus_client.h"
// After winsock2.h (bus_client.h):
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/eventfd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

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

struct State {
    std::mutex mutex;
    vbus::BusClient bus;
    std::deque<Msg> rx;
    bool initialised = false, gone = false, bus_off = false;
    std::thread reader;
    std::atomic<bool> stop{false};
#if defined(_WIN32)
    HANDLE event = nullptr;
#else
    int event = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
}& s = *new State;  // never destroyed: no destructor may meet the thread at exit

bool Present() {
    return !s.gone && !Env("KORVANE_STANDIN_PCAN_BUS").empty();
}

void Signal() {  // with the mutex
#if defined(_WIN32)
    if (s.event != nullptr) {
        ::SetEvent(s.event);
    }
#else
    const std::uint64_t one = 1;
    (void)!::write(s.event, &one, sizeof one);
#endif
}

void Read() {
    std::vector<vbus::Frame> frames;
    std::vector<base::net::PollEntry> poll(1);
    while (!s.stop) {
        if (s.bus.socket() < 0) {  // the bus host went away
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        poll[0] = {static_cast<base::net::NativeSocket>(s.bus.socket()), true};
        base::net::Poll(poll, 20'000);
        std::lock_guard lock(s.mutex);
        frames.clear();
        s.bus.Receive(frames, 0);
        for (const vbus::Frame& frame : frames) {
            Msg msg{frame.id,
                    static_cast<std::uint8_t>((frame.extended ? 2 : 0) | (frame.remote ? 1 : 0)),
                    frame.length,
                    {}};
            std::memcpy(msg.data, frame.data.data(), 8);
            s.rx.push_back(msg);
        }
        if (!frames.empty()) {
            Signal();
        }
    }
}

void Stop() {  // without the mutex
    if (s.reader.joinable()) {
        s.stop = true;
        s.reader.join();
    }
    std::lock_guard lock(s.mutex);
    s.bus.Close();
    s.rx.clear();
    s.initialised = false;
}

bool Fault(const char* kind, std::uint32_t id) {
    return standin::FaultOnce(Env("KORVANE_STANDIN_PCAN_FAULT"), kind, id);
}

std::uint32_t Check(std::uint16_t channel) {  // with the mutex
    return channel != kChannel || s.gone ? kIllHw : !s.initialised ? kInitialize : kOk;
}

}  // namespace

extern "C" {

std::uint32_t STANDIN_API CAN_Initialize(std::uint16_t channel, std::uint16_t btr0btr1,
                                         std::uint8_t, std::uint32_t, std::uint16_t) {
    if (channel != kChannel || !Present()) {
        return kIllHw;
    }
    if (Env("KORVANE_STANDIN_PCAN_FAULT") == "held" || s.initialised) {
        return kInitialize;
    }
    if (btr0btr1 != 0x0014) {
        std::fprintf(stderr, "stand-in PCAN-Basic: the bus runs at 1 Mbit/s, not BTR %04X\n",
                     btr0btr1);
        return kParamValue;
    }
    std::string error;
    if (!s.bus.Connect(
            "127.0.0.1",
            static_cast<std::uint16_t>(std::atoi(Env("KORVANE_STANDIN_PCAN_BUS").c_str())), "",
            &error)) {
        std::fprintf(stderr, "stand-in PCAN-Basic: no bus: %s\n", error.c_str());
        return kIllHw;
    }
    s.initialised = true;
    s.bus_off = false;
    s.stop = false;
    s.reader = std::thread(Read);
    return kOk;
}

std::uint32_t STANDIN_API CAN_Uninitialize(std::uint16_t channel) {
    if (channel != kChannel) {
        return kIllHw;
    }
    Stop();
    return kOk;
}

std::uint32_t STANDIN_API CAN_Reset(std::uint16_t channel) {
    std::lock_guard lock(s.mutex);
    s.rx.clear();
    return Check(channel);
}

#if !defined(KORVANE_STANDIN_WITHOUT_GETSTATUS)
std::uint32_t STANDIN_API CAN_GetStatus(std::uint16_t channel) {
    std::lock_guard lock(s.mutex);
    const std::uint32_t status = Check(channel);
    return status != kOk ? status : s.bus_off ? kBusOff : kOk;
}
#endif

std::uint32_t STANDIN_API CAN_Read(std::uint16_t channel, Msg* msg, std::uint8_t* stamp) {
    std::lock_guard lock(s.mutex);
    if (const std::uint32_t status = Check(channel); status != kOk) {
        return status;
    }
    if (s.rx.empty()) {
#if !defined(_WIN32)
        std::uint64_t count = 0;
        (void)!::read(s.event, &count, sizeof count);  // not readable while the queue is empty
#endif
        return kRxEmpty;
    }
    *msg = s.rx.front();
    s.rx.pop_front();
    if (stamp != nullptr) {
        std::memset(stamp, 0, 8);
    }
    return kOk;
}

std::uint32_t STANDIN_API CAN_Write(std::uint16_t channel, Msg* msg) {
    {
        std::lock_guard lock(s.mutex);
        if (const std::uint32_t status = Check(channel); status != kOk) {
            return status;
        }
        if (s.bus_off) {
            return kBusOff;
        }
        if (Fault("busoff", msg->id)) {
            s.bus_off = true;
            return kBusOff;
        }
        if (!Fault("pull", msg->id)) {
            vbus::Frame frame{msg->id,
                              (msg->type & 2) != 0,
                              std::min<std::uint8_t>(msg->length, 8),
                              {},
                              (msg->type & 1) != 0};
            std::memcpy(frame.data.data(), msg->data, frame.length);
            s.bus.Send(frame);
            return kOk;
        }
    }
    Stop();
    s.gone = true;
    return kIllHw;
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
        case 0x03: {  // PCAN_RECEIVE_EVENT: a file descriptor on Linux
            std::lock_guard lock(s.mutex);
            if (const std::uint32_t status = Check(channel); status != kOk) {
                return status;
            }
            value = static_cast<std::uint32_t>(s.event);
            break;
        }
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
    if (parameter == 0x03 && length >= sizeof(HANDLE)) {  // PCAN_RECEIVE_EVENT: a Win32 event
        std::lock_guard lock(s.mutex);
        std::memcpy(&s.event, buffer, sizeof(HANDLE));
        return Check(channel);
    }
#else
    (void)channel, (void)buffer, (void)length;
#endif
    return parameter == 0x03 ? kParamValue : kParamType;
}

std::uint32_t STANDIN_API CAN_GetErrorText(std::uint32_t status, std::uint16_t, char* buffer) {
    const char* text = status == kOk           ? "No error"
                       : status == kBusOff     ? "Bus error: the CAN controller is in bus-off state"
                       : status == kIllHw      ? "The handle of the PCAN channel is invalid"
                       : status == kInitialize ? "The channel is already in use"
                       : status == kRxEmpty    ? "The receive queue is empty"
                                               : nullptr;
    if (text == nullptr) {
        return kParamValue;
    }
    std::snprintf(buffer, 256, "%s", text);
    return kOk;
}

}  // extern "C"
