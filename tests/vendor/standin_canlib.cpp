// A stand-in for Kvaser's CANlib (libcanlib.so, canlib32.dll) for the tests, from the library's
// public documentation. While KORVANE_STANDIN_KVASER_BUS names a port: channel 0 a "Kvaser Leaf
// Light v2" (serial 10234), channel 1 a virtual channel (opened only with
// canOPEN_ACCEPT_VIRTUAL), both joining the virtual bus at 127.0.0.1 on that port while on bus, at
// canBITRATE_1M in normal mode only. KORVANE_STANDIN_KVASER_FAULT:
//   held:CH      another program has channel CH open exclusively
//   busoff:ID    bus-off at the first frame written to ID (hex), once per working folder: frames
//                stay unsent and canReadStatus says so until bus off and on again
//   pull:ID      pulled out at the first frame written to ID
// Built with KORVANE_STANDIN_WITHOUT_READSTATUS: a library without canReadStatus.
#include "tests/vendor/standin.h"
#include "virtual_bus/bus_client.h"

#include <cstring>
#include <deque>

#if defined(_WIN32)
using Long = std::int32_t;  // C long and unsigned long on Windows
using ULong = std::uint32_t;
#else
using Long = long;
using ULong = unsigned long;
#endif
using standin::Env;

namespace {

constexpr int kOk = 0, kErrParam = -1, kErrNoMsg = -2, kErrNotFound = -3, kErrNoChannels = -5,
              kErrInvHandle = -10, kErrHardware = -15;
constexpr int kChannels = 2;

struct Channel {
    bool open = false, on_bus = false, bus_off = false, bitrate_set = false;
    vbus::BusClient bus;
    std::deque<vbus::Frame> rx;
} channels[kChannels];
bool gone = false;

// The channel of an open handle (handle = channel number here) in *c: kOk, or the error.
int Of(int handle, Channel** c) {
    const bool open = handle >= 0 && handle < kChannels && channels[handle].open;
    *c = open ? &channels[handle] : nullptr;
    return !open ? kErrInvHandle : gone ? kErrHardware : kOk;
}

bool Fault(const char* kind, std::uint32_t id) {
    return standin::FaultOnce(Env("KORVANE_STANDIN_KVASER_FAULT"), kind, id);
}

int Take(Channel& c, Long* id, void* data, unsigned* dlc, unsigned* flags, ULong* time,
         ULong wait_us) {
    if (c.rx.empty() && c.on_bus) {
        std::vector<vbus::Frame> frames;
        c.bus.Receive(frames, static_cast<std::int64_t>(wait_us));
        c.rx.insert(c.rx.end(), frames.begin(), frames.end());
    }
    if (c.rx.empty()) {
        return kErrNoMsg;
    }
    const vbus::Frame frame = c.rx.front();
    c.rx.pop_front();
    *id = static_cast<Long>(frame.id);
    std::memcpy(data, frame.data.data(), frame.length);
    *dlc = frame.length;
    *flags = (frame.extended ? 0x4u : 0x2u) | (frame.remote ? 0x1u : 0);  // canMSG_EXT, _STD, _RTR
    *time = 0;
    return kOk;
}

}  // namespace

