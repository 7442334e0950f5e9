// CAN identifiers as the code around the tool writes them: the flag bits and masks of a 32-bit
// identifier word (Linux's can_id layout, which gs_usb adapters use too), and the classes and
// controller states of an error frame (linux/can/error.h: the classes in the identifier, the
// controller's state in data[1], its error counters in data[6] and data[7]).
#pragma once

#include <cstdint>

namespace wire {

inline constexpr std::uint32_t kCanIdExtended = 0x80000000;    // a 29-bit identifier follows
inline constexpr std::uint32_t kCanIdRemote = 0x40000000;      // a remote frame
inline constexpr std::uint32_t kCanIdError = 0x20000000;       // an error frame
inline constexpr std::uint32_t kCanExtendedMask = 0x1FFFFFFF;  // a 29-bit identifier
inline constexpr std::uint32_t kCanStandardMask = 0x7FF;       // an 11-bit identifier
inline constexpr std::uint32_t kCanErrorMask = 0x1FFFFFFF;     // an error frame's classes

// The identifier bits of a frame with these flags: 29 or 11.
constexpr std::uint32_t CanIdMask(bool extended) {
    return extended ? kCanExtendedMask : kCanStandardMask;
}

// Error classes (identifier bits of an error frame).
inline constexpr std::uint32_t kCanErrTxTimeout = 0x001;
inline constexpr std::uint32_t kCanErrController = 0x004;
inline constexpr std::uint32_t kCanErrNoAck = 0x020;
inline constexpr std::uint32_t kCanErrBusOff = 0x040;
inline constexpr std::uint32_t kCanErrRestarted = 0x100;
inline constexpr std::uint32_t kCanErrCounters = 0x200;

// Controller states (data[1] of an error frame of class kCanErrController).
inline constexpr std::uint8_t kCanCtrlRxWarning = 0x04;
inline constexpr std::uint8_t kCanCtrlTxWarning = 0x08;
inline constexpr std::uint8_t kCanCtrlRxPassive = 0x10;
inline constexpr std::uint8_t kCanCtrlTxPassive = 0x20;
inline constexpr std::uint8_t kCanCtrlActive = 0x40;

}  // namespace wire
