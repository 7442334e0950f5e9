// The part of Kvaser's CANlib that the Kvaser backend calls, declared here from the library's
// public API documentation (no file of the maker's enters the project). The library is loaded at
// run time: canlib32.dll on Windows, libcanlib.so on Linux.
//
// Widths: CANlib's handles and status codes are C `int` (32 bits on both systems). Some of its
// arguments are C `long` and `unsigned long`, which differ: 32 bits on 64-bit Windows (LLP64),
// 64 bits on 64-bit Linux (LP64). They are declared as Long and ULong below, fixed-width per
// system, and the build stops on a Linux whose `long` is not 64 bits. The functions are
// __stdcall on Windows (a no-op on x64, kept for 32-bit builds) and the C convention elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#define KORVANE_CANLIB_API __stdcall
#else
#define KORVANE_CANLIB_API
#endif

namespace vci::kvaser {

#if defined(_WIN32)
using Long = std::int32_t;    // C long on Windows
using ULong = std::uint32_t;  // C unsigned long on Windows
#else
using Long = std::int64_t;    // C long on 64-bit Linux
using ULong = std::uint64_t;  // C unsigned long on 64-bit Linux
static_assert(sizeof(long) == sizeof(Long), "CANlib's long is 64 bits here: LP64 Linux only");
#endif

using CanHandle = std::int32_t;  // canHandle: >= 0, or a status
using Status = std::int32_t;     // canStatus: canOK or a negative error

inline constexpr Status kOk = 0;
inline constexpr Status kErrNoMsg = -2;
inline constexpr Status kErrNotFound = -3;
inline constexpr Status kErrTimeout = -7;
inline constexpr Status kErrTxBufOfl = -13;

inline constexpr Long kBitrate1M = -1;  // canBITRATE_1M

inline constexpr std::int32_t kOpenExclusive = 0x0008;      // canOPEN_EXCLUSIVE
inline constexpr std::int32_t kOpenAcceptVirtual = 0x0020;  // canOPEN_ACCEPT_VIRTUAL

inline constexpr unsigned kDriverNormal = 4;  // canDRIVER_NORMAL

// Message flags (canMSG_*, canMSGERR_*).
inline constexpr unsigned kMsgRtr = 0x0001;
inline constexpr unsigned kMsgStd = 0x0002;
inline constexpr unsigned kMsgExt = 0x0004;
inline constexpr unsigned kMsgErrorFrame = 0x0020;
inline constexpr unsigned kMsgTxAck = 0x0040;
inline constexpr unsigned kMsgErrOverrun = 0x0600;  // hardware or software overrun

// Status flags (canSTAT_*).
inline constexpr ULong kStatErrorPassive = 0x01;
inline constexpr ULong kStatBusOff = 0x02;
inline constexpr ULong kStatErrorWarning = 0x04;

// Channel data items (canCHANNELDATA_*).
inline constexpr std::int32_t kDataChannelCap = 1;      // 32-bit flags
inline constexpr std::int32_t kDataChanNoOnCard = 6;    // 32 bits
inline constexpr std::int32_t kDataCardSerialNo = 7;    // 64 bits
inline constexpr std::int32_t kDataDevDescrAscii = 26;  // text
inline constexpr std::uint32_t kChannelCapVirtual = 0x00010000;

// The library's functions, found at run time.
struct Api {
    void(KORVANE_CANLIB_API* InitializeLibrary)();
    Status(KORVANE_CANLIB_API* GetNumberOfChannels)(std::int32_t* count);
    Status(KORVANE_CANLIB_API* GetChannelData)(std::int32_t channel, std::int32_t item,
                                               void* buffer, std::size_t size);
    CanHandle(KORVANE_CANLIB_API* OpenChannel)(std::int32_t channel, std::int32_t flags);
    Status(KORVANE_CANLIB_API* Close)(CanHandle);
    Status(KORVANE_CANLIB_API* SetBusParams)(CanHandle, Long frequency, unsigned tseg1,
                                             unsigned tseg2, unsigned sjw, unsigned samples,
                                             unsigned sync_mode);
    Status(KORVANE_CANLIB_API* SetBusOutputControl)(CanHandle, unsigned driver_type);
    Status(KORVANE_CANLIB_API* BusOn)(CanHandle);
    Status(KORVANE_CANLIB_API* BusOff)(CanHandle);
    Status(KORVANE_CANLIB_API* Read)(CanHandle, Long* id, void* data, unsigned* dlc,
                                     unsigned* flags, ULong* time);
    Status(KORVANE_CANLIB_API* ReadWait)(CanHandle, Long* id, void* data, unsigned* dlc,
                                         unsigned* flags, ULong* time, ULong timeout_ms);
    Status(KORVANE_CANLIB_API* Write)(CanHandle, Long id, void* data, unsigned dlc, unsigned flags);
    Status(KORVANE_CANLIB_API* ReadStatus)(CanHandle, ULong* flags);
    Status(KORVANE_CANLIB_API* FlushReceiveQueue)(CanHandle);
    Status(KORVANE_CANLIB_API* GetErrorText)(Status, char* buffer, unsigned size);
};

// The library, loaded and initialised once for the life of the process: null when it is not
// installed (nothing said), or when it lacks one of the functions above (said once on stderr).
const Api* LoadApi();

// "CANlib status -3: Specified device not found": the code and the library's own text for it.
std::string StatusText(const Api& api, Status status);

}  // namespace vci::kvaser
