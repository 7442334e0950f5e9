// The gs_usb session: the adapter set up over control transfers, frames over the bulk pipes.
//
// Set-up (the controller's Init): HOST_FORMAT, DEVICE_CONFIG, BT_CONST of channel 0, then
// BITTIMING computed from the adapter's clock and limits (an adapter takes a timing out of its
// range without complaint, so none is sent that the limits do not allow). Start sends MODE start;
// stop and the end of the session MODE reset.
//
// Sending takes a free transmit slot (kTxSlots of them, by echo id) and writes the frame on bulk
// OUT. The adapter returns it on bulk IN with the same echo id once its controller has taken it:
// that echo frees the slot and is the channel's copy of the sent frame (kVciFlagSelf). With
// every slot waiting for its echo, a send reads bulk IN for at most its time-out and then
// reports the queue full. Frames from the bus carry echo id 0xffffffff; an echo id that names no
// waiting frame is counted and dropped.
//
// Error frames go to the channel as error messages, as on SocketCAN, and to the bus health
// (vci/bus_health.h), which says each change of state once on stderr with what it means for the
// operator. A failure of the USB device for good (pulled out) ends the session: receives return
// false and sends kLost.
#include "vci/gs_usb/session.h"

#include "vci/adapter_sessions.h"
#include "vci/gs_usb/message.h"

#include <algorithm>
#include <cstdio>

#include "base/deadline_timer.h"
#include "vci/notice.h"
#include "vci/vci_diagnostics.h"

