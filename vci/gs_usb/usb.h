// The system's side of gs_usb adapters: finding them and opening one as a UsbDevice
// (usb_linux.cpp on Linux; usb_win32.cpp on Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "can/can_library.h"
#include "vci/gs_usb/known_ids.h"
#include "vci/gs_usb/session.h"

namespace vci::gs_usb {

// What both systems' layers use of the adapter: its endpoints, and how its frames are read.
inline constexpr std::uint8_t kEndpointIn = 0x81;
inline constexpr std::uint8_t kEndpointOut = 0x02;
inline constexpr std::size_t kInTransfers = 8;       // bulk IN transfers kept queued
inline constexpr std::size_t kInTransferSize = 512;  // a short packet ends each transfer
inline constexpr int kMaxFailedTransfers = 16;       // in a row, before the pipe counts as broken

struct FoundAdapter {
    std::string port;          // where it is plugged in, the system's name for it ("1-1.2")
    std::uint32_t number = 0;  // unique among the adapters present (bus and address)
    const KnownId* id = nullptr;
    std::string product, serial;
    // What follows "gsusb-" in the device's name; empty: the port. On Windows, where the port is
    // the whole interface path, the serial number, or the path's instance part when two
    // adapters share a serial number (many clones do).
    std::string name;
    // The kernel's gs_usb driver holds it: the SocketCAN interface it made, and whether that is
    // up. Empty when no driver holds it.
    std::string kernel_interface;
    bool kernel_interface_up = false;
    bool other_driver = false;  // a driver other than gs_usb holds interface 0
    bool accessible = false;    // this user may open it
};

// The known adapters present, by port. `root` is put before /sys and /dev (for tests).
std::vector<FoundAdapter> FindAdapters(const std::string& root = "");

// Opens the adapter at `port` and claims its interface 0, taking it from the kernel's gs_usb
// driver when that driver's interface is down (and giving it back when the device is closed);
// never one whose interface is up. Null on failure, with the code (kVciErrDeviceGone when it is
// not there) and the reason.
std::unique_ptr<UsbDevice> OpenAdapter(const std::string& port, VciResult* code,
                                       std::string* error);

}  // namespace vci::gs_usb
