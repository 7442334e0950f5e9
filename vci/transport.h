// What a channel needs from the bus underneath: a virtual bus host, a SocketCAN interface or a
// serial-line CAN adapter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "can/can_library.h"

namespace vci {

class Transport {
  public:
    virtual ~Transport() = default;

    // Appends the messages that have arrived (time stamp 0: the channel stamps them), waiting at
    // most timeout_us for the first and returning the moment one arrives (0: do not wait). False
    // when the connection to the bus is lost for good (messages read before are still appended).
    virtual bool Receive(std::vector<VciMessage>& out, std::int64_t timeout_us) = 0;

    enum class SendResult {
        kSent,
        kFull,         // no room within the time-out
        kUnsupported,  // this bus cannot carry such a frame
        kFailed,       // refused this time (e.g. link down); the channel stays usable
        kLost,         // the connection is gone for good
    };
    // Sends one data message, waiting at most timeout_ms for room when `queued_limit` frames are
    // already waiting to be written.
    virtual SendResult Send(const VciMessage& message, std::uint32_t timeout_ms,
                            std::size_t queued_limit) = 0;

    // For a channel that is not active. Stop: frames that arrive from now on need not be kept
    // (SocketCAN has the kernel drop them; a bus host keeps sending, so the channel reads and
    // discards them to keep the connection). Start: discards every frame that arrived before
    // this moment, however many, waiting at most timeout_us for the bus to confirm where that
    // moment lies, and delivers what follows. Both are false when the connection is lost.
    virtual bool StopReceiving() { return true; }
    virtual bool StartReceiving(std::int64_t timeout_us) = 0;

    // True when the transport itself delivers the copies of sent frames (the kernel's own-message
    // echo on SocketCAN); otherwise the channel queues them itself.
    virtual bool echoes_own_frames() const = 0;

    // Frames lost before the library could read them (the kernel's receive-queue drops).
    virtual std::uint64_t dropped_before_library() const { return 0; }

    // Why the last failure happened, for the library's messages on stderr.
    const std::string& last_error() const { return last_error_; }

  protected:
    std::string last_error_;
};

// Connects to the bus host on 127.0.0.1:port and performs the handshake. Null on failure, with
// kVciErrDeviceGone when no host answers there any more and kVciErrIo otherwise.
std::unique_ptr<Transport> OpenVirtualBus(std::uint16_t port, VciResult* code, std::string* error);

// Opens a raw CAN socket on the interface. Null on failure (kVciErrDeviceGone when the
// interface has gone, kVciErrIo otherwise).
std::unique_ptr<Transport> OpenSocketCan(const std::string& name, VciResult* code,
                                         std::string* error);

// A serial-line CAN adapter (SLCAN) on a serial port; see transport_slcan.cpp. `port` is the
// device path or COM port name, `name` the device's name in the library's messages.
class SlcanSession;

// The controller's initialisation on an SLCAN adapter: opens the port (or shares the session a
// channel of this process holds), closes the adapter's CAN channel, sets the bit rate, turns
// time stamps off. The session is kept in *session. Says why on stderr when it fails:
// kVciErrNotSupported for a bit rate that the adapter refuses or the protocol lacks,
// kVciErrDeviceGone when the port is not there, kVciErrIo for other failures.
VciResult SlcanInitController(const std::string& port, const std::string& name,
                              std::uint32_t bitrate, std::shared_ptr<SlcanSession>* session);
// Opens (`O`) or closes (`C`) the adapter's CAN channel; kVciErrIo when refused or unanswered.
VciResult SlcanStartController(SlcanSession& session, bool start);
// A channel's transport over the adapter's session (opening the port if no session is open).
std::unique_ptr<Transport> OpenSlcan(const std::string& port, const std::string& name,
                                     VciResult* code, std::string* error);
// For enumeration: false when the port is not there. When it is and `ask` is set, asks the
// adapter for its version (`V`) and serial number (`N`), left empty when it does not answer or
// when the port is in use.
bool QuerySlcanAdapter(const std::string& port, bool ask, std::string* version,
                       std::string* serial);

}  // namespace vci