namespace vci::gs_usb {

namespace {

constexpr std::size_t kMaxFramesPerReceive = 256;
constexpr std::size_t kInBufferSize = 512;  // a short packet ends each transfer

constexpr std::uint8_t kCtrlOverflow = 0x03;  // data[1] of a controller error: receive, transmit

}  // namespace

Session::Session(std::unique_ptr<UsbDevice> usb, std::string name)
    : usb_(std::move(usb)), name_(std::move(name)), health_(name_) {}

Session::~Session() {
    if (started_ && !lost_) {
        usb_->Control(ModeRequest(0, false), nullptr, nullptr, kControlTimeoutMs);
    }
    if (unknown_echoes_ > 0) {
        Notice(name_.c_str(), "%llu echoes named no frame sent and were dropped",
               static_cast<unsigned long long>(unknown_echoes_));
    }
}

std::uint32_t Session::slots_in_use() const {
    return static_cast<std::uint32_t>(std::count(busy_.begin(), busy_.end(), true));
}

bool Session::Transfer(const ControlTransfer& transfer, const char* what, std::uint8_t* in,
                       std::size_t* got, VciResult* code) {
    const UsbDevice::Status status = usb_->Control(transfer, in, got, kControlTimeoutMs);
    if (status == UsbDevice::Status::kOk) {
        return true;
    }
    if (status == UsbDevice::Status::kGone) {
        lost_ = true;
        last_error_ = usb_->last_error();
        *code = kVciErrDeviceGone;
    } else {
        *code = kVciErrIo;
    }
    Notice(name_.c_str(), "%s failed: %s", what, usb_->last_error().c_str());
    return false;
}

VciResult Session::Configure(std::uint32_t bitrate) {
    VciResult code = kVciOk;
    std::uint8_t answer[kBtConstSize] = {};
    std::size_t got = 0;
    if (!Transfer(HostFormatRequest(0), "HOST_FORMAT", nullptr, nullptr, &code) ||
        !Transfer(DeviceConfigRequest(0), "DEVICE_CONFIG", answer, &got, &code)) {
        return code;
    }
    if (!ParseDeviceConfig(answer, got)) {
        Notice(name_.c_str(), "the adapter's configuration is %u bytes, not %u",
               static_cast<unsigned>(got), unsigned{kDeviceConfigSize});
        return kVciErrIo;
    }
    got = 0;
    if (!Transfer(BtConstRequest(0), "BT_CONST", answer, &got, &code)) {
        return code;
    }
    const std::optional<BtConst> limits = ParseBtConst(answer, got);
    if (!limits) {
        Notice(name_.c_str(), "the adapter's bit timing limits are %u bytes, not %u",
               static_cast<unsigned>(got), unsigned{kBtConstSize});
        return kVciErrIo;
    }
    const TimingChoice choice = ChooseBitTiming(*limits, bitrate);
    if (!choice.ok) {
        Notice(name_.c_str(), "%s (CAN clock %u Hz)", choice.reason.c_str(),
               static_cast<unsigned>(limits->fclk_can));
        return kVciErrNotSupported;
    }
    if (!Transfer(BitTimingRequest(0, choice.timing), "BITTIMING", nullptr, nullptr, &code)) {
        return code;
    }
    return kVciOk;
}

VciResult Session::Start(bool start) {
    VciResult code = kVciOk;
    if (!Transfer(ModeRequest(0, start), start ? "MODE start" : "MODE reset", nullptr, nullptr,
                  &code)) {
        return code == kVciErrDeviceGone ? kVciErrIo : code;
    }
    started_ = start;
    if (!start) {
        busy_.fill(false);  // a reset adapter echoes nothing it held
    }
    return kVciOk;
}

Session::ReadOutcome Session::ReadOne(std::int64_t timeout_us, std::vector<VciMessage>& out) {
    std::uint8_t buffer[kInBufferSize];
    std::size_t got = 0;
    switch (usb_->BulkIn(buffer, sizeof buffer, &got, std::max<std::int64_t>(0, timeout_us))) {
        case UsbDevice::Status::kOk:
            break;
        case UsbDevice::Status::kTimeout:
            return ReadOutcome::kNothing;
        case UsbDevice::Status::kGone:
        case UsbDevice::Status::kFailed:
            lost_ = true;
            last_error_ = usb_->last_error();
            return ReadOutcome::kLost;
    }
    HostFrame frame;
    if (DecodeFrame(buffer, got, &frame)) {
        Take(frame, out);
    }
    return ReadOutcome::kFrame;
}

void Session::Take(const HostFrame& frame, std::vector<VciMessage>& out) {
    if (frame.echo_id != kReceivedEchoId) {
        if (frame.echo_id >= kTxSlots || !busy_[frame.echo_id]) {
            ++unknown_echoes_;
            return;
        }
        busy_[frame.echo_id] = false;
        VciMessage copy = MessageFromFrame(frame);
        copy.flags = static_cast<std::uint8_t>(copy.flags | kVciFlagSelf);
        out.push_back(copy);
        return;
    }
    if (frame.channel != 0) {
        return;
    }
    const bool error = (frame.can_id & wire::kCanIdError) != 0;
    if (!overflow_said_ && ((frame.flags & kFrameFlagOverflow) != 0 ||
                            (error && (frame.can_id & wire::kCanErrController) != 0 &&
                             (frame.data[1] & kCtrlOverflow) != 0))) {
        overflow_said_ = true;
        Notice(name_.c_str(),
               "the adapter's receive buffer overflowed: frames from the bus were lost");
    }
    if (error) {
        health_.OnErrorFrame(frame.can_id & wire::kCanExtendedMask, frame.data.data());
    } else {
        health_.OnFrameFromOtherNode();
    }
    out.push_back(MessageFromFrame(frame));
}

bool Session::Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) {
    const std::size_t before = out.size();
    if (!TakeKept(kept_, out, lost_)) {
        return false;
    }
    const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, timeout_us);
    for (std::size_t reads = 0; reads < kMaxFramesPerReceive; ++reads) {
        // Wait for the first message only; then take what has arrived already.
        const std::int64_t wait = out.size() > before ? 0 : deadline - base::SteadyNowUs();
        const ReadOutcome got = ReadOne(wait, out);
        if (got == ReadOutcome::kLost) {
            return false;
        }
        if (got == ReadOutcome::kNothing) {
            return true;
        }
    }
    return true;
}

