// The devices that the library offers: what every backend finds (vci/backends.cpp gives their
// order), found once and reused by the enumerations and opens that follow at once, so that one
// run of the loader (count, first device, open) looks for devices once.
//
// The environment variable KORVANE_DEVICE names the one device to use, by its name in the list
// ("sim1", "can0", "ttyACM0", "COM7") or by the adapter's serial number: the list then holds that
// device alone, or none when nothing matches (stderr then lists the devices there are).
//
// Device identifier (the 8 bytes VciDeviceId, handed back unchanged to open the device):
//   bytes 0-1  'K' 'V'   marks an identifier made by this library
//   byte  2    kind      the backend's kind (kVciDeviceVirtualBus, kVciDeviceSocketCan, ...)
//   byte  3    0
//   bytes 4-7  number    the backend's number for the device (little-endian): the TCP port of a
//                        bus host, a SocketCAN interface's index, a serial port's number in this
//                        process, ...
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "can/can_library.h"
#include "vci/backend.h"

namespace vci {

// How long a scan is reused by the enumerations and opens that follow it. One run of the loader
// opens its device within milliseconds of listing it; a process that lives longer sees devices
// come and go. A changed KORVANE_SLCAN_PORTS or KORVANE_DEVICE always makes a new scan.
inline constexpr int kScanReuseMs = 2000;

// The devices present now (the last scan when it is recent, else a new one), KORVANE_DEVICE
// applied.
std::vector<DeviceEntry> Devices();

// The device with this identifier's kind and number if it is there; nullopt when it is gone.
std::optional<DeviceEntry> FindDevice(std::uint32_t kind, std::uint32_t number);

// The backend of this kind; null when there is none.
Backend* BackendOf(std::uint32_t kind);

// Makes the next call look for devices anew (for tests and long-lived programs).
void ForgetDevices();

// The devices that KORVANE_DEVICE (value `wanted`; null when unset) lets the library use: all of
// them when unset, else the one whose name or serial number is `wanted`, or none, after listing
// on stderr the devices there are.
std::vector<DeviceEntry> ChooseDevice(std::vector<DeviceEntry> devices, const char* wanted);

// Leaves out every device that another device of the list replaces (DeviceEntry::replaces).
void DropReplaced(std::vector<DeviceEntry>& devices);

VciDeviceId EncodeDeviceId(std::uint32_t kind, std::uint32_t number);
// False when the bytes are no identifier of this library or name no backend's kind.
bool DecodeDeviceId(const VciDeviceId& id, std::uint32_t* kind, std::uint32_t* number);

VciDeviceInfo ToDeviceInfo(const DeviceEntry& entry);

}  // namespace vci
