// SocketCAN: every CAN network interface of the kernel, by name. The device's number is the
// interface index, not the name: a re-created interface gets a new index, so an identifier from
// before is reported as gone rather than silently meaning another device. The controller step
// readies the interface (vci/socketcan/interface_policy.h); each channel is a raw CAN socket.
#include "vci/socketcan/backend.h"

#include "vci/socketcan/interface_policy.h"
#include "vci/socketcan/socketcan.h"
#include "vci/socketcan/transport.h"

namespace vci {

namespace {

class SocketCanController final : public BackendController {
  public:
    explicit SocketCanController(std::string name) : name_(std::move(name)) {}
    VciResult Init(std::uint32_t bitrate) override { return PrepareInterface(name_, bitrate); }

  private:
    std::string name_;
};

class SocketCanDevice final : public BackendDevice {
  public:
    explicit SocketCanDevice(DeviceEntry entry) : BackendDevice(std::move(entry)) {}

    std::unique_ptr<BackendController> OpenController() override {
        return std::make_unique<SocketCanController>(entry().name);
    }

    std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) override {
        return OpenSocketCan(entry().name, code, error);
    }
};

class SocketCanBackendImpl final : public Backend {
  public:
    std::uint32_t kind() const override { return kVciDeviceSocketCan; }

    void Discover(std::vector<DeviceEntry>& out) override {
        for (const socketcan::InterfaceInfo& interface : socketcan::ListCanInterfaces()) {
            DeviceEntry entry;
            entry.kind = kVciDeviceSocketCan;
            entry.number = static_cast<std::uint32_t>(interface.index);
            entry.name = interface.name;
            entry.description = "SocketCAN interface " + interface.name + " (index " +
                                std::to_string(interface.index) + ")";
            out.push_back(std::move(entry));
        }
    }

    std::unique_ptr<BackendDevice> Open(const DeviceEntry& entry) override {
        return std::make_unique<SocketCanDevice>(entry);
    }
};

}  // namespace

Backend& SocketCanBackend() {
    static SocketCanBackendImpl backend;
    return backend;
}

}  // namespace vci
