// What a channel needs from the bus underneath, whatever the device kind: the frames of one
// channel, in and out.
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

}  // namespace vci
