// Serial-line CAN adapters (SLCAN): one device per serial port of vci/slcan/ports.h that is
// there. Listing opens no port: the adapter is asked nothing until the device is used, and its
// version and serial number are in the description once this process has opened it. The
// device's number is the port's number in this process. The controller sets the adapter up over
// its session (session.cpp), which the channels share.
#include "vci/slcan/backend.h"

#include "vci/slcan/ports.h"
#include "vci/slcan/session.h"
#include "vci/vci_diagnostics.h"

namespace vci {

namespace {

class SlcanDevice final : public BackendDevice {
  public:
    explicit SlcanDevice(DeviceEntry entry) : BackendDevice(std::move(entry)) {}

    std::unique_ptr<BackendController> OpenController() override {
        const slcan::SlcanPort port = slcan::ParsePort(entry().locator);
        return OpenSlcanController(port.port, port.baud, entry().name);
    }

    std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) override {
        const slcan::SlcanPort port = slcan::ParsePort(entry().locator);
        return OpenSlcan(port.port, port.baud, entry().name, code, error);
    }
};

class SlcanBackendImpl final : public Backend {
  public:
    std::uint32_t kind() const override { return kVciDeviceSlcan; }

    void Discover(std::vector<DeviceEntry>& out) override {
        for (const slcan::SlcanPort& found : slcan::SlcanPorts()) {
            if (!slcan::PortPresent(found.port)) {
                continue;
            }
            DeviceEntry entry;
            entry.kind = kVciDeviceSlcan;
            entry.number = slcan::PortNumber(found.port);
            entry.name = slcan::PortName(found.port);
            entry.locator = slcan::PortText(found);
            entry.description = "SLCAN adapter on " + found.port;
            if (found.baud_given) {
                entry.description += " at " + std::to_string(found.baud) + " baud";
            }
            if (found.id != nullptr) {
                entry.description += " (" + std::string(found.id->product_name) + ")";
            }
            if (const std::optional<SlcanIdentity> known = SlcanKnownIdentity(found.port)) {
                entry.serial = known->serial;
                if (!known->version.empty()) {
                    entry.description += ", version " + known->version;
                }
                if (!known->serial.empty()) {
                    entry.description += ", serial " + known->serial;
                }
            }
            out.push_back(std::move(entry));
        }
    }

    std::unique_ptr<BackendDevice> Open(const DeviceEntry& entry) override {
        return std::make_unique<SlcanDevice>(entry);
    }
};

}  // namespace

Backend& SlcanBackend() {
    static SlcanBackendImpl backend;
    return backend;
}

}  // namespace vci
