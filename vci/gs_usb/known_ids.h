// The USB vendor and product IDs of gs_usb adapters, each with where it was found. Adapters of
// other IDs that speak the protocol are not looked at.
#pragma once

#include <cstdint>

namespace vci::gs_usb {

struct KnownId {
    std::uint16_t vendor;
    std::uint16_t product;
    const char* maker;  // whose adapter, as the source names it
    const char* found;  // where the ID was read
};

// The first five are the kernel driver's table in Debian's 6.1 kernel (drivers/net/can/usb/
// gs_usb.c, checked with `modinfo -F alias gs_usb` on 6.1.0-57-amd64); the last is in a later
// mainline version of the same table. Every entry matches interface 0.
inline constexpr KnownId kKnownIds[] = {
    {0x1d50, 0x606f, "Geschwister Schneider / bytewerk candleLight (Openmoko VID)",
     "gs_usb.c, Linux 6.1"},
    {0x1209, 0x2323, "candleLight (pid.codes VID)", "gs_usb.c, Linux 6.1"},
    {0x1cd2, 0x606f, "CES CANext FD", "gs_usb.c, Linux 6.1"},
    {0x16d0, 0x10b8, "ABE CANdebugger FD", "gs_usb.c, Linux 6.1"},
    {0x16d0, 0x0f30, "Xylanta SAINT3", "gs_usb.c, Linux 6.1 (stable update)"},
    {0x1209, 0xca01, "CANnectivity", "gs_usb.c, mainline after 6.1"},
};

inline const KnownId* FindKnownId(std::uint16_t vendor, std::uint16_t product) {
    for (const KnownId& id : kKnownIds) {
        if (id.vendor == vendor && id.product == product) {
            return &id;
        }
    }
    return nullptr;
}

}  // namespace vci::gs_usb
