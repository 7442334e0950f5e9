// Our stand-in for the CAN interface library: every operation of can/can_library.h, over the
// backends of vci/backends.cpp. This file keeps the handles, the state checks and the receive
// FIFO; what a device kind does at each step is its backend's (vci/backend.h). The library's
// contract beyond the interface header, threads included, is in vci/library.h; what differs by
// device kind is in each backend's header.

#if defined(__linux__)
#include <sys/prctl.h>
#elif defined(_WIN32)
#include <windows.h>
// (needs the types of windows.h)
#include <timeapi.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "can/can_library.h"
#include "vci/backend.h"
#include "vci/bus_timing.h"
#include "vci/device_prompt.h"
#include "vci/discovery.h"
#include "vci/notice.h"
#include "vci/receive_fifo.h"
#include "vci/transport.h"
#include "vci/vci_diagnostics.h"
#include "wire/can_id.h"

struct VciObject {
    enum class Kind { kDeviceList, kDevice, kController, kChannel };
    explicit VciObject(Kind k) : kind(k) {}
    virtual ~VciObject() = default;
    VciObject(const VciObject&) = delete;
    VciObject& operator=(const VciObject&) = delete;

    const Kind kind;
};

namespace vci {

// A read that starts within this time after another read ended empty continues its pace.
constexpr auto kReadChainGap = std::chrono::microseconds(500);
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kMaxFifoSize = 65536;
constexpr std::uint8_t kModeStandard = 0x01;
constexpr std::uint8_t kModeExtended = 0x02;
constexpr std::uint8_t kModeErrorFrames = 0x04;
// How long one call on an inactive channel may spend discarding what keeps arriving.
constexpr auto kKeepAliveBudget = std::chrono::milliseconds(20);
// How long activation waits for the bus to confirm where the frames from before it end.
constexpr std::int64_t kStartTimeoutUs = 500'000;

// What the controller and the channels of one device share.
struct DeviceState {
    std::unique_ptr<BackendDevice> device;
    std::uint8_t accept_mode = kModeStandard | kModeExtended | kModeErrorFrames;
    const std::string& name() const { return device->entry().name; }
};

// A channel's transport, not receiving until the channel is activated.
std::unique_ptr<Transport> OpenTransport(BackendDevice& device, VciResult* code,
                                         std::string* error) {
    std::unique_ptr<Transport> transport = device.OpenChannel(code, error);
    if (transport && !transport->StopReceiving()) {
        *code = kVciErrIo;
        *error = transport->last_error();
        transport.reset();
    }
    return transport;
}

struct DeviceList final : VciObject {
    DeviceList() : VciObject(Kind::kDeviceList) {}
    std::vector<DeviceEntry> devices;
    std::size_t next = 0;
};

struct Device final : VciObject {
    Device() : VciObject(Kind::kDevice) {}
    std::shared_ptr<DeviceState> state;
};

struct Controller final : VciObject {
    Controller() : VciObject(Kind::kController) {}
    std::shared_ptr<DeviceState> device;
    std::unique_ptr<BackendController> backend;
    bool initialised = false;
    bool started = false;
};

struct Channel final : VciObject {
    Channel() : VciObject(Kind::kChannel) {}
    ~Channel() override { ReportLosses(); }

    const std::string& name() const { return device->name(); }

    std::uint32_t Stamp() const {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now() -
                                                                              activated_at);
        return static_cast<std::uint32_t>(us.count());  // wraps, as documented
    }

    bool Accepts(const VciMessage& message) const {
        if (message.type == kVciMessageError) {
            return (device->accept_mode & kModeErrorFrames) != 0;
        }
        const bool extended = (message.flags & kVciFlagExtended) != 0;
        return (device->accept_mode & (extended ? kModeExtended : kModeStandard)) != 0;
    }

    // Moves what has arrived into the FIFO (or discards it while inactive), waiting at most
    // timeout_us for the first message.
    void Drain(std::int64_t timeout_us) {
        incoming.clear();
        if (lost) {
            return;
        }
        if (!transport->Receive(incoming, timeout_us)) {
            lost = true;
            // Lost while inactive costs nothing yet: activation connects again.
            if (active) {
                Notice(name().c_str(), "%s", transport->last_error().c_str());
            }
        }
        for (VciMessage& message : incoming) {
            if (active && Accepts(message)) {
                message.time_stamp = Stamp();
                fifo.Push(message);
            }
        }
    }

    // While inactive: reads and discards what the socket holds, so that the bus host does not
    // give up on a channel that seems to have stopped reading.
    void KeepAlive() {
        if (active) {
            return;
        }
        const auto until = SteadyClock::now() + kKeepAliveBudget;
        do {
            Drain(0);
        } while (!incoming.empty() && SteadyClock::now() < until);
    }

