// The part of PEAK's PCAN-Basic library that the PCAN backend calls, declared here from the
// library's public API documentation (no file of the maker's enters the project). The library is
// loaded at run time: PCANBasic.dll on Windows, libpcanbasic.so on Linux.
//
// Widths: every type is fixed-width as the documentation gives it (WORD 16 bits, DWORD and the
// status 32 bits, BYTE 8 bits), the same on both systems; no C `long` appears. The functions are
// __stdcall on Windows (a no-op on x64, kept for 32-bit builds) and the C convention elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#define KORVANE_PCAN_API __stdcall
#else
#define KORVANE_PCAN_API
#endif

namespace vci::pcan {

using Handle = std::uint16_t;      // TPCANHandle: a channel
using Status = std::uint32_t;      // TPCANStatus: error and status bits
using Parameter = std::uint8_t;    // TPCANParameter
using Baudrate = std::uint16_t;    // TPCANBaudrate: BTR0 << 8 | BTR1
using MessageType = std::uint8_t;  // TPCANMessageType

inline constexpr Handle kNoneBus = 0x00;
inline constexpr Handle kUsbBus1 = 0x51;   // PCAN_USBBUS1 .. 8: 0x51 .. 0x58
inline constexpr Handle kUsbBus9 = 0x509;  // PCAN_USBBUS9 .. 16: 0x509 .. 0x510
inline constexpr int kUsbChannels = 16;

inline constexpr Baudrate kBaud1M = 0x0014;  // PCAN_BAUD_1M

inline constexpr Status kOk = 0x00000;
inline constexpr Status kErrXmtFull = 0x00001;
inline constexpr Status kErrOverrun = 0x00002;
inline constexpr Status kErrBusLight = 0x00004;
inline constexpr Status kErrBusHeavy = 0x00008;  // also "bus warning"
inline constexpr Status kErrBusOff = 0x00010;
inline constexpr Status kErrQrcvEmpty = 0x00020;
inline constexpr Status kErrQoverrun = 0x00040;
inline constexpr Status kErrQxmtFull = 0x00080;
inline constexpr Status kErrRegTest = 0x00100;
inline constexpr Status kErrNoDriver = 0x00200;
inline constexpr Status kErrIllHw = 0x01400;
inline constexpr Status kErrIllNet = 0x01800;
inline constexpr Status kErrIllClient = 0x01C00;
inline constexpr Status kErrIllParamType = 0x04000;
inline constexpr Status kErrBusPassive = 0x40000;
inline constexpr Status kErrInitialize = 0x4000000;
// The bus-state bits of a status.
inline constexpr Status kErrAnyBus = kErrBusLight | kErrBusHeavy | kErrBusOff | kErrBusPassive;

inline constexpr Parameter kDeviceId = 0x01;          // DWORD
inline constexpr Parameter kReceiveEvent = 0x03;      // Windows: a HANDLE set; Linux: an fd got
inline constexpr Parameter kBusOffAutoReset = 0x07;   // DWORD, on/off
inline constexpr Parameter kChannelCondition = 0x0D;  // DWORD
inline constexpr Parameter kHardwareName = 0x0E;      // text
inline constexpr Parameter kAttachedChannelsCount = 0x2A;  // DWORD
inline constexpr Parameter kAttachedChannels = 0x2B;       // ChannelInformation[count]

inline constexpr std::uint32_t kParameterOn = 1;
inline constexpr std::uint32_t kChannelUnavailable = 0;
inline constexpr std::uint32_t kChannelAvailable = 1;
inline constexpr std::uint32_t kChannelOccupied = 2;  // with kChannelAvailable: PCAN-View has it

inline constexpr MessageType kMessageStandard = 0x00;
inline constexpr MessageType kMessageRtr = 0x01;
inline constexpr MessageType kMessageExtended = 0x02;
inline constexpr MessageType kMessageFd = 0x04;
inline constexpr MessageType kMessageEcho = 0x20;
inline constexpr MessageType kMessageErrFrame = 0x40;
inline constexpr MessageType kMessageStatus = 0x80;

inline constexpr std::size_t kHardwareNameSize = 33;  // 32 characters and the terminator
inline constexpr std::size_t kErrorTextSize = 256;    // CAN_GetErrorText's buffer

struct Message {  // TPCANMsg
    std::uint32_t id;
    MessageType type;
    std::uint8_t length;
    std::uint8_t data[8];
};
static_assert(sizeof(Message) == 16);

struct Timestamp {  // TPCANTimestamp
    std::uint32_t millis;
    std::uint16_t millis_overflow;
    std::uint16_t micros;
};
static_assert(sizeof(Timestamp) == 8);

struct ChannelInformation {  // TPCANChannelInformation
    Handle channel;
    std::uint8_t device_type;
    std::uint8_t controller_number;
    std::uint32_t device_features;
    char device_name[kHardwareNameSize];
    std::uint32_t device_id;
    std::uint32_t channel_condition;
};
static_assert(sizeof(ChannelInformation) == 52);

// The library's functions, found at run time.
struct Api {
    Status(KORVANE_PCAN_API* Initialize)(Handle, Baudrate, std::uint8_t hardware_type,
                                         std::uint32_t io_port, std::uint16_t interrupt);
    Status(KORVANE_PCAN_API* Uninitialize)(Handle);
    Status(KORVANE_PCAN_API* Reset)(Handle);
    Status(KORVANE_PCAN_API* GetStatus)(Handle);
    Status(KORVANE_PCAN_API* Read)(Handle, Message*, Timestamp*);
    Status(KORVANE_PCAN_API* Write)(Handle, Message*);
    Status(KORVANE_PCAN_API* GetValue)(Handle, Parameter, void* buffer, std::uint32_t length);
    Status(KORVANE_PCAN_API* SetValue)(Handle, Parameter, void* buffer, std::uint32_t length);
    Status(KORVANE_PCAN_API* GetErrorText)(Status, std::uint16_t language, char* buffer);
};

// The library, loaded once for the life of the process: null when it is not installed (nothing
// said), or when it lacks one of the functions above (said once on stderr).
const Api* LoadApi();

// "PCAN_ERROR_... text" for a status: the code in hex and the library's own text for it.
std::string StatusText(const Api& api, Status status);

}  // namespace vci::pcan