bool Session::DiscardPending(std::int64_t budget_us) {
    kept_.clear();
    std::vector<VciMessage> dropped;
    const std::int64_t deadline = base::SteadyNowUs() + std::max<std::int64_t>(0, budget_us);
    for (;;) {
        const ReadOutcome got = ReadOne(0, dropped);
        if (got == ReadOutcome::kLost) {
            return false;
        }
        if (got == ReadOutcome::kNothing || base::SteadyNowUs() >= deadline) {
            return true;
        }
        dropped.clear();
    }
}

void Session::FreeSlotsWithoutEcho(std::int64_t now_us) {
    for (std::uint32_t slot = 0; slot < kTxSlots; ++slot) {
        if (busy_[slot] && now_us - sent_at_us_[slot] > echo_give_up_us_) {
            busy_[slot] = false;
            if (echoes_given_up_++ == 0) {
                Notice(name_.c_str(),
                       "the adapter dropped a frame without its echo; its transmit slot is "
                       "freed after %lld ms",
                       static_cast<long long>(echo_give_up_us_ / 1000));
            }
        }
    }
}

Transport::SendResult Session::Send(const VciMessage& message, std::uint32_t timeout_ms) {
    if (lost_) {
        return Transport::SendResult::kLost;
    }
    const std::int64_t deadline = base::SteadyNowUs() + std::int64_t{timeout_ms} * 1000;
    if (slots_in_use() == kTxSlots) {
        FreeSlotsWithoutEcho(base::SteadyNowUs());
    }
    while (slots_in_use() == kTxSlots) {
        const std::int64_t left = deadline - base::SteadyNowUs();
        if (left <= 0) {
            last_error_ = "the adapter has not echoed the " + std::to_string(kTxSlots) +
                          " frames it took (" + std::to_string(timeout_ms) + " ms)";
            return Transport::SendResult::kFull;
        }
        if (ReadOne(left, kept_) == ReadOutcome::kLost) {
            return Transport::SendResult::kLost;
        }
    }
    std::uint32_t slot = next_slot_;
    while (busy_[slot]) {
        slot = (slot + 1) % kTxSlots;
    }
    next_slot_ = (slot + 1) % kTxSlots;
    std::uint8_t bytes[kFrameSize];
    EncodeFrame(FrameFromMessage(message, slot), bytes);
    const int wait_ms =
        static_cast<int>(std::clamp<std::int64_t>((deadline - base::SteadyNowUs() + 999) / 1000,
                                                  kBulkOutMinMs, std::int64_t{kControlTimeoutMs}));
    switch (usb_->BulkOut(bytes, sizeof bytes, wait_ms)) {
        case UsbDevice::Status::kOk:
            busy_[slot] = true;
            sent_at_us_[slot] = base::SteadyNowUs();
            return Transport::SendResult::kSent;
        case UsbDevice::Status::kTimeout:
            last_error_ = "the adapter took no frame within " + std::to_string(wait_ms) + " ms";
            return Transport::SendResult::kFull;
        case UsbDevice::Status::kFailed:
            last_error_ = usb_->last_error();
            return Transport::SendResult::kFailed;
        case UsbDevice::Status::kGone:
            break;
    }
    lost_ = true;
    last_error_ = usb_->last_error();
    return Transport::SendResult::kLost;
}

namespace {

// The adapters' sessions of this process, by USB port.
AdapterSessions<Session>& Sessions() {
    static AdapterSessions<Session> sessions;
    return sessions;
}

}  // namespace

std::unique_ptr<Transport> MakeTransport(std::shared_ptr<Session> session) {
    return std::make_unique<SessionTransport<Session>>(std::move(session));
}

std::unique_ptr<BackendController> MakeController(const std::string& port, const std::string& name,
                                                  SessionOpener open) {
    return std::make_unique<SessionController<Session>>(Sessions(), port, std::move(open), name);
}

std::unique_ptr<Transport> OpenTransport(const std::string& port, const SessionOpener& open,
                                         VciResult* code, std::string* error) {
    return OpenSessionTransport(Sessions(), port, open, code, error);
}

}  // namespace vci::gs_usb
