#include <cerrno>
#include <cstring>

#include "vci/socketcan/socketcan.h"
#include "vci/transport.h"
#include "vci/vci_diagnostics.h"
#include "virtual_bus/socket.h"

namespace vci {

namespace {

// Messages taken from the socket per call at most, so that a flooded interface cannot hold a
// caller for long; the rest waits in the kernel's queue for the next call.
constexpr int kMaxFramesPerReceive = 256;

bool InterfaceGone(int error_number) {
    return error_number == ENODEV || error_number == ENXIO;
}

class SocketCanTransport final : public Transport {
  public:
    bool Open(const std::string& name, std::string* error) { return socket_.Open(name, error); }
    int last_errno() const { return socket_.last_errno(); }

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) override {
        for (int i = 0; i < kMaxFramesPerReceive; ++i) {
            socketcan::RawFrame frame;
            const int got = socket_.Receive(&frame, i == 0 ? timeout_us : 0);
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                last_error_ = std::string("receive failed: ") + std::strerror(socket_.last_errno());
                return false;
            }
            VciMessage message{};
            message.identifier = frame.id;
            message.type = frame.error ? kVciMessageError : kVciMessageData;
            const std::uint8_t length = frame.length <= 8 ? frame.length : 8;
            message.flags = static_cast<std::uint8_t>(
                length | (frame.extended ? kVciFlagExtended : 0) |
                (frame.remote ? kVciFlagRemote : 0) | (frame.own ? kVciFlagSelf : 0));
            std::memcpy(message.data, frame.data, length);
            out.push_back(message);
        }
        return true;
    }

    SendResult Send(const VciMessage& message, std::uint32_t timeout_ms,
                    std::size_t /*queued_limit: the kernel's transmit queue decides*/) override {
        socketcan::RawFrame frame;
        frame.id = message.identifier;
        frame.extended = (message.flags & kVciFlagExtended) != 0;
        frame.remote = (message.flags & kVciFlagRemote) != 0;
        frame.length = static_cast<std::uint8_t>(message.flags & kVciFlagLengthMask);
        std::memcpy(frame.data, message.data, frame.length);
        if (socket_.Send(frame, &last_error_)) {
            return SendResult::kSent;
        }
        int error_number = socket_.last_errno();
        if ((error_number == EAGAIN || error_number == ENOBUFS) && timeout_ms > 0) {
            // Wait once for room in the socket's queue, then try again.
            std::vector<vbus::net::PollEntry> entries{
                {static_cast<vbus::net::NativeSocket>(socket_.fd()), false, true}};
            vbus::net::Poll(entries, std::int64_t{timeout_ms} * 1000);
            if (socket_.Send(frame, &last_error_)) {
                return SendResult::kSent;
            }
            error_number = socket_.last_errno();
        }
        if (error_number == EAGAIN || error_number == ENOBUFS) {
            return SendResult::kFull;
        }
        return InterfaceGone(error_number) ? SendResult::kLost : SendResult::kFailed;
    }

    bool echoes_own_frames() const override { return true; }
    std::uint64_t dropped_before_library() const override { return socket_.dropped(); }

  private:
    socketcan::RawSocket socket_;
};

}  // namespace

std::unique_ptr<Transport> OpenSocketCan(const std::string& name, VciResult* code,
                                         std::string* error) {
    auto transport = std::make_unique<SocketCanTransport>();
    if (transport->Open(name, error)) {
        *code = kVciOk;
        return transport;
    }
    *code = InterfaceGone(transport->last_errno()) ? kVciErrDeviceGone : kVciErrIo;
    return nullptr;
}

}  // namespace vci
