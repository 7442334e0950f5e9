// The devices that the library offers, found anew at each enumeration: first the virtual buses
// (a bus host on 127.0.0.1, ports kFirstPort .. kFirstPort + 7), then every SocketCAN interface.
//
// Device identifier (the 8 bytes VciDeviceId, handed back unchanged to open the device):
//   bytes 0-1  'K' 'V'   marks an identifier made by this library
//   byte  2    kind      kVciDeviceVirtualBus (1) or kVciDeviceSocketCan (2)
//   byte  3    0
//   bytes 4-7  number    TCP port of the bus host, or the interface index (little-endian)
// The interface index, not the name, identifies a SocketCAN interface: a re-created interface
// gets a new index, so an identifier from before is reported as gone rather than silently
// meaning another device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "can/can_library.h"

namespace vci {

// How long enumeration waits for a bus host's "< hi >". A port without a listener refuses at
// once; only a port where something listens but does not greet costs this much.
inline constexpr int kProbeTimeoutMs = 200;

struct DeviceEntry {
    std::uint32_t kind = 0;    // kVciDeviceVirtualBus or kVciDeviceSocketCan
    std::uint32_t number = 0;  // TCP port or interface index
    std::string name;          // "sim0", "vcan0"
    std::string description;
};

VciDeviceId EncodeDeviceId(std::uint32_t kind, std::uint32_t number);
// False when the bytes are no identifier of this library.
bool DecodeDeviceId(const VciDeviceId& id, std::uint32_t* kind, std::uint32_t* number);

VciDeviceInfo ToDeviceInfo(const DeviceEntry& entry);

// Every device present now, virtual buses first (by port), then SocketCAN interfaces (by name).
std::vector<DeviceEntry> ScanDevices();

// The device with this identifier if it is still there; nullopt when it is gone.
std::optional<DeviceEntry> FindDevice(std::uint32_t kind, std::uint32_t number);

}  // namespace vci
