// A scripted stand-in for the CAN library, for unit tests. It implements every function of
// can/can_library.h: results are scripted per call, received messages come from a scripted
// queue, and every call is recorded with its arguments. No time passes: a read that finds the
// queue empty returns at once with kVciErrTimeout (4110) or kVciErrRxEmpty (4106).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "can/can_library.h"

namespace fake_can {

enum class Op : uint32_t {
    kListOpen = 2000,
    kListClose = 2001,
    kListNext = 2002,
    kListReset = 2003,
    kOpenById = 3000,
    kSelect = 3001,
    kControllerOpen = 4000,
    kControllerClose = 4001,
    kControllerInit = 4005,
    kControllerStart = 4007,
    kChannelOpen = 4100,
    kChannelClose = 4101,
    kChannelInit = 4104,
    kChannelActivate = 4105,
    kTake = 4106,
    kRead = 4110,
    kSend = 4111,
};

// One recorded call: the operation, the handle it was given (or null) and its integer arguments
// in order. Sends keep their message; 3000 keeps the identifier it was given.
struct Call {
    Op op;
    VciHandle handle;
    std::vector<uint64_t> args;
    VciMessage message;
    VciDeviceId device_id;
    bool null_record;  // 4106/4110 called with a null record
};

// Handles that the fake hands out.
VciHandle ListHandle();
VciHandle DeviceHandle();
VciHandle ControllerHandleValue();
VciHandle ChannelHandle();

// Back to a fresh state: no devices, empty queue, no scripted results, no calls recorded.
void Reset();

// The next calls of op return these codes, in order (then kVciOk again, or the queue's result
// for reads). For 4106/4110 a scripted 0 takes the next queued message as usual, and a scripted
// non-zero code is returned without touching the queue.
void ScriptResults(Op op, std::vector<uint32_t> codes);

// Devices that enumeration yields, in order; after the last one 2002 returns kVciErrNoMoreItems.
// Each Reset of an enumerator (2003) starts from the first again. SetDevicesAfter(n, list)
// changes the list from the n-th 2000 call on (n counted from 1), for a device that goes away.
void SetDevices(std::vector<VciDeviceInfo> devices);
void SetDevicesFrom(int list_open_call, std::vector<VciDeviceInfo> devices);
VciDeviceInfo MakeDevice(uint8_t first_id_byte);

// Received messages, taken in order by 4106 and 4110.
void QueueMessage(const VciMessage& message);
// n reads of 4110 that find nothing before the next queued message (4106 is not delayed).
void QueueSilence(int n);
// A data message as the library would deliver it.
VciMessage DataMessage(uint32_t id, bool extended, std::vector<uint8_t> data, bool own = false);
// Messages left in the queue.
size_t QueuedMessages();

// Called on every accepted send (after it is recorded), e.g. to queue a reply.
void OnSend(std::function<void(const VciMessage&)> hook);

const std::vector<Call>& Calls();
size_t CountCalls(Op op);
std::vector<VciMessage> SentMessages();

}  // namespace fake_can
