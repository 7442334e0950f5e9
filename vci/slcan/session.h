// An SLCAN adapter's session on its serial port, shared by the device's controller and its
// channels (see session.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vci/transport.h"

namespace vci {

class SlcanSession;

// What an adapter said of itself when it was opened: its answers to `V` and `N` (empty when it
// gave none).
struct SlcanIdentity {
    std::string version;
    std::string serial;
};

// The controller's initialisation on an SLCAN adapter: opens the port (or shares the session a
// channel of this process holds: the session's opening closes the adapter's CAN channel and asks
// `V` and `N`), sets the bit rate, turns time stamps off. The session is kept in *session. Says
// why on stderr when it fails: kVciErrNotSupported for a bit rate that the adapter refuses or
// the protocol lacks, kVciErrDeviceGone when the port is not there, kVciErrIo for other failures
// (among them a port that another program holds).
VciResult SlcanInitController(const std::string& port, std::uint32_t baud, const std::string& name,
                              std::uint32_t bitrate, std::shared_ptr<SlcanSession>* session);
// Opens (`O`) or closes (`C`) the adapter's CAN channel: kVciErrIo when `O` is refused or the
// port is lost, kVciErrNotSupported when the bit rate's refusal came only now.
VciResult SlcanStartController(SlcanSession& session, bool start);
// A channel's transport over the adapter's session (opening the port if no session is open).
std::unique_ptr<Transport> OpenSlcan(const std::string& port, std::uint32_t baud,
                                     const std::string& name, VciResult* code, std::string* error);
// What the adapter on this port said when this process last opened it; nullopt when it has not
// opened it, or lost it since.
std::optional<SlcanIdentity> SlcanKnownIdentity(const std::string& port);
// How many times this process has opened a serial port for an adapter (for tests).
std::uint64_t SlcanPortOpens();

}  // namespace vci
