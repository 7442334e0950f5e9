// The CAN interface library (VCINPL.dll on Windows) as the loader calls it.
//
// Every operation returns a 32-bit result code: 0 for success, non-zero for failure. The loader
// passes failure codes up unchanged and tests only the few codes named below by value. On
// Windows the functions are imported from VCINPL.dll by ordinal alone (see VCINPL.def beside
// this file); elsewhere our stand-in library in vci/ provides them under these names, and unit
// tests link a scripted fake in their place.
//
// Handles are opaque pointers owned by the library; null means "none".
//
// Codes of our stand-in library. The loader tests the five marked "*" by value; every other
// failure code it only passes up (and prints in its error line).
//
//      Code        Name                    Meaning
//      0x00000000  kVciOk                  success
//      0xE0010001  kVciErrFailed           unspecified failure
//      0xE0010003  kVciErrInvalidHandle    null or unknown handle (e.g. the controller of a
//                                          null device: no device was found)
//    * 0xE0010004  kVciErrInvalidPointer   null pointer where a record is required
//      0xE0010005  kVciErrInvalidArgument  argument out of range (bus number, FIFO size,
//                                          length above 8)
//      0xE0010006  kVciErrDeviceGone       the device or bus is no longer there
//      0xE0010007  kVciErrNoResources      out of memory or handles
//    * 0xE001000A  kVciErrAccessDenied     the controller belongs to another application: the
//                                          loader releases its controller handle and goes on
//                                          with a shared channel
//    * 0xE001000B  kVciErrTimeout          a read with time-out found nothing
//      0xE001000C  kVciErrCancelled        the operator cancelled the device selection
//      0xE001000D  kVciErrIo               the connection to the bus failed
//    * 0xE001000F  kVciErrNoMoreItems      enumeration has no further device
//      0xE0010010  kVciErrNotSupported     setting not possible here (e.g. a bit rate that the
//                                          interface cannot be given without privilege)
//      0xE0010011  kVciErrWrongState       operation not allowed in the current state (e.g. a
//                                          read on a channel that is not active)
//    * 0xE0010012  kVciErrRxEmpty          no received message is waiting
//      0xE0010013  kVciErrTxFull           the transmit FIFO is full
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(VCI_BUILDING_LIBRARY)
#define VCI_API __declspec(dllexport)
#else
#define VCI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t VciResult;
typedef struct VciObject* VciHandle;

static const VciResult kVciOk = 0x00000000u;
static const VciResult kVciErrFailed = 0xE0010001u;
static const VciResult kVciErrInvalidHandle = 0xE0010003u;
static const VciResult kVciErrInvalidPointer = 0xE0010004u;
static const VciResult kVciErrInvalidArgument = 0xE0010005u;
static const VciResult kVciErrDeviceGone = 0xE0010006u;
static const VciResult kVciErrNoResources = 0xE0010007u;
static const VciResult kVciErrAccessDenied = 0xE001000Au;
static const VciResult kVciErrTimeout = 0xE001000Bu;
static const VciResult kVciErrCancelled = 0xE001000Cu;
static const VciResult kVciErrIo = 0xE001000Du;
static const VciResult kVciErrNoMoreItems = 0xE001000Fu;
static const VciResult kVciErrNotSupported = 0xE0010010u;
static const VciResult kVciErrWrongState = 0xE0010011u;
static const VciResult kVciErrRxEmpty = 0xE0010012u;
static const VciResult kVciErrTxFull = 0xE0010013u;

// The 8 bytes that identify a device: the first 8 bytes of its device-information record,
// handed back unchanged to open it. Opaque to the loader.
typedef struct VciDeviceId {
    uint8_t bytes[8];
} VciDeviceId;

// Device-information record, 304 bytes, written for each device during enumeration.
// The loader reads only `id`; the rest is for people and for the selection prompt.
typedef struct VciDeviceInfo {
    VciDeviceId id;         // 0: opaque identifier (first 8 bytes)
    char name[32];          // 8: short name, zero-terminated: "sim0", "vcan0", "can0"
    char description[256];  // 40: one line for a person, zero-terminated
    uint32_t kind;          // 296: kVciDeviceVirtualBus, kVciDeviceSocketCan, or one of the
                            // library's own kinds (vci/vci_diagnostics.h: SLCAN, gs_usb)
    uint32_t reserved;      // 300: 0
} VciDeviceInfo;

static const uint32_t kVciDeviceVirtualBus = 1;
static const uint32_t kVciDeviceSocketCan = 2;

// Message record, 20 bytes, little-endian: what the library reads when sending and fills when
// receiving.
typedef struct VciMessage {
    uint32_t time_stamp;  // 0: microseconds since the channel was activated (wraps); 0 when sending
    uint32_t identifier;  // 4: 11- or 29-bit identifier
    uint8_t type;         // 8: kVciMessageData, or another kind of message
    uint8_t reserved0;    // 9
    uint8_t flags;        // 10: length in bits 0-3, kVciFlagSelf, kVciFlagExtended
    uint8_t reserved1;    // 11
    uint8_t data[8];      // 12: data bytes 0 to 7
} VciMessage;

