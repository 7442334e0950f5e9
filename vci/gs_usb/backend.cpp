// gs_usb adapters: one device per adapter that vci/gs_usb/usb.h finds. The device's number is
// its bus and address (a re-plugged adapter gets a new one); its name comes from the USB port
// it is plugged into, which stays. The controller sets the adapter up over its session
// (session.cpp), which the channels share.
#include "vci/gs_usb/backend.h"

#include "vci/gs_usb/session.h"
#include "vci/vci_diagnostics.h"

namespace vci {

namespace gs_usb {

std::optional<DeviceEntry> EntryFor(const FoundAdapter& found) {
    const bool kernel_has_it = !found.kernel_interface.empty();
    if (found.other_driver || (kernel_has_it && (found.kernel_interface_up || !found.accessible))) {
        return std::nullopt;
    }
    DeviceEntry entry;
    entry.kind = kVciDeviceGsUsb;
    entry.number = found.number;
    entry.name = "gsusb-" + (found.name.empty() ? found.port : found.name);
    entry.locator = found.port;
    entry.serial = found.serial;
    entry.description = "gs_usb adapter " + (found.product.empty() ? "?" : found.product) +
                        " at USB port " + found.port;
    if (!found.serial.empty()) {
        entry.description += ", serial " + found.serial;
    }
    if (kernel_has_it) {
        entry.description += " (taken from " + found.kernel_interface + " while it is down)";
        entry.replaces = found.kernel_interface;
    }
    return entry;
}

namespace {

// Opens a session on the adapter at the USB port `port`.
SessionOpener Opener(const std::string& port, const std::string& name) {
    return [port, name](VciResult* code, std::string* error) {
        std::unique_ptr<UsbDevice> usb = OpenAdapter(port, code, error);
        return usb ? std::make_shared<Session>(std::move(usb), name) : std::shared_ptr<Session>();
    };
}

class Device final : public BackendDevice {
  public:
    explicit Device(DeviceEntry entry) : BackendDevice(std::move(entry)) {}

    std::unique_ptr<BackendController> OpenController() override {
        return MakeController(entry().locator, entry().name, Opener(entry().locator, entry().name));
    }

    std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) override {
        return OpenTransport(entry().locator, Opener(entry().locator, entry().name), code, error);
    }
};

class BackendImpl final : public Backend {
  public:
    std::uint32_t kind() const override { return kVciDeviceGsUsb; }

    void Discover(std::vector<DeviceEntry>& out) override {
        for (const FoundAdapter& found : FindAdapters()) {
            if (std::optional<DeviceEntry> entry = EntryFor(found)) {
                out.push_back(std::move(*entry));
            }
        }
    }

    std::unique_ptr<BackendDevice> Open(const DeviceEntry& entry) override {
        return std::make_unique<Device>(entry);
    }
};

}  // namespace

}  // namespace gs_usb

Backend& GsUsbBackend() {
    static gs_usb::BackendImpl backend;
    return backend;
}

}  // namespace vci
