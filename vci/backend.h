// What one kind of device gives the library: a backend finds its devices, and opens them for a
// controller and for channels. vci_library.cpp keeps the handles, the state checks and the receive
// FIFO, and knows no device kind; vci/backends.cpp lists the backends.
//
// Layers, top to bottom: the library's C interface (vci_library.cpp) -> a backend (one folder per
// device kind: vci/sim_bus/, vci/socketcan/, vci/slcan/, ...) -> its transport (the frames of
// one channel, vci/transport.h) -> the system (sockets, serial ports, USB).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "can/can_library.h"
#include "vci/transport.h"

namespace vci {

// One device as its backend found it.
struct DeviceEntry {
    std::uint32_t kind = 0;    // VciDeviceInfo.kind, the backend's kind
    std::uint32_t number = 0;  // the backend's number for it, unique within its kind (see
                               // vci/discovery.h: it goes into the device identifier)
    std::string name;          // short, as the device list shows it: "sim0", "can0", "ttyACM0"
    std::string description;   // one line for a person
    std::string serial;        // the adapter's serial number where it has one, else empty
    std::string locator;       // what the backend needs to open it (a path, a port name, ...)
    // The name of another device of the list that is the same hardware and that this entry
    // stands for (e.g. a USB adapter that the library takes from its kernel driver, listed
    // instead of the kernel's interface): that other entry is left out of the list.
    std::string replaces;
};

// The controller of an opened device: it sets up the hardware for the channels.
class BackendController {
  public:
    virtual ~BackendController() = default;
    // Sets the device up to run at `bitrate` (bit/s). kVciOk, or the code of the failure after
    // saying why on stderr ("vci: NAME: ..."). Called again only after Start(false).
    virtual VciResult Init(std::uint32_t bitrate) = 0;
    // Starts (true) or stops (false) the controller; only after a successful Init.
    virtual VciResult Start(bool start) {
        (void)start;
        return kVciOk;
    }
    // The handle is closed after this object is destroyed: what Init took is let go.
};

// A device opened by its handle; it lives until the end of the process. Opening does no I/O:
// the controller's Init and the channels' transports reach the hardware.
class BackendDevice {
  public:
    virtual ~BackendDevice() = default;
    const DeviceEntry& entry() const { return entry_; }

    virtual std::unique_ptr<BackendController> OpenController() = 0;
    // A new channel's transport (the library stops its receiving until the channel is
    // activated). Null on failure, with the code (kVciErrDeviceGone when the device is no longer
    // there, kVciErrIo otherwise) and the reason.
    virtual std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) = 0;

  protected:
    explicit BackendDevice(DeviceEntry entry) : entry_(std::move(entry)) {}

  private:
    DeviceEntry entry_;
};

class Backend {
  public:
    virtual ~Backend() = default;
    virtual std::uint32_t kind() const = 0;
    // Appends every device of this kind that is present now, in the order they are listed.
    // Finding devices opens nothing and changes nothing that the library does not own.
    virtual void Discover(std::vector<DeviceEntry>& out) = 0;
    virtual std::unique_ptr<BackendDevice> Open(const DeviceEntry& entry) = 0;
};

// Every backend, in the order their devices are listed (vci/backends.cpp).
const std::vector<Backend*>& Backends();

}  // namespace vci
