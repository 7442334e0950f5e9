#include "tests/fake_can_library/fake_can_library.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace fake_can {
namespace {

struct QueueEntry {
    bool silence;
    VciMessage message;
};

struct State {
    std::map<Op, std::deque<uint32_t>> scripted;
    std::vector<VciDeviceInfo> devices;
    int devices_from_call = 0;
    std::vector<VciDeviceInfo> later_devices;
    int list_open_calls = 0;
    std::vector<VciDeviceInfo> active_list;
    size_t list_position = 0;
    std::deque<QueueEntry> queue;
    std::function<void(const VciMessage&)> on_send;
    std::vector<Call> calls;
};

State& state() {
    static State s;
    return s;
}

VciHandle FakeHandle(uintptr_t value) {
    return reinterpret_cast<VciHandle>(value);
}

Call& Record(Op op, VciHandle handle, std::vector<uint64_t> args) {
    Call call{};
    call.op = op;
    call.handle = handle;
    call.args = std::move(args);
    state().calls.push_back(call);
    return state().calls.back();
}

// The scripted result of this call, or kVciOk when none is left.
uint32_t Scripted(Op op) {
    auto& queue = state().scripted[op];
    if (queue.empty()) {
        return kVciOk;
    }
    uint32_t code = queue.front();
    queue.pop_front();
    return code;
}

// Takes the next queued message for a read; `waits` tells whether silence entries apply.
uint32_t TakeQueued(VciMessage* message, bool waits, uint32_t empty_code) {
    auto& queue = state().queue;
    while (!queue.empty() && queue.front().silence && !waits) {
        queue.pop_front();  // a read that does not wait does not see the gap
    }
    if (queue.empty()) {
        return empty_code;
    }
    if (queue.front().silence) {
        queue.pop_front();
        return empty_code;
    }
    if (message != nullptr) {
        *message = queue.front().message;
    }
    queue.pop_front();
    return kVciOk;
}

}  // namespace

VciHandle ListHandle() {
    return FakeHandle(0x1000);
}
VciHandle DeviceHandle() {
    return FakeHandle(0x2000);
}
VciHandle ControllerHandleValue() {
    return FakeHandle(0x3000);
}
VciHandle ChannelHandle() {
    return FakeHandle(0x4000);
}

void Reset() {
    state() = State{};
}

void ScriptResults(Op op, std::vector<uint32_t> codes) {
    auto& queue = state().scripted[op];
    queue.insert(queue.end(), codes.begin(), codes.end());
}

void SetDevices(std::vector<VciDeviceInfo> devices) {
    state().devices = std::move(devices);
}

void SetDevicesFrom(int list_open_call, std::vector<VciDeviceInfo> devices) {
    state().devices_from_call = list_open_call;
    state().later_devices = std::move(devices);
}

VciDeviceInfo MakeDevice(uint8_t first_id_byte) {
    VciDeviceInfo info{};
    for (uint8_t i = 0; i < 8; ++i) {
        info.id.bytes[i] = static_cast<uint8_t>(first_id_byte + i);
    }
    std::snprintf(info.name, sizeof info.name, "fake%u", first_id_byte);
    return info;
}

void QueueMessage(const VciMessage& message) {
    state().queue.push_back({false, message});
}

void QueueSilence(int n) {
    for (int i = 0; i < n; ++i) {
        state().queue.push_back({true, {}});
    }
}

VciMessage DataMessage(uint32_t id, bool extended, std::vector<uint8_t> data, bool own) {
    VciMessage message{};
    message.identifier = id;
    message.type = kVciMessageData;
    message.flags = static_cast<uint8_t>(data.size() & 0x0F);
    if (extended) {
        message.flags |= kVciFlagExtended;
    }
    if (own) {
        message.flags |= kVciFlagSelf;
    }
    if (!data.empty()) {
        std::memcpy(message.data, data.data(), data.size() < 8 ? data.size() : 8);
    }
    return message;
}

size_t QueuedMessages() {
    size_t n = 0;
    for (const auto& entry : state().queue) {
        n += entry.silence ? 0 : 1;
    }
    return n;
}

void OnSend(std::function<void(const VciMessage&)> hook) {
    state().on_send = std::move(hook);
}

const std::vector<Call>& Calls() {
    return state().calls;
}

size_t CountCalls(Op op) {
    size_t n = 0;
    for (const auto& call : state().calls) {
        n += call.op == op ? 1 : 0;
    }
    return n;
}

std::vector<VciMessage> SentMessages() {
    std::vector<VciMessage> sent;
    for (const auto& call : state().calls) {
        if (call.op == Op::kSend) {
            sent.push_back(call.message);
        }
    }
    return sent;
}

}  // namespace fake_can

using fake_can::Op;
using fake_can::Record;
using fake_can::Scripted;
using fake_can::state;

