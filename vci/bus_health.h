// The health of the bus as a CAN controller's error frames tell it, said to the operator on
// stderr once per change ("vci: can0: bus-off: ..."), so that a load that ends in "the sensor did
// not answer" also says why. The console is not touched.
//
// Error frames are those of Linux (linux/can/error.h): the error classes in the identifier, the
// controller's state in data[1], its error counters in data[6] and data[7]. SocketCAN delivers
// them so, and gs_usb adapters send them in the same layout.
#pragma once

#include <cstdint>
#include <string>

namespace vci {

// Error classes (identifier bits of an error frame) and controller states (data[1]).
inline constexpr std::uint32_t kCanErrTxTimeout = 0x001;
inline constexpr std::uint32_t kCanErrController = 0x004;
inline constexpr std::uint32_t kCanErrNoAck = 0x020;
inline constexpr std::uint32_t kCanErrBusOff = 0x040;
inline constexpr std::uint32_t kCanErrRestarted = 0x100;
inline constexpr std::uint32_t kCanErrCounters = 0x200;
inline constexpr std::uint8_t kCanCtrlRxWarning = 0x04;
inline constexpr std::uint8_t kCanCtrlTxWarning = 0x08;
inline constexpr std::uint8_t kCanCtrlRxPassive = 0x10;
inline constexpr std::uint8_t kCanCtrlTxPassive = 0x20;
inline constexpr std::uint8_t kCanCtrlActive = 0x40;

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
