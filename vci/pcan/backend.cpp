// PEAK PCAN channels through PCAN-Basic: see backend.h.
#include "vci/pcan/backend.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "base/deadline_timer.h"
#include "base/shared_library.h"
#include "vci/adapter_sessions.h"
#include "vci/bus_health.h"
#include "vci/message.h"
#include "vci/notice.h"
#include "vci/pcan/pcan_basic.h"
#include "vci/vci_diagnostics.h"
#include "wire/can_id.h"

namespace vci {

namespace pcan {

namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "PCANBasic.dll";
#else
constexpr const char* kLibraryName = "libpcanbasic.so";
#endif

constexpr std::size_t kMaxReadsPerReceive = 256;

// A status that means the channel (or the driver behind it) is gone.
bool IsGone(Status status) {
    return (status & (kErrIllHw | kErrIllNet | kErrIllClient)) != 0 ||
           (status & (kErrNoDriver | kErrRegTest | kErrInitialize)) != 0;
}

}  // namespace

const Api* LoadApi() {
    static const Api* const api = []() -> const Api* {
        static base::SharedLibrary library(kLibraryName);
        if (!library.loaded()) {
            return nullptr;  // not installed: no PCAN device, nothing to say
        }
        static Api loaded{};
        library.Find("CAN_Initialize", &loaded.Initialize);
        library.Find("CAN_Uninitialize", &loaded.Uninitialize);
        library.Find("CAN_Reset", &loaded.Reset);
        library.Find("CAN_GetStatus", &loaded.GetStatus);
        library.Find("CAN_Read", &loaded.Read);
        library.Find("CAN_Write", &loaded.Write);
        library.Find("CAN_GetValue", &loaded.GetValue);
        library.Find("CAN_SetValue", &loaded.SetValue);
        library.Find("CAN_GetErrorText", &loaded.GetErrorText);
        if (!library.missing().empty()) {
            Notice(nullptr, "%s: PCAN channels are not listed", library.missing().c_str());
            return nullptr;
        }
        return &loaded;
    }();
    return api;
}

std::string StatusText(const Api& api, Status status) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%X", static_cast<unsigned>(status));
    char text[kErrorTextSize] = {};
    if (api.GetErrorText(status, 0x09 /* English */, text) != kOk || text[0] == '\0') {
        return std::string("PCAN-Basic status ") + code;
    }
    return std::string("PCAN-Basic status ") + code + ": " + text;
}

// "PCAN_USBBUS1" for 0x51: the kind from the handle's range, the number from its low bits.
std::string ChannelName(Handle handle) {
    static const char* const kSmall[] = {nullptr, nullptr, "ISA", "DNG", "PCI", "USB", "PCC"};
    const char* kind = nullptr;
    unsigned number = handle & 0xFFu;
    if (handle < 0x100 && (handle >> 4) < 7) {
        kind = kSmall[handle >> 4];
        number = handle & 0x0Fu;
    } else if ((handle & 0xFF00) == 0x400) {
        kind = "PCI";
    } else if ((handle & 0xFF00) == 0x500) {
        kind = "USB";
    } else if ((handle & 0xFF00) == 0x800) {
        kind = "LAN";
    }
    if (kind == nullptr) {
        char text[24];
        std::snprintf(text, sizeof text, "PCAN_0x%X", unsigned{handle});
        return text;
    }
    return std::string("PCAN_") + kind + "BUS" + std::to_string(number);
}

