#include "vci/devices.h"

#include <algorithm>
#include <cstring>

#include "vci/socketcan/socketcan.h"
#include "virtual_bus/bus_client.h"
#include "virtual_bus/frame.h"

namespace vci {

namespace {

DeviceEntry VirtualBusEntry(std::uint16_t port) {
    DeviceEntry entry;
    entry.kind = kVciDeviceVirtualBus;
    entry.number = port;
    entry.name = vbus::DefaultBusName(port);
    entry.description =
        "virtual CAN bus " + entry.name + " at 1000 kbit/s on 127.0.0.1:" + std::to_string(port);
    return entry;
}

DeviceEntry SocketCanEntry(const socketcan::InterfaceInfo& interface) {
    DeviceEntry entry;
    entry.kind = kVciDeviceSocketCan;
    entry.number = static_cast<std::uint32_t>(interface.index);
    entry.name = interface.name;
    entry.description = "SocketCAN interface " + interface.name + " (index " +
                        std::to_string(interface.index) + ")";
    return entry;
}

void CopyText(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

}  // namespace

VciDeviceId EncodeDeviceId(std::uint32_t kind, std::uint32_t number) {
    VciDeviceId id{};
    id.bytes[0] = 'K';
    id.bytes[1] = 'V';
    id.bytes[2] = static_cast<std::uint8_t>(kind);
    for (int i = 0; i < 4; ++i) {
        id.bytes[4 + i] = static_cast<std::uint8_t>(number >> (8 * i));
    }
    return id;
}

bool DecodeDeviceId(const VciDeviceId& id, std::uint32_t* kind, std::uint32_t* number) {
    if (id.bytes[0] != 'K' || id.bytes[1] != 'V' || id.bytes[3] != 0 ||
        (id.bytes[2] != kVciDeviceVirtualBus && id.bytes[2] != kVciDeviceSocketCan)) {
        return false;
    }
    *kind = id.bytes[2];
    *number = 0;
    for (int i = 0; i < 4; ++i) {
        *number |= std::uint32_t{id.bytes[4 + i]} << (8 * i);
    }
    return true;
}

VciDeviceInfo ToDeviceInfo(const DeviceEntry& entry) {
    VciDeviceInfo info{};
    info.id = EncodeDeviceId(entry.kind, entry.number);
    CopyText(info.name, sizeof info.name, entry.name);
    CopyText(info.description, sizeof info.description, entry.description);
    info.kind = entry.kind;
    info.reserved = 0;
    return info;
}

std::vector<DeviceEntry> ScanDevices() {
    std::vector<DeviceEntry> devices;
    for (int k = 0; k < vbus::kPortCount; ++k) {
        const auto port = static_cast<std::uint16_t>(vbus::kFirstPort + k);
        if (vbus::ProbeHost(port, kProbeTimeoutMs)) {
            devices.push_back(VirtualBusEntry(port));
        }
    }
    for (const socketcan::InterfaceInfo& interface : socketcan::ListCanInterfaces()) {
        devices.push_back(SocketCanEntry(interface));
    }
    return devices;
}

std::optional<DeviceEntry> FindDevice(std::uint32_t kind, std::uint32_t number) {
    if (kind == kVciDeviceVirtualBus) {
        const bool in_range = number >= vbus::kFirstPort &&
                              number < std::uint32_t{vbus::kFirstPort} + vbus::kPortCount;
        if (in_range && vbus::ProbeHost(static_cast<std::uint16_t>(number), kProbeTimeoutMs)) {
            return VirtualBusEntry(static_cast<std::uint16_t>(number));
        }
        return std::nullopt;
    }
    for (const socketcan::InterfaceInfo& interface : socketcan::ListCanInterfaces()) {
        if (static_cast<std::uint32_t>(interface.index) == number) {
            return SocketCanEntry(interface);
        }
    }
    return std::nullopt;
}

}  // namespace vci
