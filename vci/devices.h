// The devices that the library offers, found anew at each enumeration: first the virtual buses
// (a bus host on 127.0.0.1, ports kFirstPort .. kFirstPort + 7), then every SocketCAN interface,
// then the serial-line CAN adapters (SLCAN): every port named in the environment variable
// KORVANE_SLCAN_PORTS (device paths separated by ':' on Linux, COM port names separated by ';'
// on Windows), in its order, then the USB serial ports whose USB vendor and product IDs belong
// to an SLCAN adapter (kSlcanUsbIds; docs/serial-adapters.md says where each comes from). A port
// is never chosen by probing: nothing is sent to a serial port that is neither named nor
// recognised. Named or recognised ports are asked for the adapter's version and serial number
// (`V`, `N`) at enumeration, for the description.
//
// Device identifier (the 8 bytes VciDeviceId, handed back unchanged to open the device):
//   bytes 0-1  'K' 'V'   marks an identifier made by this library
//   byte  2    kind      kVciDeviceVirtualBus (1), kVciDeviceSocketCan (2) or kVciDeviceSlcan (3)
//   byte  3    0
//   bytes 4-7  number    TCP port of the bus host, the interface index, or the serial port's
//                        number (little-endian)
// The interface index, not the name, identifies a SocketCAN interface: a re-created interface
// gets a new index, so an identifier from before is reported as gone rather than silently
// meaning another device. A serial port's number is given by this process the first time it
// lists the port (1, 2, ... in order of discovery) and keeps meaning that port (its path or COM
// name) for the life of the process; it means nothing to another process.
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
    std::uint32_t kind = 0;    // kVciDeviceVirtualBus, kVciDeviceSocketCan or kVciDeviceSlcan
    std::uint32_t number = 0;  // TCP port, interface index or serial port number
    std::string name;          // "sim0", "vcan0", "ttyACM0", "COM7"
    std::string description;
    std::string port;  // a serial port's device path or COM name; empty for the others
};

// USB vendor and product IDs of adapters that speak SLCAN and nothing else.
struct UsbId {
    std::uint16_t vendor;
    std::uint16_t product;
    const char* product_name;
};
extern const std::vector<UsbId> kSlcanUsbIds;

// The serial ports named in KORVANE_SLCAN_PORTS (value as given: `text`), in order, without
// empty entries and repeats.
std::vector<std::string> SplitPortList(const std::string& text);

VciDeviceId EncodeDeviceId(std::uint32_t kind, std::uint32_t number);
// False when the bytes are no identifier of this library.
bool DecodeDeviceId(const VciDeviceId& id, std::uint32_t* kind, std::uint32_t* number);

VciDeviceInfo ToDeviceInfo(const DeviceEntry& entry);

// Every device present now, virtual buses first (by port), then SocketCAN interfaces (by name).
std::vector<DeviceEntry> ScanDevices();

// The device with this identifier if it is still there; nullopt when it is gone.
std::optional<DeviceEntry> FindDevice(std::uint32_t kind, std::uint32_t number);

}  // namespace vci
