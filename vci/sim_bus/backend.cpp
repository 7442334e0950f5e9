// The virtual buses: a bus host (canbus-host, or sensor-sim hosting its own bus) on 127.0.0.1,
// one of ports kFirstPort .. kFirstPort + 7, serving the bus "sim<k>" on port kFirstPort + k.
// The device's number is the port. Its controller runs at 1000 kbit/s only; each channel is a
// connection to the host.
#include "vci/sim_bus/backend.h"
#include "vci/message.h"
#include "vci/notice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "vci/vci_diagnostics.h"
#include "virtual_bus/bus_client.h"
#include "virtual_bus/frame.h"

namespace vci {

namespace {

constexpr const char* kLost = "the connection to the bus host was lost";
// How long looking for a host on one port may take. A port without a listener refuses at once;
// only a port where something listens but does not answer costs this much.
constexpr int kProbeTimeoutMs = 200;
constexpr std::uint32_t kBitrate = 1000000;

class VirtualBusTransport final : public Transport {
  public:
    bool Connect(std::uint16_t port, std::string* error) {
        // The bus host serves "sim<k>" on port kFirstPort + k, the name enumeration shows.
        return client_.Connect("127.0.0.1", port, "", error);
    }

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) override {
        frames_.clear();
        const bool alive = client_.Receive(frames_, timeout_us);
        for (const vbus::Frame& frame : frames_) {
            out.push_back(ReceivedMessage(frame));
        }
        if (!alive) {
            last_error_ = kLost;
        }
        return alive;
    }

    SendResult Send(const VciMessage& message, std::uint32_t timeout_ms,
                    std::size_t queued_limit) override {
        if ((message.flags & kVciFlagRemote) != 0) {
            last_error_ = "the virtual bus carries no remote frames";
            return SendResult::kUnsupported;
        }
        // The transmit FIFO is the part of the output that the socket has not taken yet; with a
        // host that reads, it is empty after every send.
        if (client_.pending_frames() >= queued_limit) {
            if (!client_.Flush(std::int64_t{timeout_ms} * 1000)) {
                last_error_ = kLost;
                return SendResult::kLost;
            }
            if (client_.pending_frames() >= queued_limit) {
                last_error_ =
                    "the bus host took no more frames within " + std::to_string(timeout_ms) + " ms";
                return SendResult::kFull;
            }
        }
        vbus::Frame frame;
        frame.id = message.identifier;
        frame.extended = (message.flags & kVciFlagExtended) != 0;
        frame.length = static_cast<std::uint8_t>(message.flags & kVciFlagLengthMask);
        std::memcpy(frame.data.data(), message.data, frame.length);
        if (!client_.Queue(frame)) {
            last_error_ = kLost;
            return SendResult::kLost;
        }
        return SendResult::kSent;
    }

    // The host answers a mark behind everything it has queued for us: what comes before the
    // mark arrived before this moment and is discarded, however much the host still held back.
    bool StartReceiving(std::int64_t timeout_us) override {
        const std::uint64_t marks = client_.marks();
        if (!client_.RequestMark()) {
            last_error_ = kLost;
            return false;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::microseconds(timeout_us);
        for (;;) {
            const std::int64_t remaining = std::chrono::duration_cast<std::chrono::microseconds>(
                                               deadline - std::chrono::steady_clock::now())
                                               .count();
            frames_.clear();
            if (!client_.Receive(frames_, std::max<std::int64_t>(remaining, 0))) {
                last_error_ = kLost;
                return false;
            }
            // A server that answers no mark: what it had sent by the deadline is gone.
            if (client_.marks() != marks || remaining <= 0) {
                return true;
            }
        }
    }

    bool echoes_own_frames() const override { return false; }

  private:
    vbus::BusClient client_;
    std::vector<vbus::Frame> frames_;
};

class VirtualBusController final : public BackendController {
  public:
    explicit VirtualBusController(std::string name) : name_(std::move(name)) {}

    VciResult Init(std::uint32_t bitrate) override {
        if (bitrate != kBitrate) {
            Notice(name_.c_str(), "the virtual bus runs at %u bit/s only, not %u",
                   static_cast<unsigned>(kBitrate), static_cast<unsigned>(bitrate));
            return kVciErrNotSupported;
        }
        return kVciOk;
    }

  private:
    std::string name_;
};

class VirtualBusDevice final : public BackendDevice {
  public:
    explicit VirtualBusDevice(DeviceEntry entry) : BackendDevice(std::move(entry)) {}

    std::unique_ptr<BackendController> OpenController() override {
        return std::make_unique<VirtualBusController>(entry().name);
    }

    std::unique_ptr<Transport> OpenChannel(VciResult* code, std::string* error) override {
        const auto port = static_cast<std::uint16_t>(entry().number);
        auto transport = std::make_unique<VirtualBusTransport>();
        if (transport->Connect(port, error)) {
            *code = kVciOk;
            return transport;
        }
        *code = vbus::ProbeHost(port, kProbeTimeoutMs) ? kVciErrIo : kVciErrDeviceGone;
        return nullptr;
    }
};

class VirtualBusBackendImpl final : public Backend {
  public:
    std::uint32_t kind() const override { return kVciDeviceVirtualBus; }

    void Discover(std::vector<DeviceEntry>& out) override {
        for (int k = 0; k < vbus::kPortCount; ++k) {
            const auto port = static_cast<std::uint16_t>(vbus::kFirstPort + k);
            if (!vbus::ProbeHost(port, kProbeTimeoutMs)) {
                continue;
            }
            DeviceEntry entry;
            entry.kind = kVciDeviceVirtualBus;
            entry.number = port;
            entry.name = vbus::DefaultBusName(port);
            entry.description = "virtual CAN bus " + entry.name +
                                " at 1000 kbit/s on 127.0.0.1:" + std::to_string(port);
            out.push_back(std::move(entry));
        }
    }

    std::unique_ptr<BackendDevice> Open(const DeviceEntry& entry) override {
        return std::make_unique<VirtualBusDevice>(entry);
    }
};

}  // namespace

Backend& VirtualBusBackend() {
    static VirtualBusBackendImpl backend;
    return backend;
}

}  // namespace vci
