// sensor-sim on a SocketCAN interface (vcan0, can0, ...) instead of the virtual bus: one raw CAN
// socket bound to the interface.
#pragma once

#include <string>
#include <vector>

#include "sensor_sim/can_frame.h"
#include "vci/socketcan/socketcan.h"

namespace sensor_sim {

class SocketCanLink {
  public:
    // Opens and binds the socket; false with the reason.
    bool Open(const std::string& interface, std::string* error);

    // Queues one frame; false when the kernel refused it (queue full, link down).
    bool Send(const CanFrame& frame);

    // Appends every frame waiting on the socket, without waiting. The kernel's copies of the
    // sensor's own frames are left out (a bootloader reply carries its request's identifier,
    // so the sensor would take its own reply for a new request), and so are error frames and
    // remote frames, which a sensor does not act on. An interface that is down for a while is
    // waited for, as the CAN library does. False when the interface has failed.
    bool Receive(std::vector<CanFrame>& out);

    // Readable when a frame is waiting.
    int fd() const { return socket_.fd(); }

  private:
    vci::socketcan::RawSocket socket_;
    std::vector<vci::socketcan::RawFrame> raw_;
};

}  // namespace sensor_sim