    // Makes the channel take frames from this moment on: everything that arrived before is
    // discarded, and a connection lost earlier is made anew. kVciOk or the code of the failure,
    // reported on stderr.
    VciResult StartReceiving() {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (lost) {
                VciResult code = kVciErrIo;
                std::string error;
                std::unique_ptr<Transport> fresh = OpenTransport(*device->device, &code, &error);
                if (!fresh) {
                    Notice(name().c_str(), "cannot connect the channel again: %s", error.c_str());
                    return code;
                }
                transport = std::move(fresh);
                lost = false;
            }
            if (transport->StartReceiving(kStartTimeoutUs)) {
                return kVciOk;
            }
            lost = true;  // found while discarding: once more on a new connection
        }
        Notice(name().c_str(), "%s", transport->last_error().c_str());
        return kVciErrIo;
    }

    // A send that failed: says why on stderr, once for each new reason (a stream of sends that
    // fail alike says it once), so that an operator who sees the tool's stage fail sees why.
    VciResult SendFailed(VciResult code) {
        send_failure.Say(name().c_str(), "send failed: " + transport->last_error());
        return code;
    }

    std::uint64_t LostCount() const {
        return fifo.lost() + (transport ? transport->dropped_before_library() : 0);
    }

    void ReportLosses() const {
        if (fifo.lost() > 0) {
            Notice(name().c_str(), "%llu received frames lost, receive FIFO full",
                   static_cast<unsigned long long>(fifo.lost()));
        }
        const std::uint64_t kernel = transport ? transport->dropped_before_library() : 0;
        if (kernel > 0) {
            Notice(name().c_str(), "%llu received frames dropped by the kernel",
                   static_cast<unsigned long long>(kernel));
        }
    }

    std::shared_ptr<DeviceState> device;
    std::unique_ptr<Transport> transport;
    ReceiveFifo fifo;
    std::size_t tx_capacity = 0;
    bool initialised = false;
    bool active = false;
    bool lost = false;
    SteadyClock::time_point activated_at{};
    // Deadline of the last read that ended empty, while reads follow one another at once.
    std::optional<SteadyClock::time_point> empty_read_deadline;
    std::vector<VciMessage> incoming;
    NoticeOnChange send_failure;
};

// The table of handles. A handle names a slot and the slot's generation, which goes up each time
// the slot's object is closed: a stale copy of a closed handle never reaches the object that
// takes the slot next, as an object's address could once the allocator gives it out again.
class Registry {
  public:
    // Null when the table is full (2^24 objects open at once).
    VciHandle Add(std::unique_ptr<VciObject> object) {
        std::lock_guard lock(mutex_);
        std::size_t slot = 0;
        if (!free_.empty()) {
            slot = free_.back();
            free_.pop_back();
        } else if (slots_.size() < kMaxSlots) {
            slot = slots_.size();
            slots_.emplace_back();
        } else {
            return nullptr;
        }
        slots_[slot].object = std::move(object);
        return reinterpret_cast<VciHandle>(
            static_cast<std::uintptr_t>(slots_[slot].generation << kSlotBits | (slot + 1)));
    }

    template <class T>
    T* Find(VciHandle handle, VciObject::Kind kind) {
        std::lock_guard lock(mutex_);
        Slot* slot = Lookup(handle, kind);
        return slot != nullptr ? static_cast<T*>(slot->object.get()) : nullptr;
    }

    // Destroys the object outside the lock (a channel reports its losses as it goes).
    bool Remove(VciHandle handle, VciObject::Kind kind) {
        std::unique_ptr<VciObject> object;
        {
            std::lock_guard lock(mutex_);
            Slot* slot = Lookup(handle, kind);
            if (slot == nullptr) {
                return false;
            }
            object = std::move(slot->object);
            ++slot->generation;
            free_.push_back(static_cast<std::size_t>(slot - slots_.data()));
        }
        return true;
    }

  private:
    static constexpr unsigned kSlotBits = 24;
    static constexpr std::size_t kMaxSlots = (std::size_t{1} << kSlotBits) - 1;

    struct Slot {
        std::uint64_t generation = 1;
        std::unique_ptr<VciObject> object;
    };

    Slot* Lookup(VciHandle handle, VciObject::Kind kind) {
        const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
        const std::uint64_t number = value & kMaxSlots;
        if (number == 0 || number > slots_.size()) {
            return nullptr;
        }
        Slot& slot = slots_[number - 1];
        if (slot.generation != value >> kSlotBits || !slot.object || slot.object->kind != kind) {
            return nullptr;
        }
        return &slot;
    }