static const uint8_t kVciMessageData = 0;  // a CAN data frame
// A notice from the library (e.g. the channel was started).
static const uint8_t kVciMessageInfo = 1;
static const uint8_t kVciMessageError = 2;   // an error frame or bus error seen by the controller
static const uint8_t kVciMessageStatus = 3;  // a change of controller state

static const uint8_t kVciFlagLengthMask = 0x0F;  // data length (0 to 8)
static const uint8_t kVciFlagSelf = 0x20;  // the copy of a message that this channel sent itself
static const uint8_t kVciFlagExtended = 0x80;  // 29-bit identifier

// ---- Device enumeration -------------------------------------------------------------------

// 2000: opens an enumerator over the devices present now.
VCI_API VciResult VciDeviceListOpen(VciHandle* list);
// 2001: closes an enumerator.
VCI_API VciResult VciDeviceListClose(VciHandle list);
// 2002: writes the next device's record; kVciErrNoMoreItems after the last one.
VCI_API VciResult VciDeviceListNext(VciHandle list, VciDeviceInfo* info);
// 2003: goes back to the first device (and looks for devices anew).
VCI_API VciResult VciDeviceListReset(VciHandle list);

// ---- Device -------------------------------------------------------------------------------

// 3000: opens the device with this identifier.
VCI_API VciResult VciDeviceOpenById(const VciDeviceId* id, VciHandle* device);
// 3001: lets the operator choose one of the devices and opens it. The parent window is the
// owner of a selection dialog where the library shows one; it may be null. Our stand-in library
// asks on the console instead (a numbered list, one line read) and does not use it.
// kVciErrCancelled when the operator gives no valid choice.
VCI_API VciResult VciDeviceSelect(void* parent_window, VciHandle* device);

// ---- Controller ---------------------------------------------------------------------------

// 4000: opens the CAN controller `bus` (only 0 exists) of the device.
VCI_API VciResult VciControllerOpen(VciHandle device, uint32_t bus, VciHandle* controller);
// 4001: closes a controller handle.
VCI_API VciResult VciControllerClose(VciHandle controller);
// 4005: sets operating mode and bit timing. Mode 7 is standard and extended frames with error
// frames; btr0/btr1 are the SJA1000 bus timing registers (0x00, 0x14: 1000 kbit/s at 16 MHz).
VCI_API VciResult VciControllerInit(VciHandle controller, uint8_t mode, uint8_t btr0, uint8_t btr1);
// 4007: starts (1) or stops (0) the controller.
VCI_API VciResult VciControllerStart(VciHandle controller, uint32_t start);

// ---- Message channel ----------------------------------------------------------------------

// 4100: opens a message channel on `bus` (only 0) of the device; exclusive 0 shares the bus.
VCI_API VciResult VciChannelOpen(VciHandle device, uint32_t bus, uint32_t exclusive,
                                 VciHandle* channel);
// 4101: closes a channel.
VCI_API VciResult VciChannelClose(VciHandle channel);
// 4104: sets the FIFO sizes (in messages) and thresholds of the channel.
VCI_API VciResult VciChannelInit(VciHandle channel, uint32_t rx_fifo_size, uint32_t rx_threshold,
                                 uint32_t tx_fifo_size, uint32_t tx_threshold);
// 4105: activates (1) or deactivates (0) the channel; only an active channel sends and receives.
VCI_API VciResult VciChannelActivate(VciHandle channel, uint32_t activate);
// 4106: takes the next received message without waiting; with a null record it is discarded.
// kVciErrRxEmpty when none is waiting.
VCI_API VciResult VciChannelTake(VciHandle channel, VciMessage* message);
// 4110: takes the next received message, waiting at most timeout_ms for one to arrive (and
// returning the moment it does). kVciErrTimeout when none came.
VCI_API VciResult VciChannelRead(VciHandle channel, uint32_t timeout_ms, VciMessage* message);
// 4111: hands one message to the transmit FIFO. timeout_ms 0: do not wait for room.
VCI_API VciResult VciChannelSend(VciHandle channel, uint32_t timeout_ms, const VciMessage* message);

#ifdef __cplusplus
}  // extern "C"

static_assert(sizeof(VciDeviceId) == 8);
static_assert(sizeof(VciDeviceInfo) == 304);
static_assert(offsetof(VciDeviceInfo, name) == 8);
static_assert(offsetof(VciDeviceInfo, description) == 40);
static_assert(offsetof(VciDeviceInfo, kind) == 296);
static_assert(sizeof(VciMessage) == 20);
static_assert(offsetof(VciMessage, time_stamp) == 0);
static_assert(offsetof(VciMessage, identifier) == 4);
static_assert(offsetof(VciMessage, type) == 8);
static_assert(offsetof(VciMessage, reserved0) == 9);
static_assert(offsetof(VciMessage, flags) == 10);
static_assert(offsetof(VciMessage, reserved1) == 11);
static_assert(offsetof(VciMessage, data) == 12);
#endif
