// The CAN port: the interface device, its controller at 1000 kbit/s and one message channel.
#ifndef KORVANE_CAN_CAN_PORT_H
#define KORVANE_CAN_CAN_PORT_H

#include <cstdint>

#include "can/can_library.h"

struct CanPort {
    VciHandle device;   // opened device; never closed by the loader
    VciHandle channel;  // the message channel for all traffic
};

// The device's controller, held from StartController until CloseController; null at start.
extern VciHandle ControllerHandle;

inline constexpr uint32_t kDeviceNotFound = 0xFFFFFFFFu;

// Opens device, controller and channel; prints one error line on failure. 1 or 0. Handles
// obtained before a failure stay in the port for CloseCanPort.
int OpenCanPort(CanPort& port, void* parent_window);
// Closes the channel and the controller, if they were opened.
void CloseCanPort(CanPort& port);

uint32_t CountDevices();
uint32_t FirstDeviceId(VciDeviceId& id);
uint32_t OpenDevice(VciHandle& device, void* parent_window);
uint32_t StartController(VciHandle device);
void CloseController();

#endif  // KORVANE_CAN_CAN_PORT_H
