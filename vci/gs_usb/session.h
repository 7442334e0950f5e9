// A gs_usb adapter's session over its USB device (see session.cpp): shared by the device's
// controller and its channel. The USB operations are an interface of their own so that the
// tests can play the adapter.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vci/backend.h"
#include "vci/bus_health.h"
#include "vci/transport.h"
#include "wire/gs_usb_protocol.h"

namespace vci::gs_usb {

// The backend speaks the wire format of wire/gs_usb_protocol.h throughout.
using namespace wire::gs_usb;  // NOLINT(google-build-using-namespace)

// The system's side of one opened adapter (interface 0 claimed, endpoints 0x81 in, 0x02 out).
class UsbDevice {
  public:
    enum class Status { kOk, kTimeout, kGone, kFailed };
    virtual ~UsbDevice() = default;
    // One control transfer; an IN transfer's answer goes to `in` (transfer.length bytes at
    // most), with its size in *got.
    virtual Status Control(const ControlTransfer& transfer, std::uint8_t* in, std::size_t* got,
                           int timeout_ms) = 0;
    virtual Status BulkOut(const std::uint8_t* data, std::size_t size, int timeout_ms) = 0;
    // One completed bulk IN transfer (the adapter sends one frame per transfer), waiting at most
    // timeout_us for it (0: only what has completed already); kTimeout when none came.
    virtual Status BulkIn(std::uint8_t* buffer, std::size_t capacity, std::size_t* got,
                          std::int64_t timeout_us) = 0;
    const std::string& last_error() const { return last_error_; }

  protected:
    std::string last_error_;
};

// Frames the session keeps unconfirmed at most: each has an echo id of its own, 0 to 9.
inline constexpr std::uint32_t kTxSlots = 10;
inline constexpr int kControlTimeoutMs = 500;
// Handing a frame to the adapter is one bulk OUT transfer, given at least this long whatever the
// send's own time-out: with a slot free the adapter takes it at once unless it has stopped
// reading (under emulation a round trip took up to 33 ms; 1 ms lost frames there).
inline constexpr int kBulkOutMinMs = 100;
// A frame whose echo has not come this long after it was handed over never gets one (an adapter
// may drop a frame without its echo): its slot is freed, so that the slots do not run out.
inline constexpr std::int64_t kEchoGiveUpUs = 2'000'000;

class Session {
  public:
    Session(std::unique_ptr<UsbDevice> usb, std::string name);
    ~Session();  // resets the channel (MODE reset) when it was started
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // HOST_FORMAT, DEVICE_CONFIG, BT_CONST, then BITTIMING for `bitrate` computed from the
    // adapter's limits. Says why on stderr when it fails: kVciErrNotSupported when the limits
    // allow no such timing, kVciErrDeviceGone when the adapter is gone, kVciErrIo otherwise.
    VciResult Configure(std::uint32_t bitrate);
    // MODE start or reset; kVciErrIo (said on stderr) when refused.
    VciResult Start(bool start);

    bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us);
    Transport::SendResult Send(const VciMessage& message, std::uint32_t timeout_ms);
    // Drops what has arrived so far, reading for at most budget_us; echoes still free their
    // slots. False when the adapter is lost.
    bool DiscardPending(std::int64_t budget_us);

    const std::string& name() const { return name_; }
    const std::string& last_error() const { return last_error_; }
    bool lost() const { return lost_; }
    std::uint32_t slots_in_use() const;
    static constexpr bool kEchoesOwnFrames = true;  // the echoes are the channel's copies
    static constexpr const char* kReceiveFailed = "receive failed: ";
    // How long a slot waits for its echo before it is freed (tests shorten it).
    void set_echo_give_up_us(std::int64_t us) { echo_give_up_us_ = us; }

  private:
    enum class ReadOutcome { kNothing, kFrame, kLost };
    ReadOutcome ReadOne(std::int64_t timeout_us, std::vector<VciMessage>& out);
    void Take(const HostFrame& frame, std::vector<VciMessage>& out);
    void FreeSlotsWithoutEcho(std::int64_t now_us);
    bool Transfer(const ControlTransfer& transfer, const char* what, std::uint8_t* in,
                  std::size_t* got, VciResult* code);

    std::unique_ptr<UsbDevice> usb_;
    std::string name_;
    std::array<bool, kTxSlots> busy_{};
    std::array<std::int64_t, kTxSlots> sent_at_us_{};
    std::int64_t echo_give_up_us_ = kEchoGiveUpUs;
    std::uint64_t echoes_given_up_ = 0;
    std::uint32_t next_slot_ = 0;
    std::vector<VciMessage> kept_;  // frames that came while a send waited for a slot
    bool lost_ = false;
    bool started_ = false;
    std::string last_error_;
    BusHealth health_;
    bool overflow_said_ = false;
    std::uint64_t unknown_echoes_ = 0;
};

// The channel's transport over a session: the copies of sent frames are the adapter's echoes.
std::unique_ptr<Transport> MakeTransport(std::shared_ptr<Session> session);

// Opens a session on an adapter (null on failure, with the code and why): OpenAdapter's in the
// backend, a fake adapter's in the tests.
using SessionOpener = std::function<std::shared_ptr<Session>(VciResult* code, std::string* error)>;
// The controller and a channel's transport of the adapter at USB port `port`, over the sessions
// of vci/adapter_sessions.h: one per adapter and process, opened by `open` when none is (an
// adapter plugged back in after a loss opens again, set up as its controller set it up).
std::unique_ptr<BackendController> MakeController(const std::string& port, const std::string& name,
                                                  SessionOpener open);
std::unique_ptr<Transport> OpenTransport(const std::string& port, const SessionOpener& open,
                                         VciResult* code, std::string* error);

}  // namespace vci::gs_usb