extern "C" {

VciResult VciDeviceListOpen(VciHandle* list) {
    Record(Op::kListOpen, nullptr, {});
    uint32_t code = Scripted(Op::kListOpen);
    auto& s = state();
    ++s.list_open_calls;
    if (s.devices_from_call != 0 && s.list_open_calls >= s.devices_from_call) {
        s.devices = s.later_devices;
    }
    if (code == kVciOk) {
        *list = fake_can::ListHandle();
        s.active_list = s.devices;
        s.list_position = 0;
    }
    return code;
}

VciResult VciDeviceListClose(VciHandle list) {
    Record(Op::kListClose, list, {});
    return Scripted(Op::kListClose);
}

VciResult VciDeviceListNext(VciHandle list, VciDeviceInfo* info) {
    Record(Op::kListNext, list, {});
    uint32_t code = Scripted(Op::kListNext);
    if (code != kVciOk) {
        return code;
    }
    auto& s = state();
    if (s.list_position >= s.active_list.size()) {
        return kVciErrNoMoreItems;
    }
    *info = s.active_list[s.list_position++];
    return kVciOk;
}

VciResult VciDeviceListReset(VciHandle list) {
    Record(Op::kListReset, list, {});
    state().list_position = 0;
    return Scripted(Op::kListReset);
}

VciResult VciDeviceOpenById(const VciDeviceId* id, VciHandle* device) {
    auto& call = Record(Op::kOpenById, nullptr, {});
    call.device_id = *id;
    uint32_t code = Scripted(Op::kOpenById);
    if (code == kVciOk) {
        *device = fake_can::DeviceHandle();
    }
    return code;
}

VciResult VciDeviceSelect(void* parent_window, VciHandle* device) {
    Record(Op::kSelect, nullptr, {reinterpret_cast<uintptr_t>(parent_window)});
    uint32_t code = Scripted(Op::kSelect);
    if (code == kVciOk) {
        *device = fake_can::DeviceHandle();
    }
    return code;
}

VciResult VciControllerOpen(VciHandle device, uint32_t bus, VciHandle* controller) {
    Record(Op::kControllerOpen, device, {bus});
    uint32_t code = Scripted(Op::kControllerOpen);
    if (code == kVciOk && device == nullptr) {
        code = kVciErrInvalidHandle;
    }
    if (code == kVciOk) {
        *controller = fake_can::ControllerHandleValue();
    }
    return code;
}

VciResult VciControllerClose(VciHandle controller) {
    Record(Op::kControllerClose, controller, {});
    return Scripted(Op::kControllerClose);
}

VciResult VciControllerInit(VciHandle controller, uint8_t mode, uint8_t btr0, uint8_t btr1) {
    Record(Op::kControllerInit, controller, {mode, btr0, btr1});
    return Scripted(Op::kControllerInit);
}

VciResult VciControllerStart(VciHandle controller, uint32_t start) {
    Record(Op::kControllerStart, controller, {start});
    return Scripted(Op::kControllerStart);
}

VciResult VciChannelOpen(VciHandle device, uint32_t bus, uint32_t exclusive, VciHandle* channel) {
    Record(Op::kChannelOpen, device, {bus, exclusive});
    uint32_t code = Scripted(Op::kChannelOpen);
    if (code == kVciOk) {
        *channel = fake_can::ChannelHandle();
    }
    return code;
}

VciResult VciChannelClose(VciHandle channel) {
    Record(Op::kChannelClose, channel, {});
    return Scripted(Op::kChannelClose);
}

VciResult VciChannelInit(VciHandle channel, uint32_t rx_fifo_size, uint32_t rx_threshold,
                         uint32_t tx_fifo_size, uint32_t tx_threshold) {
    Record(Op::kChannelInit, channel, {rx_fifo_size, rx_threshold, tx_fifo_size, tx_threshold});
    return Scripted(Op::kChannelInit);
}

VciResult VciChannelActivate(VciHandle channel, uint32_t activate) {
    Record(Op::kChannelActivate, channel, {activate});
    return Scripted(Op::kChannelActivate);
}

VciResult VciChannelTake(VciHandle channel, VciMessage* message) {
    auto& call = Record(Op::kTake, channel, {});
    call.null_record = message == nullptr;
    uint32_t code = Scripted(Op::kTake);
    if (code != kVciOk) {
        return code;
    }
    return fake_can::TakeQueued(message, false, kVciErrRxEmpty);
}

VciResult VciChannelRead(VciHandle channel, uint32_t timeout_ms, VciMessage* message) {
    auto& call = Record(Op::kRead, channel, {timeout_ms});
    call.null_record = message == nullptr;
    uint32_t code = Scripted(Op::kRead);
    if (code != kVciOk) {
        return code;
    }
    if (message == nullptr) {
        return kVciErrInvalidPointer;
    }
    return fake_can::TakeQueued(message, timeout_ms != 0, kVciErrTimeout);
}

VciResult VciChannelSend(VciHandle channel, uint32_t timeout_ms, const VciMessage* message) {
    auto& call = Record(Op::kSend, channel, {timeout_ms});
    call.message = *message;
    uint32_t code = Scripted(Op::kSend);
    if (code == kVciOk && state().on_send) {
        state().on_send(*message);
    }
    return code;
}

}  // extern "C"
