// The health of the bus as a CAN controller's error frames tell it, said to the operator on
// stderr once per change ("vci: can0: bus-off: ..."), so that a load that ends in "the sensor did
// not answer" also says why. The console is not touched.
//
// Error frames are those of Linux (wire/can_id.h): SocketCAN delivers them so, and gs_usb adapters
// send them in the same layout.
#pragma once

#include <cstdint>
#include <string>

#include "wire/can_id.h"

namespace vci {

enum class BusState { kErrorActive, kErrorWarning, kErrorPassive, kBusOff };

class BusHealth {
  public:
    explicit BusHealth(std::string device) : device_(std::move(device)) {}

    // One error frame: its error classes (identifier without flag bits) and its data.
    void OnErrorFrame(std::uint32_t classes, const std::uint8_t data[8]);
    // A frame from another node arrived: the bus works, and a later silence is news again.
    void OnFrameFromOtherNode();

    BusState state() const { return state_; }

  private:
    void Enter(BusState state, const std::uint8_t data[8], bool counters);

    std::string device_;
    BusState state_ = BusState::kErrorActive;
    bool silence_told_ = false;  // "no other node acknowledges", until another node is heard
};

}  // namespace vci