extern "C" {

void STANDIN_API canInitializeLibrary() {}

int STANDIN_API canGetNumberOfChannels(int* count) {
    *count = Env("KORVANE_STANDIN_KVASER_BUS").empty() || gone ? 0 : kChannels;
    return kOk;
}

int STANDIN_API canGetChannelData(int channel, int item, void* buffer, std::size_t size) {
    if (channel < 0 || channel >= kChannels) {
        return kErrParam;
    }
    if (item == 26) {  // canCHANNELDATA_DEVDESCR_ASCII
        std::snprintf(static_cast<char*>(buffer), size, "%s",
                      channel == 0 ? "Kvaser Leaf Light v2" : "Kvaser Virtual CAN Driver");
        return kOk;
    }
    // canCHANNELDATA_CHANNEL_CAP (canCHANNEL_CAP_VIRTUAL on the virtual one), _CHAN_NO_ON_CARD,
    // _CARD_SERIAL_NO (64 bits)
    const std::uint32_t word = item == 1 && channel == 1 ? 0x00010000 : 0;
    const std::uint64_t serial = channel == 0 ? 10234 : 0;
    const std::size_t need = item == 7 ? 8 : 4;
    if ((item != 1 && item != 6 && item != 7) || size < need) {
        return kErrParam;
    }
    std::memcpy(buffer, item == 7 ? static_cast<const void*>(&serial) : &word, need);
    return kOk;
}

int STANDIN_API canOpenChannel(int channel, int flags) {
    if (channel < 0 || channel >= kChannels || gone || Env("KORVANE_STANDIN_KVASER_BUS").empty() ||
        (channel == 1 && (flags & 0x20) == 0)) {  // canOPEN_ACCEPT_VIRTUAL
        return kErrNotFound;
    }
    if (channels[channel].open ||
        Env("KORVANE_STANDIN_KVASER_FAULT") == "held:" + std::to_string(channel)) {
        return kErrNoChannels;  // held exclusively
    }
    channels[channel].open = true;
    return channel;
}

int STANDIN_API canClose(int handle) {
    Channel* c = nullptr;
    if (Of(handle, &c) == kErrInvHandle) {
        return kErrInvHandle;
    }
    c->bus.Close();
    c->rx.clear();
    c->open = c->on_bus = c->bus_off = c->bitrate_set = false;
    return kOk;
}

int STANDIN_API canSetBusParams(int handle, Long frequency, unsigned, unsigned, unsigned, unsigned,
                                unsigned) {
    Channel* c = nullptr;
    const int status = Of(handle, &c);
    if (c != nullptr) {
        c->bitrate_set = frequency == -1;  // canBITRATE_1M only: the bus runs at 1 Mbit/s
    }
    return status != kOk ? status : frequency == -1 ? kOk : kErrParam;
}

int STANDIN_API canSetBusOutputControl(int handle, unsigned driver) {
    Channel* c = nullptr;
    const int status = Of(handle, &c);
    return status != kOk ? status : driver == 4 ? kOk : kErrParam;  // canDRIVER_NORMAL only
}

int STANDIN_API canBusOn(int handle) {
    Channel* c = nullptr;
    if (const int status = Of(handle, &c); status != kOk || !c->bitrate_set) {
        return status != kOk ? status : kErrParam;
    }
    c->bus_off = false;
    std::string error;
    const auto port = static_cast<std::uint16_t>(std::stoi(Env("KORVANE_STANDIN_KVASER_BUS")));
    if (!c->on_bus && !c->bus.Connect("127.0.0.1", port, "", &error)) {
        std::fprintf(stderr, "stand-in CANlib: no bus: %s\n", error.c_str());
        return kErrHardware;
    }
    c->on_bus = true;
    return kOk;
}

int STANDIN_API canBusOff(int handle) {
    Channel* c = nullptr;
    if (Of(handle, &c) == kErrInvHandle) {
        return kErrInvHandle;
    }
    c->bus.Close();
    c->on_bus = false;
    c->rx.clear();
    return gone ? kErrHardware : kOk;
}

int STANDIN_API canReadWait(int handle, Long* id, void* data, unsigned* dlc, unsigned* flags,
                            ULong* time, ULong timeout_ms) {
    Channel* c = nullptr;
    const int status = Of(handle, &c);
    return status != kOk ? status : Take(*c, id, data, dlc, flags, time, timeout_ms * 1000);
}

int STANDIN_API canRead(int handle, Long* id, void* data, unsigned* dlc, unsigned* flags,
                        ULong* time) {
    return canReadWait(handle, id, data, dlc, flags, time, 0);
}

int STANDIN_API canWrite(int handle, Long id, void* data, unsigned dlc, unsigned flags) {
    Channel* c = nullptr;
    if (const int status = Of(handle, &c); status != kOk) {
        return status;
    }
    const auto identifier = static_cast<std::uint32_t>(id);
    if (Fault("pull", identifier)) {
        gone = true;
        c->bus.Close();
        return kErrHardware;
    }
    c->bus_off = c->bus_off || Fault("busoff", identifier);
    if (!c->on_bus || c->bus_off) {
        return kOk;  // waits in the transmit buffer
    }
    vbus::Frame frame{identifier,
                      (flags & 0x4) != 0,
                      static_cast<std::uint8_t>(std::min(dlc, 8u)),
                      {},
                      (flags & 0x1) != 0};  // canMSG_EXT, canMSG_RTR
    std::memcpy(frame.data.data(), data, frame.length);
    c->bus.Send(frame);
    return kOk;
}

#if !defined(KORVANE_STANDIN_WITHOUT_READSTATUS)
int STANDIN_API canReadStatus(int handle, ULong* flags) {
    Channel* c = nullptr;
    const int status = Of(handle, &c);
    *flags = status == kOk && c->bus_off ? 0x2 : 0x8;  // canSTAT_BUS_OFF, canSTAT_ERROR_ACTIVE
    return status;
}
#endif

int STANDIN_API canFlushReceiveQueue(int handle) {
    Channel* c = nullptr;
    const int status = Of(handle, &c);
    std::vector<vbus::Frame> dropped;
    if (status == kOk && c->on_bus) {
        c->bus.Receive(dropped, 0);
        c->rx.clear();
    }
    return status;
}

int STANDIN_API canGetErrorText(int status, char* buffer, unsigned size) {
    std::snprintf(buffer, size, "%s",
                  status == kErrNoChannels ? "No channels available"
                  : status == kErrHardware ? "A hardware error has occurred"
                                           : "Another error");
    return kOk;
}

}  // extern "C"