    std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> free_;
};

Registry& Objects() {
    static Registry registry;
    return registry;
}

DeviceList* FindList(VciHandle h) {
    return Objects().Find<DeviceList>(h, VciObject::Kind::kDeviceList);
}
Device* FindDeviceHandle(VciHandle h) {
    return Objects().Find<Device>(h, VciObject::Kind::kDevice);
}
Controller* FindController(VciHandle h) {
    return Objects().Find<Controller>(h, VciObject::Kind::kController);
}
Channel* FindChannel(VciHandle h) {
    return Objects().Find<Channel>(h, VciObject::Kind::kChannel);
}

// A device handle for this entry; null when the entry's kind has no backend.
VciHandle AddDevice(const DeviceEntry& entry) {
    Backend* backend = BackendOf(entry.kind);
    if (backend == nullptr) {
        return nullptr;
    }
    auto device = std::make_unique<Device>();
    device->state = std::make_shared<DeviceState>();
    device->state->device = backend->Open(entry);
    return Objects().Add(std::move(device));
}

bool ValidIdentifier(const VciMessage& message) {
    const bool extended = (message.flags & kVciFlagExtended) != 0;
    return message.identifier <= wire::CanIdMask(extended);
}

}  // namespace
}  // namespace vci

using vci::Channel;
using vci::Controller;

