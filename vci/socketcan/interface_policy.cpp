#include "vci/socketcan/interface_policy.h"
#include "vci/notice.h"

#include <cerrno>
#include <cstdio>

#include "vci/socketcan/socketcan.h"

namespace vci {

namespace {

// Tells why the interface cannot be used as it is, and what the operator can run about it.
VciResult Unusable(const std::string& name, VciResult code, const std::string& why,
                   const std::string& command) {
    Notice(name.c_str(), "%s", why.c_str());
    Notice(name.c_str(), "to fix it, run: %s", command.c_str());
    return code;
}

}  // namespace

VciResult PrepareInterface(const std::string& name, std::uint32_t bitrate) {
    socketcan::LinkInfo link;
    std::string error;
    if (!socketcan::ReadLink(name, &link, &error)) {
        Notice(name.c_str(), "%s", error.c_str());
        return kVciErrDeviceGone;
    }
    const std::string rate = std::to_string(bitrate);
    // Only hardware CAN links ("can") have a bit rate; vcan and vxcan carry frames at any rate.
    const bool timed = link.kind == "can";
    const bool up = (link.flags & socketcan::kIffUp) != 0;
    int error_number = 0;
    if (!up) {
        const bool brought_up = timed ? socketcan::SetBitrate(name, bitrate, &error)
                                      : socketcan::SetLinkUp(name, true, &error, &error_number);
        if (brought_up) {
            return kVciOk;
        }
        if (!timed && error_number == ENODEV) {
            Notice(name.c_str(), "%s", error.c_str());
            return kVciErrDeviceGone;
        }
        return Unusable(
            name, kVciErrNotSupported, "is down and cannot be brought up here: " + error,
            "sudo ip link set " + name + " up" +
                (timed && link.bitrate != bitrate ? " type can bitrate " + rate : std::string()));
    }
    if (timed && link.bitrate != bitrate) {
        const std::string now = link.bitrate == 0
                                    ? std::string("is up with no bit rate set")
                                    : "is up at " + std::to_string(link.bitrate) + " bit/s";
        return Unusable(
            name, kVciErrNotSupported,
            now + ", not " + rate + ": another program may be using it, so it is left as it is",
            "sudo ip link set " + name + " down && sudo ip link set " + name +
                " up type can bitrate " + rate);
    }
    if (timed && link.can_state == socketcan::kCanStateBusOff) {
        if (link.restart_ms != 0) {
            return kVciOk;  // the driver restarts the controller itself
        }
        if (socketcan::RestartController(name, &error, &error_number)) {
            return kVciOk;
        }
        // Some drivers (gs_usb among them) cannot restart from bus-off: taking the link down and
        // up again recovers every driver, and keeps its bit rate.
        std::string down_up_error;
        if (error_number == EOPNOTSUPP &&
            socketcan::SetLinkUp(name, false, &down_up_error, &error_number) &&
            socketcan::SetLinkUp(name, true, &down_up_error, &error_number)) {
            return kVciOk;
        }
        return Unusable(name, kVciErrWrongState,
                        "is bus-off and does not restart by itself (restart-ms 0): " + error,
                        "sudo ip link set " + name + " down && sudo ip link set " + name + " up");
    }
    return kVciOk;
}

}  // namespace vci
