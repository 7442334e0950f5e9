#include "sensor_sim/socketcan_transport.h"

#include <algorithm>

namespace sensor_sim {

namespace {

// Frames taken per call at most, so that a flood cannot starve stdin and the sensor's timers;
// the rest waits in the kernel's queue for the next turn of the event loop.
constexpr std::size_t kMaxFramesPerReceive = 256;

}  // namespace

bool SocketCanLink::Open(const std::string& interface, std::string* error) {
    return socket_.Open(interface, error);
}

bool SocketCanLink::Send(const CanFrame& frame) {
    vci::socketcan::RawFrame raw;
    raw.id = frame.id;
    raw.extended = frame.extended;
    raw.length = std::min<std::uint8_t>(frame.length, 8);
    std::copy(frame.data.begin(), frame.data.end(), raw.data);
    std::string error;
    return socket_.Send(raw, &error);
}

bool SocketCanLink::Receive(std::vector<CanFrame>& out) {
    raw_.clear();
    if (!socket_.ReceiveSome(raw_, kMaxFramesPerReceive, 0)) {
        return false;
    }
    for (const vci::socketcan::RawFrame& raw : raw_) {
        if (raw.own || raw.error || raw.remote) {
            continue;
        }
        CanFrame frame;
        frame.id = raw.id;
        frame.extended = raw.extended;
        frame.length = std::min<std::uint8_t>(raw.length, 8);
        std::copy(raw.data, raw.data + 8, frame.data.begin());
        out.push_back(frame);
    }
    return true;
}

}  // namespace sensor_sim