extern "C" {

// ---- Device enumeration -------------------------------------------------------------------

VciResult VciDeviceListOpen(VciHandle* list) {
    if (list == nullptr) {
        return kVciErrInvalidPointer;
    }
    auto object = std::make_unique<vci::DeviceList>();
    object->devices = vci::Devices();
    *list = vci::Objects().Add(std::move(object));
    return *list != nullptr ? kVciOk : kVciErrFailed;
}

VciResult VciDeviceListClose(VciHandle list) {
    return vci::Objects().Remove(list, VciObject::Kind::kDeviceList) ? kVciOk
                                                                     : kVciErrInvalidHandle;
}

VciResult VciDeviceListNext(VciHandle list, VciDeviceInfo* info) {
    vci::DeviceList* object = vci::FindList(list);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (info == nullptr) {
        return kVciErrInvalidPointer;
    }
    if (object->next >= object->devices.size()) {
        return kVciErrNoMoreItems;
    }
    *info = vci::ToDeviceInfo(object->devices[object->next++]);
    return kVciOk;
}

VciResult VciDeviceListReset(VciHandle list) {
    vci::DeviceList* object = vci::FindList(list);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    object->devices = vci::Devices();
    object->next = 0;
    return kVciOk;
}

// ---- Device -------------------------------------------------------------------------------

VciResult VciDeviceOpenById(const VciDeviceId* id, VciHandle* device) {
    if (id == nullptr || device == nullptr) {
        return kVciErrInvalidPointer;
    }
    *device = nullptr;
    std::uint32_t kind = 0;
    std::uint32_t number = 0;
    if (!vci::DecodeDeviceId(*id, &kind, &number)) {
        return kVciErrInvalidArgument;
    }
    const std::optional<vci::DeviceEntry> entry = vci::FindDevice(kind, number);
    if (!entry) {
        return kVciErrDeviceGone;
    }
    *device = vci::AddDevice(*entry);
    return *device != nullptr ? kVciOk : kVciErrDeviceGone;
}

VciResult VciDeviceSelect(void* /*parent_window: no dialog, unused*/, VciHandle* device) {
    if (device == nullptr) {
        return kVciErrInvalidPointer;
    }
    *device = nullptr;
    const std::vector<vci::DeviceEntry> devices = vci::Devices();
    if (devices.empty()) {
        vci::Notice(nullptr, "no CAN device to choose from");
        return kVciErrDeviceGone;
    }
    const std::optional<std::size_t> choice = vci::AskForDevice(devices);
    if (!choice) {
        return kVciErrCancelled;
    }
    *device = vci::AddDevice(devices[*choice]);
    return *device != nullptr ? kVciOk : kVciErrDeviceGone;
}

// ---- Controller ---------------------------------------------------------------------------

VciResult VciControllerOpen(VciHandle device, uint32_t bus, VciHandle* controller) {
    if (controller == nullptr) {
        return kVciErrInvalidPointer;
    }
    *controller = nullptr;
    vci::Device* object = vci::FindDeviceHandle(device);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (bus != 0) {
        return kVciErrInvalidArgument;
    }
    auto opened = std::make_unique<Controller>();
    opened->device = object->state;
    opened->backend = object->state->device->OpenController();
    *controller = vci::Objects().Add(std::move(opened));
    if (*controller == nullptr) {
        return kVciErrFailed;
    }
    return kVciOk;
}

VciResult VciControllerClose(VciHandle controller) {
    return vci::Objects().Remove(controller, VciObject::Kind::kController) ? kVciOk
                                                                           : kVciErrInvalidHandle;
}

VciResult VciControllerInit(VciHandle controller, uint8_t mode, uint8_t btr0, uint8_t btr1) {
    Controller* object = vci::FindController(controller);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    constexpr std::uint8_t kAllModes =
        vci::kModeStandard | vci::kModeExtended | vci::kModeErrorFrames;
    if ((mode & ~kAllModes) != 0 || (mode & (vci::kModeStandard | vci::kModeExtended)) == 0) {
        return kVciErrInvalidArgument;
    }
    if (object->started) {
        return kVciErrWrongState;
    }
    if (const VciResult code = object->backend->Init(vci::BitrateFromBtr(btr0, btr1));
        code != kVciOk) {
        return code;
    }
    object->initialised = true;
    object->device->accept_mode = mode;
    return kVciOk;
}

VciResult VciControllerStart(VciHandle controller, uint32_t start) {
    Controller* object = vci::FindController(controller);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (start > 1) {
        return kVciErrInvalidArgument;
    }
    if (start == 1 && !object->initialised) {
        return kVciErrWrongState;
    }
    if (object->initialised) {
        if (const VciResult code = object->backend->Start(start == 1); code != kVciOk) {
            return code;
        }
    }
    object->started = start == 1;
    return kVciOk;
}

// ---- Message channel ----------------------------------------------------------------------

VciResult VciChannelOpen(VciHandle device, uint32_t bus, uint32_t /*exclusive: always shared*/,
                         VciHandle* channel) {
    if (channel == nullptr) {
        return kVciErrInvalidPointer;
    }
    *channel = nullptr;
    vci::Device* object = vci::FindDeviceHandle(device);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (bus != 0) {
        return kVciErrInvalidArgument;
    }
    VciResult code = kVciErrFailed;
    std::string error;
    std::unique_ptr<vci::Transport> transport =
        vci::OpenTransport(*object->state->device, &code, &error);
    if (!transport) {
        vci::Notice(object->state->name().c_str(), "cannot open a channel: %s", error.c_str());
        return code;
    }
    auto opened = std::make_unique<Channel>();
    opened->device = object->state;
    opened->transport = std::move(transport);
    *channel = vci::Objects().Add(std::move(opened));
    return *channel != nullptr ? kVciOk : kVciErrFailed;
}

VciResult VciChannelClose(VciHandle channel) {
    return vci::Objects().Remove(channel, VciObject::Kind::kChannel) ? kVciOk
                                                                     : kVciErrInvalidHandle;
}

VciResult VciChannelInit(VciHandle channel, uint32_t rx_fifo_size, uint32_t rx_threshold,
                         uint32_t tx_fifo_size, uint32_t tx_threshold) {
    Channel* object = vci::FindChannel(channel);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    object->KeepAlive();
    if (object->active) {
        return kVciErrWrongState;
    }
    if (rx_fifo_size == 0 || tx_fifo_size == 0 || rx_fifo_size > vci::kMaxFifoSize ||
        tx_fifo_size > vci::kMaxFifoSize || rx_threshold > rx_fifo_size ||
        tx_threshold > tx_fifo_size) {
        return kVciErrInvalidArgument;
    }
    object->fifo.Reset(rx_fifo_size);
    object->tx_capacity = tx_fifo_size;
    object->initialised = true;
    return kVciOk;
}

VciResult VciChannelActivate(VciHandle channel, uint32_t activate) {
    Channel* object = vci::FindChannel(channel);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (activate > 1) {
        return kVciErrInvalidArgument;
    }
    if (activate == 1 && !object->initialised) {
        return kVciErrWrongState;
    }
    object->KeepAlive();
    if (activate == 0 && object->active) {
        object->active = false;
        if (!object->lost && !object->transport->StopReceiving()) {
            object->lost = true;  // made anew at the next activation
        }
    }
    if (activate == 1 && !object->active) {
        if (const VciResult code = object->StartReceiving(); code != kVciOk) {
            return code;
        }
        object->active = true;
        object->empty_read_deadline.reset();
        object->activated_at = vci::SteadyClock::now();
#if defined(__linux__)
        // Reads time out at their time-out: the default slack of 50 us would make 250 reads of
        // 1 ms last some 263 ms.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#elif defined(_WIN32)
        // The same on Windows, whose timers tick every 15.6 ms unless asked for 1 ms: a 1-ms
        // read would otherwise last a whole tick. Asked once for the life of the process.
        static const bool fine_timer = ::timeBeginPeriod(1) == TIMERR_NOERROR;
        (void)fine_timer;
#endif
    }
    return kVciOk;
}

VciResult VciChannelTake(VciHandle channel, VciMessage* message) {
    Channel* object = vci::FindChannel(channel);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (!object->active) {
        object->KeepAlive();
        return kVciErrWrongState;
    }
    if (object->fifo.empty()) {
        object->Drain(0);
    }
    if (object->fifo.Pop(message)) {
        return kVciOk;
    }
    return object->lost ? kVciErrIo : kVciErrRxEmpty;
}

VciResult VciChannelRead(VciHandle channel, uint32_t timeout_ms, VciMessage* message) {
    Channel* object = vci::FindChannel(channel);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (message == nullptr) {
        return kVciErrInvalidPointer;
    }
    if (!object->active) {
        object->KeepAlive();
        return kVciErrWrongState;
    }
    if (object->fifo.empty()) {
        const auto now = vci::SteadyClock::now();
        const auto timeout = std::chrono::milliseconds(timeout_ms);
        auto deadline = now + timeout;
        // A caller that polls in short reads (the loader counts its waits in 1-ms reads) keeps
        // to their nominal pace: a read that follows at once on one that ended empty counts its
        // time from that one's deadline, so the few tens of microseconds by which each wake-up
        // is late do not add up over a long series of reads. It still waits at most timeout_ms.
        if (object->empty_read_deadline &&
            (now - *object->empty_read_deadline) < vci::kReadChainGap &&
            (*object->empty_read_deadline + timeout) > now) {
            deadline = *object->empty_read_deadline + timeout;
        }
        object->empty_read_deadline.reset();
        // The first drain looks at the socket before it waits, so time-out 0 never waits.
        std::int64_t remaining =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
        for (;;) {
            object->Drain(remaining);
            if (!object->fifo.empty()) {
                break;
            }
            if (object->lost) {
                return kVciErrIo;
            }
            remaining = std::chrono::duration_cast<std::chrono::microseconds>(
                            deadline - vci::SteadyClock::now())
                            .count();
            if (remaining <= 0) {
                if (timeout_ms != 0) {
                    object->empty_read_deadline = deadline;
                }
                return kVciErrTimeout;
            }
        }
    }
    object->empty_read_deadline.reset();
    object->fifo.Pop(message);
    return kVciOk;
}

VciResult VciChannelSend(VciHandle channel, uint32_t timeout_ms, const VciMessage* message) {
    Channel* object = vci::FindChannel(channel);
    if (object == nullptr) {
        return kVciErrInvalidHandle;
    }
    if (message == nullptr) {
        return kVciErrInvalidPointer;
    }
    if (!object->active) {
        object->KeepAlive();
        return kVciErrWrongState;
    }
    if (message->type != kVciMessageData || (message->flags & kVciFlagLengthMask) > 8 ||
        !vci::ValidIdentifier(*message)) {
        return kVciErrInvalidArgument;
    }
    if (object->lost) {
        return kVciErrIo;
    }
    switch (object->transport->Send(*message, timeout_ms, object->tx_capacity)) {
        case vci::Transport::SendResult::kSent:
            break;
        case vci::Transport::SendResult::kFull:
            return object->SendFailed(kVciErrTxFull);
        case vci::Transport::SendResult::kUnsupported:
            return object->SendFailed(kVciErrNotSupported);
        case vci::Transport::SendResult::kFailed:
            return object->SendFailed(kVciErrIo);
        case vci::Transport::SendResult::kLost:
            object->lost = true;
            return object->SendFailed(kVciErrIo);
    }
    if (!object->transport->echoes_own_frames()) {
        VciMessage copy = *message;
        copy.flags = static_cast<std::uint8_t>(copy.flags | kVciFlagSelf);
        copy.reserved0 = 0;
        copy.reserved1 = 0;
        const std::size_t length = copy.flags & kVciFlagLengthMask;
        std::memset(copy.data + length, 0, sizeof copy.data - length);
        copy.time_stamp = object->Stamp();
        object->fifo.Push(copy);
    }
    return kVciOk;
}

uint64_t VciChannelLostCount(VciHandle channel) {
    const Channel* object = vci::FindChannel(channel);
    return object == nullptr ? 0 : object->LostCount();
}

}  // extern "C"