namespace {

DeviceEntry EntryFor(Handle handle, const char* device_name, std::uint32_t device_id,
                     std::uint32_t condition) {
    DeviceEntry entry;
    entry.kind = kVciDevicePcan;
    entry.number = handle;
    entry.name = ChannelName(handle);
    entry.locator = std::to_string(handle);
    entry.description = std::string("PEAK ") + (*device_name != '\0' ? device_name : "PCAN") +
                        ", device ID " + std::to_string(device_id);
    if ((condition & kChannelOccupied) != 0) {
        entry.description += (condition & kChannelAvailable) != 0 ? " (PCAN-View has it)"
                                                                  : " (in use by another program)";
    }
    return entry;
}

// What the PCAN-Basic library reports attached: the attached-channels list, or, from a library
// without it, each USB channel's condition.
void FindChannels(const Api& api, std::vector<DeviceEntry>& out) {
    std::uint32_t count = 0;
    if (api.GetValue(kNoneBus, kAttachedChannelsCount, &count, sizeof count) == kOk) {
        std::vector<ChannelInformation> channels(count);
        const auto size = static_cast<std::uint32_t>(channels.size() * sizeof(ChannelInformation));
        if (count == 0 || api.GetValue(kNoneBus, kAttachedChannels, channels.data(), size) != kOk) {
            return;
        }
        for (ChannelInformation& channel : channels) {
            channel.device_name[kHardwareNameSize - 1] = '\0';
            if ((channel.channel_condition & (kChannelAvailable | kChannelOccupied)) != 0) {
                out.push_back(EntryFor(channel.channel, channel.device_name, channel.device_id,
                                       channel.channel_condition));
            }
        }
        return;
    }
    for (int i = 0; i < kUsbChannels; ++i) {
        const auto handle = static_cast<Handle>(i < 8 ? kUsbBus1 + i : kUsbBus9 + (i - 8));
        std::uint32_t condition = kChannelUnavailable;
        if (api.GetValue(handle, kChannelCondition, &condition, sizeof condition) != kOk ||
            (condition & (kChannelAvailable | kChannelOccupied)) == 0) {
            continue;
        }
        std::uint32_t device_id = 0;
        char name[kErrorTextSize] = {};
        api.GetValue(handle, kDeviceId, &device_id, sizeof device_id);
        api.GetValue(handle, kHardwareName, name, sizeof name);
        name[kHardwareNameSize - 1] = '\0';
        out.push_back(EntryFor(handle, name, device_id, condition));
    }
}

// One initialised channel, shared by the device's controller and its channel.
class Session {
  public:
    Session(const Api& api, Handle handle, std::string name)
        : api_(api), handle_(handle), name_(std::move(name)), health_(name_) {}
    ~Session() { Close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    VciResult Configure(std::uint32_t bitrate) {
        if (bitrate != 1'000'000) {
            Notice(name_.c_str(), "runs at 1000 kbit/s only here, not %u bit/s",
                   static_cast<unsigned>(bitrate));
            return kVciErrNotSupported;
        }
        Close();  // a second initialisation restarts the controller (after bus-off too)
        const Status status = api_.Initialize(handle_, kBaud1M, 0, 0, 0);
        if (status != kOk) {
            Notice(name_.c_str(), "the channel could not be initialised%s: %s",
                   status == kErrInitialize ? " (another program may have it)" : "",
                   StatusText(api_, status).c_str());
            return IsGone(status) && status != kErrInitialize ? kVciErrDeviceGone : kVciErrIo;
        }
        initialised_ = true;
        lost_ = false;
        api_.Reset(handle_);  // the device's receive queue emptied
        if (!OpenEvent()) {
            Close();
            return kVciErrIo;
        }
        return kVciOk;
    }

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) {
        if (lost_) {
            return false;
        }
        if (!initialised_) {  // no controller set it up: nothing can arrive
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::max<std::int64_t>(0, timeout_us)));
            return true;
        }
        const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
        const std::size_t before = out.size();
        for (;;) {
            if (!Drain(out)) {
                return false;
            }
            const std::int64_t left = deadline - base::SteadyNowUs();
            if (out.size() > before || left <= 0) {
                break;
            }
            WaitForEvent(left);
        }
        return CheckStatus(api_.GetStatus(handle_));
    }

    Transport::SendResult Send(const VciMessage& message, std::uint32_t timeout_ms) {
        if (lost_) {
            return Transport::SendResult::kLost;
        }
        if (!initialised_) {
            last_error_ = "the controller was not set up";
            return Transport::SendResult::kFailed;
        }
        Message frame{};
        const bool extended = (message.flags & kVciFlagExtended) != 0;
        const bool remote = (message.flags & kVciFlagRemote) != 0;
        frame.id = message.identifier & wire::CanIdMask(extended);
        frame.type = static_cast<MessageType>((extended ? kMessageExtended : kMessageStandard) |
                                              (remote ? kMessageRtr : 0));
        frame.length = std::min<std::uint8_t>(message.flags & kVciFlagLengthMask, 8);
        std::memcpy(frame.data, message.data, frame.length);
        const std::int64_t deadline = base::SteadyNowUs() + std::int64_t{timeout_ms} * 1000;
        for (;;) {
            const Status status = api_.Write(handle_, &frame);
            if (status == kOk) {
                return Transport::SendResult::kSent;
            }
            if (IsGone(status)) {
                SetLost(status);
                return Transport::SendResult::kLost;
            }
            if ((status & kErrAnyBus) != 0) {
                CheckStatus(status);
                last_error_ = "the controller refused the frame (" + StatusText(api_, status) + ")";
                return Transport::SendResult::kFailed;
            }
            if ((status & (kErrQxmtFull | kErrXmtFull)) == 0) {
                last_error_ = StatusText(api_, status);
                return Transport::SendResult::kFailed;
            }
            if (base::SteadyNowUs() >= deadline) {
                last_error_ =
                    "the transmit queue stayed full for " + std::to_string(timeout_ms) + " ms";
                return Transport::SendResult::kFull;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // room comes per frame sent
        }
    }

    // PCAN-Basic has no start: an initialised channel is on the bus.
    VciResult Start(bool /*start*/) { return kVciOk; }

    // The channel's receiving starts now: what the device queued before is dropped.
    bool DiscardPending(std::int64_t /*budget_us: the library empties its queue at once*/) {
        if (lost_) {
            return false;
        }
        if (initialised_) {
            api_.Reset(handle_);
        }
        return true;
    }

    const std::string& last_error() const { return last_error_; }
    bool lost() const { return lost_; }

    static constexpr bool kEchoesOwnFrames = false;  // the library queues the copies
    static constexpr const char* kReceiveFailed = "receive failed: ";

  private:
    // Moves what the channel's queue holds to `out`. False when the channel is gone.
    bool Drain(std::vector<VciMessage>& out) {
        for (std::size_t reads = 0; reads < kMaxReadsPerReceive; ++reads) {
            Message frame{};
            Timestamp stamp{};
            const Status status = api_.Read(handle_, &frame, &stamp);
            if (status == kErrQrcvEmpty) {
                return true;
            }
            if (status != kOk) {
                return CheckStatus(status);
            }
            if ((frame.type & (kMessageStatus | kMessageErrFrame | kMessageFd | kMessageEcho)) !=
                0) {
                continue;  // the status is read below; the rest is not enabled
            }
            health_.OnFrameFromOtherNode();
            out.push_back(ReceivedMessage(frame.id, (frame.type & kMessageExtended) != 0,
                                          (frame.type & kMessageRtr) != 0,
                                          std::min<std::uint8_t>(frame.length, 8), frame.data));
        }
        return true;
    }

    // The bus state in `status` to the bus health; false (the channel lost) when it says the
    // channel is gone.
    bool CheckStatus(Status status) {
        if (IsGone(status)) {
            SetLost(status);
            return false;
        }
        std::uint8_t data[8] = {};
        std::uint32_t classes = wire::kCanErrController;
        if ((status & kErrBusOff) != 0) {
            classes = wire::kCanErrBusOff;
        } else if ((status & kErrBusPassive) != 0) {
            data[1] = wire::kCanCtrlRxPassive | wire::kCanCtrlTxPassive;
        } else if ((status & (kErrBusHeavy | kErrBusLight)) != 0) {
            data[1] = wire::kCanCtrlRxWarning | wire::kCanCtrlTxWarning;
        } else if (health_.state() == BusState::kBusOff) {
            classes = wire::kCanErrRestarted;
        } else {
            data[1] = wire::kCanCtrlActive;
        }
        health_.OnErrorFrame(classes, data);
        return true;
    }

    // The channel is gone: said by the library once; uninitialised now, so that a session
    // opened anew (the adapter plugged in again) can initialise it.
    void SetLost(Status status) {
        lost_ = true;
        last_error_ = "the adapter is gone (" + StatusText(api_, status) + ")";
        Close();
    }

    bool OpenEvent() {
#if defined(_WIN32)
        if (event_ == nullptr) {
            event_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        }
        HANDLE value = event_;
        const Status status = event_ == nullptr
                                  ? kErrNoDriver
                                  : api_.SetValue(handle_, kReceiveEvent, &value, sizeof value);
#else
        std::int32_t value = -1;
        const Status status = api_.GetValue(handle_, kReceiveEvent, &value, sizeof value);
        event_ = value;
#endif
        if (status != kOk) {
            Notice(name_.c_str(), "the channel's receive event could not be set up: %s",
                   StatusText(api_, status).c_str());
            return false;
        }
        return true;
    }

    void WaitForEvent(std::int64_t timeout_us) {
        const auto timeout_ms = static_cast<unsigned long>((timeout_us + 999) / 1000);
#if defined(_WIN32)
        ::WaitForSingleObject(event_, static_cast<DWORD>(timeout_ms));
#else
        pollfd entry{event_, POLLIN, 0};
        const timespec wait{static_cast<time_t>(timeout_us / 1'000'000),
                            static_cast<long>(timeout_us % 1'000'000) * 1000};
        ::ppoll(&entry, 1, &wait, nullptr);
        (void)timeout_ms;
#endif
    }

    void Close() {
        if (initialised_) {
#if defined(_WIN32)
            std::uint64_t none = 0;
            api_.SetValue(handle_, kReceiveEvent, &none, sizeof(HANDLE));
#endif
            api_.Uninitialize(handle_);
            initialised_ = false;
        }
#if defined(_WIN32)
        if (event_ != nullptr && !initialised_) {
            ::CloseHandle(event_);
            event_ = nullptr;
        }
#endif
    }

    const Api& api_;
    Handle handle_;
    std::string name_;
    BusHealth health_;
    bool initialised_ = false;
    bool lost_ = false;
    std::string last_error_;
#if defined(_WIN32)
    HANDLE event_ = nullptr;
#else
    int event_ = -1;  // the library's, closed by it
#endif
};

AdapterSessions<Session>& Sessions() {
    static AdapterSessions<Session> sessions;
    return sessions;
}

class BackendImpl final : public Backend {
  public:
    std::uint32_t kind() const override { return kVciDevicePcan; }

    void Discover(std::vector<DeviceEntry>& out) override {
        if (const Api* api = LoadApi()) {
            FindChannels(*api, out);
        }
    }

    std::unique_ptr<BackendDevice> Open(const DeviceEntry& entry) override {
        const Api* api = LoadApi();
        if (api == nullptr) {
            return nullptr;
        }
        // A session initialises the channel at the controller's set-up: making one cannot fail.
        auto open = [api, handle = static_cast<Handle>(entry.number), name = entry.name](
                        VciResult* code, std::string* /*error*/) {
            *code = kVciOk;
            return std::make_shared<Session>(*api, handle, name);
        };
        return std::make_unique<SessionDevice<Session>>(Sessions(), entry, std::move(open));
    }
};

}  // namespace

}  // namespace pcan

Backend& PcanBackend() {
    static pcan::BackendImpl backend;
    return backend;
}

}  // namespace vci
