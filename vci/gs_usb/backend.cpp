// gs_usb adapters: one device per adapter that vci/gs_usb/usb.h finds. The device's number is
// its bus and address (a re-plugged adapter gets a new one); its name comes from the USB port
// it is plugged into, which stays. The controller sets the adapter up over its session
// (session.cpp), which the channels share.
#include "vci/gs_usb/backend.h"

#include <cstdio>
#include <map>
#include <mutex>

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

// The sessions of this process, by USB port: a controller and a channel of one adapter share
// one.
std::mutex sessions_mutex;
std::map<std::string, std::weak_ptr<Session>>& Sessions() {
    static std::map<std::string, std::weak_ptr<Session>> sessions;
    return sessions;
}

std::shared_ptr<Session> AcquireSession(const DeviceEntry& entry, VciResult* code,
                                        std::string* error) {
    std::lock_guard lock(sessions_mutex);
    if (std::shared_ptr<Session> session = Sessions()[entry.locator].lock()) {
        if (session->lost()) {
            *code = kVciErrIo;
            *error = session->last_error();
            return nullptr;
        }
        *code = kVciOk;
        return session;
    }
    std::unique_ptr<UsbDevice> usb = OpenAdapter(entry.locator, code, error);
    if (!usb) {
        return nullptr;
    }
    auto session = std::make_shared<Session>(std::move(usb), entry.name);
    Sessions()[entry.locator] = session;
    return session;
}

class Controller final : public BackendController {
  public:
    explicit Controller(const DeviceEntry& entry) : entry_(entry) {}

    VciResult Init(std::uint32_t bitrate) override {
        VciResult code = kVciOk;
        std::string error;
        if (!session_) {
            session_ = AcquireSession(entry_, &code, &error);
            if (!session_) {
                std::fprintf(stderr, "vci: %s: %s\n", entry_.name.c_str(), error.c_str());
                return code;
            }
        }
        return session_->Configure(bitrate);
    }

    VciResult Start(bool start) override {
        if (session_ && started_ != start) {
            if (const VciResult code = session_->Start(start); code != kVciOk) {
                return code;
            }
        }
        started_ = start;
        return kVciOk;
    }

  private:
    const DeviceEntry& entry_;
    std::shared_ptr<Session> session_;
    bool started_ = false;
};

class Device final : public BackendDevice {
  public:
    explicit Device(DeviceEntry entry) : BackendDevice(std::move(entry)) {}

    std::unique_ptr<BackendController> OpenController() override {
        return std::make_unique<Controller>(entry());
    }

    std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) override {
        std::shared_ptr<Session> session = AcquireSession(entry(), code, error);
        return session ? MakeTransport(std::move(session)) : nullptr;
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
