// Kvaser channels through CANlib: see backend.h.
#include "vci/kvaser/backend.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "base/deadline_timer.h"
#include "base/shared_library.h"
#include "vci/adapter_sessions.h"
#include "vci/bus_health.h"
#include "vci/kvaser/canlib.h"
#include "vci/message.h"
#include "vci/notice.h"
#include "vci/vci_diagnostics.h"
#include "wire/can_id.h"

namespace vci {

namespace kvaser {

namespace {

#if defined(_WIN32)
constexpr const char* kLibraryName = "canlib32.dll";
#else
constexpr const char* kLibraryName = "libcanlib.so";
#endif

constexpr std::size_t kMaxReadsPerReceive = 256;

}  // namespace

const Api* LoadApi() {
    static const Api* const api = []() -> const Api* {
        static base::SharedLibrary library(kLibraryName);
        if (!library.loaded()) {
            return nullptr;  // not installed: no Kvaser channel, nothing to say
        }
        static Api loaded{};
        library.Find("canInitializeLibrary", &loaded.InitializeLibrary);
        library.Find("canGetNumberOfChannels", &loaded.GetNumberOfChannels);
        library.Find("canGetChannelData", &loaded.GetChannelData);
        library.Find("canOpenChannel", &loaded.OpenChannel);
        library.Find("canClose", &loaded.Close);
        library.Find("canSetBusParams", &loaded.SetBusParams);
        library.Find("canSetBusOutputControl", &loaded.SetBusOutputControl);
        library.Find("canBusOn", &loaded.BusOn);
        library.Find("canBusOff", &loaded.BusOff);
        library.Find("canRead", &loaded.Read);
        library.Find("canReadWait", &loaded.ReadWait);
        library.Find("canWrite", &loaded.Write);
        library.Find("canReadStatus", &loaded.ReadStatus);
        library.Find("canFlushReceiveQueue", &loaded.FlushReceiveQueue);
        library.Find("canGetErrorText", &loaded.GetErrorText);
        if (!library.missing().empty()) {
            Notice(nullptr, "%s: Kvaser channels are not listed", library.missing().c_str());
            return nullptr;
        }
        loaded.InitializeLibrary();
        return &loaded;
    }();
    return api;
}

std::string StatusText(const Api& api, Status status) {
    char text[128] = {};
    std::string result = "CANlib status " + std::to_string(status);
    if (api.GetErrorText(status, text, sizeof text) == kOk && text[0] != '\0') {
        text[sizeof text - 1] = '\0';
        result += std::string(": ") + text;
    }
    return result;
}

DeviceEntry EntryFor(std::int32_t channel, const std::string& device, std::uint64_t serial,
                     std::uint32_t channel_on_card, bool is_virtual) {
    DeviceEntry entry;
    entry.kind = kVciDeviceKvaser;
    entry.number = static_cast<std::uint32_t>(channel);
    entry.name = "kvaser" + std::to_string(channel);
    entry.locator = std::to_string(channel);
    // CANlib's device names begin with the maker's ("Kvaser Leaf Light v2").
    entry.description = device.rfind("Kvaser", 0) == 0
                            ? device
                            : "Kvaser " + (device.empty() ? std::string("CANlib channel") : device);
    if (serial != 0) {
        entry.description += ", serial " + std::to_string(serial);
        if (channel_on_card == 0) {
            entry.serial = std::to_string(serial);
        }
    }
    entry.description += ", channel " + std::to_string(channel_on_card + 1) + " on the card";
    if (is_virtual) {
        entry.description += " (virtual)";
    }
    return entry;
}

namespace {

void FindChannels(const Api& api, std::vector<DeviceEntry>& out) {
    std::int32_t count = 0;
    if (api.GetNumberOfChannels(&count) != kOk) {
        return;
    }
    for (std::int32_t channel = 0; channel < count; ++channel) {
        char name[256] = {};
        std::uint64_t serial = 0;
        std::uint32_t on_card = 0;
        std::uint32_t capabilities = 0;
        api.GetChannelData(channel, kDataDevDescrAscii, name, sizeof name);
        name[sizeof name - 1] = '\0';
        api.GetChannelData(channel, kDataCardSerialNo, &serial, sizeof serial);
        api.GetChannelData(channel, kDataChanNoOnCard, &on_card, sizeof on_card);
        api.GetChannelData(channel, kDataChannelCap, &capabilities, sizeof capabilities);
        out.push_back(
            EntryFor(channel, name, serial, on_card, (capabilities & kChannelCapVirtual) != 0));
    }
}

// One opened channel, shared by the device's controller and its channel.
class Session {
  public:
    Session(const Api& api, std::int32_t channel, std::string name)
        : api_(api), channel_(channel), name_(std::move(name)), health_(name_) {}
    ~Session() {
        if (handle_ >= 0) {
            api_.BusOff(handle_);
            api_.Close(handle_);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    VciResult Configure(std::uint32_t bitrate) {
        if (bitrate != 1'000'000) {
            Notice(name_.c_str(), "runs at 1000 kbit/s only here, not %u bit/s",
                   static_cast<unsigned>(bitrate));
            return kVciErrNotSupported;
        }
        if (handle_ < 0) {
            const CanHandle handle =
                api_.OpenChannel(channel_, kOpenExclusive | kOpenAcceptVirtual);
            if (handle < 0) {
                Notice(name_.c_str(),
                       "the channel could not be opened (another program may have it): %s",
                       StatusText(api_, handle).c_str());
                return handle == kErrNotFound ? kVciErrDeviceGone : kVciErrIo;
            }
            handle_ = handle;
            lost_ = false;
        }
        Status status = api_.SetBusParams(handle_, kBitrate1M, 0, 0, 0, 0, 0);
        if (status == kOk) {
            status = api_.SetBusOutputControl(handle_, kDriverNormal);
        }
        if (status != kOk) {
            Notice(name_.c_str(), "the channel refused 1000 kbit/s in normal mode: %s",
                   StatusText(api_, status).c_str());
            return kVciErrIo;
        }
        return kVciOk;
    }

    VciResult Start(bool start) {
        if (handle_ < 0) {
            return kVciErrWrongState;
        }
        const Status status = start ? api_.BusOn(handle_) : api_.BusOff(handle_);
        if (status != kOk) {
            Notice(name_.c_str(), "bus %s failed: %s", start ? "on" : "off",
                   StatusText(api_, status).c_str());
            return kVciErrIo;
        }
        on_bus_ = start;
        if (start) {
            api_.FlushReceiveQueue(handle_);
        }
        return kVciOk;
    }

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) {
        if (lost_) {
            return false;
        }
        if (handle_ < 0) {  // no controller opened it: nothing can arrive
            std::this_thread::sleep_for(
                std::chrono::microseconds(std::max<std::int64_t>(0, timeout_us)));
            return true;
        }
        const std::size_t before = out.size();
        if (!Drain(out, 0)) {
            return false;
        }
        if (out.size() == before && timeout_us > 0) {
            // canReadWait counts in milliseconds: the wait is rounded up to whole ones.
            if (!Drain(out, static_cast<ULong>((timeout_us + 999) / 1000)) || !Drain(out, 0)) {
                return false;
            }
        }
        return CheckStatus();
    }

    Transport::SendResult Send(const VciMessage& message, std::uint32_t timeout_ms) {
        if (lost_) {
            return Transport::SendResult::kLost;
        }
        if (handle_ < 0 || !on_bus_) {
            last_error_ = "the channel is not on the bus";
            return Transport::SendResult::kFailed;
        }
        if (!CheckStatus()) {
            return Transport::SendResult::kLost;
        }
        if (health_.state() == BusState::kBusOff) {
            last_error_ = "the controller is bus-off";
            return Transport::SendResult::kFailed;
        }
        const bool extended = (message.flags & kVciFlagExtended) != 0;
        const bool remote = (message.flags & kVciFlagRemote) != 0;
        std::uint8_t data[8] = {};
        const unsigned length = std::min<unsigned>(message.flags & kVciFlagLengthMask, 8);
        std::memcpy(data, message.data, length);
        const unsigned flags = (extended ? kMsgExt : kMsgStd) | (remote ? kMsgRtr : 0);
        const std::int64_t deadline = base::SteadyNowUs() + std::int64_t{timeout_ms} * 1000;
        for (;;) {
            const Status status = api_.Write(
                handle_, static_cast<Long>(message.identifier & wire::CanIdMask(extended)), data,
                length, flags);
            if (status == kOk) {
                return Transport::SendResult::kSent;
            }
            if (status != kErrTxBufOfl) {
                return Lost(status) ? Transport::SendResult::kLost : Transport::SendResult::kFailed;
            }
            if (base::SteadyNowUs() >= deadline) {
                last_error_ =
                    "the transmit buffer stayed full for " + std::to_string(timeout_ms) + " ms";
                return Transport::SendResult::kFull;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // room comes per frame sent
        }
    }

    // The channel's receiving starts now: what the device queued before is dropped.
    bool DiscardPending(std::int64_t /*budget_us: the library empties its queue at once*/) {
        if (lost_) {
            return false;
        }
        if (handle_ >= 0) {
            api_.FlushReceiveQueue(handle_);
        }
        return true;
    }

    const std::string& last_error() const { return last_error_; }
    bool lost() const { return lost_; }

    static constexpr bool kEchoesOwnFrames = false;  // the library queues the copies
    static constexpr const char* kReceiveFailed = "receive failed: ";

  private:
    // Reads what the channel holds (waiting at most wait_ms for the first frame when it is not 0)
    // into `out`. False when the channel is gone.
    bool Drain(std::vector<VciMessage>& out, ULong wait_ms) {
        for (std::size_t reads = 0; reads < kMaxReadsPerReceive; ++reads) {
            Long id = 0;
            std::uint8_t data[8] = {};
            unsigned dlc = 0;
            unsigned flags = 0;
            ULong time = 0;
            const Status status =
                wait_ms != 0 ? api_.ReadWait(handle_, &id, data, &dlc, &flags, &time, wait_ms)
                             : api_.Read(handle_, &id, data, &dlc, &flags, &time);
            if (status == kErrNoMsg || status == kErrTimeout) {
                return true;
            }
            if (status != kOk) {
                return !Lost(status);
            }
            if ((flags & kMsgErrOverrun) != 0 && !overrun_said_) {
                overrun_said_ = true;
                Notice(name_.c_str(),
                       "the channel's receive buffer overflowed: frames from the "
                       "bus were lost");
            }
            if ((flags & (kMsgErrorFrame | kMsgTxAck)) != 0) {
                continue;  // the state comes from canReadStatus; acknowledges are not asked for
            }
            health_.OnFrameFromOtherNode();
            out.push_back(ReceivedMessage(
                static_cast<std::uint32_t>(id), (flags & kMsgExt) != 0, (flags & kMsgRtr) != 0,
                static_cast<std::uint8_t>(std::min<unsigned>(dlc, 8)), data));
            wait_ms = 0;
        }
        return true;
    }

    // Reads the channel's status into the bus health; false when the channel is gone.
    bool CheckStatus() {
        ULong flags = 0;
        const Status status = api_.ReadStatus(handle_, &flags);
        if (status != kOk) {
            return !Lost(status);
        }
        std::uint8_t data[8] = {};
        std::uint32_t classes = wire::kCanErrController;
        if ((flags & kStatBusOff) != 0) {
            classes = wire::kCanErrBusOff;
        } else if ((flags & kStatErrorPassive) != 0) {
            data[1] = wire::kCanCtrlRxPassive | wire::kCanCtrlTxPassive;
        } else if ((flags & kStatErrorWarning) != 0) {
            data[1] = wire::kCanCtrlRxWarning | wire::kCanCtrlTxWarning;
        } else if (health_.state() == BusState::kBusOff) {
            classes = wire::kCanErrRestarted;
        } else {
            data[1] = wire::kCanCtrlActive;
        }
        health_.OnErrorFrame(classes, data);
        return true;
    }

    // A call failed with `status`: the channel counts as gone (true) unless it is a refusal of
    // one frame.
    bool Lost(Status status) {
        last_error_ = StatusText(api_, status);
        if (status == kErrTxBufOfl) {
            return false;
        }
        lost_ = true;
        last_error_ = "the adapter is gone (" + last_error_ + ")";
        // Let the channel go now, so that a session opened anew (the adapter plugged in again)
        // can open it.
        api_.Close(handle_);
        handle_ = -1;
        return true;
    }

    const Api& api_;
    std::int32_t channel_;
    std::string name_;
    BusHealth health_;
    CanHandle handle_ = -1;
    bool on_bus_ = false;
    bool lost_ = false;
    bool overrun_said_ = false;
    std::string last_error_;
};

AdapterSessions<Session>& Sessions() {
    static AdapterSessions<Session> sessions;
    return sessions;
}

class BackendImpl final : public Backend {
  public:
    std::uint32_t kind() const override { return kVciDeviceKvaser; }

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
        // A session opens the channel at the controller's set-up: making one cannot fail.
        auto open = [api, channel = static_cast<std::int32_t>(entry.number), name = entry.name](
                        VciResult* code, std::string* /*error*/) {
            *code = kVciOk;
            return std::make_shared<Session>(*api, channel, name);
        };
        return std::make_unique<SessionDevice<Session>>(Sessions(), entry, std::move(open));
    }
};

}  // namespace

}  // namespace kvaser

Backend& KvaserBackend() {
    static kvaser::BackendImpl backend;
    return backend;
}

}  // namespace vci
