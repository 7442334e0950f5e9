#include "vci/socketcan/transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "vci/bus_health.h"
#include "vci/socketcan/socketcan.h"
#include "vci/vci_diagnostics.h"

namespace vci {

namespace {

// Messages taken from the socket per call at most, so that a flooded interface cannot hold a
// caller for long; the rest waits in the kernel's queue for the next call.
constexpr std::size_t kMaxFramesPerReceive = 256;
// Pause between attempts to send while the transmit queue is full: about two frames at 1000 kbit/s.
constexpr auto kFullQueueRetry = std::chrono::microseconds(250);

using Clock = std::chrono::steady_clock;

bool InterfaceGone(int error_number) {
    return error_number == ENODEV || error_number == ENXIO;
}

class SocketCanTransport final : public Transport {
  public:
    bool Open(const std::string& name, std::string* error) {
        name_ = name;
        health_ = BusHealth(name);
        return socket_.Open(name, error);
    }
    int last_errno() const { return socket_.last_errno(); }

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) override {
        frames_.clear();
        if (!socket_.ReceiveSome(frames_, kMaxFramesPerReceive, timeout_us)) {
            last_error_ = std::string("receive failed: ") + std::strerror(socket_.last_errno());
            return false;
        }
        for (const socketcan::RawFrame& frame : frames_) {
            if (frame.error) {
                health_.OnErrorFrame(frame.id, frame.data);
            } else if (!frame.own) {
                health_.OnFrameFromOtherNode();
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
        // A full transmit queue does not make the socket unwritable (ENOBUFS comes from the
        // device's queue, which no poll watches): try again after short pauses until room comes
        // or the time-out ends.
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (socket_.Send(frame, &last_error_)) {
                return SendResult::kSent;
            }
            const int error_number = socket_.last_errno();
            if (error_number != EAGAIN && error_number != ENOBUFS) {
                if (error_number == ENETDOWN) {
                    last_error_ += " (bring it up: sudo ip link set " + name_ + " up)";
                }
                return InterfaceGone(error_number) ? SendResult::kLost : SendResult::kFailed;
            }
            const auto left = deadline - Clock::now();
            if (left <= Clock::duration::zero()) {
                last_error_ = "the interface's transmit queue stayed full for " +
                              std::to_string(timeout_ms) + " ms (" + last_error_ + ")";
                return SendResult::kFull;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(left, kFullQueueRetry));
        }
    }

    bool StopReceiving() override { return socket_.SetReceiving(false, &last_error_); }

    // Nothing arrives while stopped: what the socket holds came before this moment.
    bool StartReceiving(std::int64_t /*timeout_us: nothing to wait for*/) override {
        socketcan::RawFrame frame;
        for (int down_reports = 0;;) {
            const int got = socket_.Receive(&frame, 0);
            if (got == 0) {
                break;
            }
            if (got < 0 && (socket_.last_errno() != ENETDOWN || ++down_reports > 1)) {
                last_error_ = std::string("receive failed: ") + std::strerror(socket_.last_errno());
                return false;
            }
        }
        return socket_.SetReceiving(true, &last_error_);
    }

    bool echoes_own_frames() const override { return true; }
    std::uint64_t dropped_before_library() const override { return socket_.dropped(); }

  private:
    socketcan::RawSocket socket_;
    std::string name_;
    BusHealth health_{""};
    std::vector<socketcan::RawFrame> frames_;
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
