// A stand-in for Kvaser's CANlib, built as libcanlib.so and canlib32.dll for the tests, written
// from the library's public documentation. Two channels while KORVANE_STANDIN_KVASER_BUS names a
// port (none otherwise): channel 0 a "Kvaser Leaf Light v2" (serial 10234), channel 1 a virtual
// channel, which canOpenChannel opens only with canOPEN_ACCEPT_VIRTUAL. Both join the virtual bus
// at 127.0.0.1 on that port while on bus, at canBITRATE_1M in normal mode only. No thread: reads
// take what the bus connection holds, canReadWait waiting on it.
//
// KORVANE_STANDIN_KVASER_FAULT:
//   held:CH      another program has channel CH open exclusively: canOpenChannel fails
//   busoff:ID    the controller goes bus-off at the first frame written to ID (hex), once per
//                working folder (a file there remembers it): frames written stay unsent and
//                canReadStatus says canSTAT_BUS_OFF until bus off and on again
//   pull:ID      the adapter is pulled out at the first frame written to ID
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

// The channel of a handle (handle = channel number here), or null.
Channel* Of(int handle) {
    return handle >= 0 && handle < kChannels && channels[handle].open ? &channels[handle] : nullptr;
}

bool Fault(const char* kind, std::uint32_t id) {
    return standin::FaultOnce(Env("KORVANE_STANDIN_KVASER_FAULT"), kind, id);
}

int Take(Channel& c, Long* id, void* data, unsigned* dlc, unsigned* flags, ULong* time,
         std::int64_t wait_us) {
    if (c.rx.empty() && c.on_bus) {
        std::vector<vbus::Frame> frames;
        c.bus.Receive(frames, wait_us);
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
    std::uint64_t value = 0;
    switch (item) {
        case 1:  // canCHANNELDATA_CHANNEL_CAP: canCHANNEL_CAP_VIRTUAL on the virtual one
            value = channel == 1 ? 0x00010000 : 0;
            break;
        case 6:  // canCHANNELDATA_CHAN_NO_ON_CARD
            value = 0;
            break;
        case 7:  // canCHANNELDATA_CARD_SERIAL_NO, 64 bits
            value = channel == 0 ? 10234 : 0;
            std::memcpy(buffer, &value, std::min<std::size_t>(size, 8));
            return size >= 8 ? kOk : kErrParam;
        case 26:  // canCHANNELDATA_DEVDESCR_ASCII
            std::snprintf(static_cast<char*>(buffer), size, "%s",
                          channel == 0 ? "Kvaser Leaf Light v2" : "Kvaser Virtual CAN Driver");
            return kOk;
        default:
            return kErrParam;
    }
    const auto word = static_cast<std::uint32_t>(value);
    std::memcpy(buffer, &word, std::min<std::size_t>(size, 4));
    return size >= 4 ? kOk : kErrParam;
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
    Channel* c = Of(handle);
    if (c == nullptr) {
        return kErrInvHandle;
    }
    c->bus.Close();
    c->rx.clear();
    c->open = c->on_bus = c->bus_off = c->bitrate_set = false;
    return kOk;
}

int STANDIN_API canSetBusParams(int handle, Long frequency, unsigned, unsigned, unsigned, unsigned,
                                unsigned) {
    Channel* c = Of(handle);
    if (c == nullptr || frequency != -1) {  // canBITRATE_1M only: the bus runs at 1 Mbit/s
        return c == nullptr ? kErrInvHandle : kErrParam;
    }
    c->bitrate_set = true;
    return kOk;
}

int STANDIN_API canSetBusOutputControl(int handle, unsigned driver) {
    return Of(handle) == nullptr ? kErrInvHandle
           : driver == 4         ? kOk
                                 : kErrParam;  // canDRIVER_NORMAL
}

int STANDIN_API canBusOn(int handle) {
    Channel* c = Of(handle);
    if (c == nullptr || gone) {
        return gone ? kErrHardware : kErrInvHandle;
    }
    if (!c->bitrate_set) {
        return kErrParam;
    }
    c->bus_off = false;
    std::string error;
    if (!c->on_bus && !c->bus.Connect("127.0.0.1",
                                      static_cast<std::uint16_t>(
                                          std::atoi(Env("KORVANE_STANDIN_KVASER_BUS").c_str())),
                                      "", &error)) {
        std::fprintf(stderr, "stand-in CANlib: no bus: %s\n", error.c_str());
        return kErrHardware;
    }
    c->on_bus = true;
    return kOk;
}

int STANDIN_API canBusOff(int handle) {
    Channel* c = Of(handle);
    if (c == nullptr) {
        return kErrInvHandle;
    }
    c->bus.Close();
    c->on_bus = false;
    c->rx.clear();
    return gone ? kErrHardware : kOk;
}

int STANDIN_API canRead(int handle, Long* id, void* data, unsigned* dlc, unsigned* flags,
                        ULong* time) {
    Channel* c = Of(handle);
    return c == nullptr ? kErrInvHandle
           : gone       ? kErrHardware
                        : Take(*c, id, data, dlc, flags, time, 0);
}

int STANDIN_API canReadWait(int handle, Long* id, void* data, unsigned* dlc, unsigned* flags,
                            ULong* time, ULong timeout_ms) {
    Channel* c = Of(handle);
    return c == nullptr ? kErrInvHandle
           : gone
               ? kErrHardware
               : Take(*c, id, data, dlc, flags, time, static_cast<std::int64_t>(timeout_ms) * 1000);
}

int STANDIN_API canWrite(int handle, Long id, void* data, unsigned dlc, unsigned flags) {
    Channel* c = Of(handle);
    if (c == nullptr || gone) {
        return gone ? kErrHardware : kErrInvHandle;
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
                      (flags & 0x1) != 0};
    std::memcpy(frame.data.data(), data, frame.length);
    c->bus.Send(frame);
    return kOk;
}

#if !defined(KORVANE_STANDIN_WITHOUT_READSTATUS)
int STANDIN_API canReadStatus(int handle, ULong* flags) {
    Channel* c = Of(handle);
    if (c == nullptr || gone) {
        return gone ? kErrHardware : kErrInvHandle;
    }
    *flags = c->bus_off ? 0x2 : 0x8;  // canSTAT_BUS_OFF, canSTAT_ERROR_ACTIVE
    return kOk;
}
#endif

int STANDIN_API canFlushReceiveQueue(int handle) {
    Channel* c = Of(handle);
    if (c == nullptr) {
        return kErrInvHandle;
    }
    std::vector<vbus::Frame> frames;
    if (c->on_bus) {
        c->bus.Receive(frames, 0);
    }
    c->rx.clear();
    return kOk;
}

int STANDIN_API canGetErrorText(int status, char* buffer, unsigned size) {
    const char* text = status == kOk              ? "No error"
                       : status == kErrNotFound   ? "Specified device not found"
                       : status == kErrNoChannels ? "No channels available"
                       : status == kErrHardware   ? "A hardware error has occurred"
                       : status == kErrInvHandle  ? "Handle is invalid"
                                                  : "Unknown error";
    std::snprintf(buffer, size, "%s", text);
    return kOk;
}

}  // extern "C"
