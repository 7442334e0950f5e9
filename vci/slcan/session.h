// An SLCAN adapter's session on its serial port, shared by the device's controller and its
// channels (see session.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vci/backend.h"
#include "vci/transport.h"

namespace vci {

// What an adapter said of itself when it was opened: its answers to `V` and `N` (empty when it
// gave none).
struct SlcanIdentity {
    std::string version;
    std::string serial;
};

// The controller of the adapter on this port, over its session (vci/adapter_sessions.h): Init
// opens the port (or shares the session a channel of this process holds: the session's opening
// closes the adapter's CAN channel and asks `V` and `N`), sets the bit rate and turns time stamps
// off; Start opens (`O`) or closes (`C`) the adapter's CAN channel. Each says why on stderr when it
// fails: kVciErrNotSupported for a bit rate that the adapter refuses or the protocol lacks,
// kVciErrDeviceGone when the port is not there, kVciErrIo for other failures (among them a port
// that another program holds, and `O` refused).
std::unique_ptr<BackendController> OpenSlcanController(const std::string& port, std::uint32_t baud,
                                                       const std::string& name);
// A channel's transport over the adapter's session (opening the port if no session is open, and
// setting the adapter up as its controller did when the session before was lost).
std::unique_ptr<Transport> OpenSlcan(const std::string& port, std::uint32_t baud,
                                     const std::string& name, VciResult* code, std::string* error);
// What the adapter on this port said when this process last opened it; nullopt when it has not
// opened it, or lost it since.
std::optional<SlcanIdentity> SlcanKnownIdentity(const std::string& port);
// How many times this process has opened a serial port for an adapter (for tests).
std::uint64_t SlcanPortOpens();

}  // namespace vci
