#include "vci/bus_health.h"
#include "vci/notice.h"

#include <cstdio>

namespace vci {

namespace {

constexpr const char* kCheckTheBus = "check the wiring, termination and the sensor's power";

}  // namespace

void BusHealth::OnErrorFrame(std::uint32_t classes, const std::uint8_t data[8]) {
    const bool counters = (classes & wire::kCanErrCounters) != 0;
    if ((classes & wire::kCanErrNoAck) != 0 && !silence_told_ && state_ != BusState::kBusOff) {
        silence_told_ = true;
        Notice(device_.c_str(), "no other node acknowledges the frames sent; %s", kCheckTheBus);
    }
    if ((classes & wire::kCanErrBusOff) != 0) {
        Enter(BusState::kBusOff, data, counters);
    } else if ((classes & wire::kCanErrRestarted) != 0) {
        Enter(BusState::kErrorActive, data, counters);
    } else if ((classes & wire::kCanErrController) != 0) {
        const std::uint8_t status = data[1];
        if ((status & (wire::kCanCtrlRxPassive | wire::kCanCtrlTxPassive)) != 0) {
            Enter(BusState::kErrorPassive, data, counters);
        } else if ((status & (wire::kCanCtrlRxWarning | wire::kCanCtrlTxWarning)) != 0) {
            Enter(BusState::kErrorWarning, data, counters);
        } else if ((status & wire::kCanCtrlActive) != 0) {
            Enter(BusState::kErrorActive, data, counters);
        }
    }
    if ((classes & wire::kCanErrTxTimeout) != 0) {
        Notice(device_.c_str(), "a frame was not sent in time (transmit time-out); %s",
               kCheckTheBus);
    }
}

void BusHealth::OnFrameFromOtherNode() {
    silence_told_ = false;
}

void BusHealth::Enter(BusState state, const std::uint8_t data[8], bool counters) {
    if (state == state_) {
        return;
    }
    const BusState was = state_;
    state_ = state;
    std::string count;
    if (counters) {
        count = " (transmit errors " + std::to_string(data[6]) + ", receive errors " +
                std::to_string(data[7]) + ")";
    }
    const char* name = device_.c_str();
    switch (state) {
        case BusState::kBusOff:
            Notice(name,
                   "bus-off: the controller stopped sending after too many errors%s; no other node "
                   "acknowledges, or the bus is disturbed: %s",
                   count.c_str(), kCheckTheBus);
            break;
        case BusState::kErrorPassive:
            Notice(name,
                   "error-passive: many errors on the bus%s; %s, and that every node runs at 1000 "
                   "kbit/s",
                   count.c_str(), kCheckTheBus);
            break;
        case BusState::kErrorWarning:
            Notice(name, "error warning: errors on the bus%s", count.c_str());
            break;
        case BusState::kErrorActive:
            Notice(name, "%s: the bus works again",
                   was == BusState::kBusOff ? "restarted after bus-off" : "error-active");
            break;
    }
}

}  // namespace vci
