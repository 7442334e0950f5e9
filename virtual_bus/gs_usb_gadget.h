// A gs_usb (candleLight-family) USB CAN adapter on a FunctionFS function, joined to a virtual
// bus: what a candleLight stick would be, for the hosts that drive one (the kernel's gs_usb
// driver, our CAN library over usbdevfs) where no hardware is at hand. Linux only; it needs the
// gadget modules (a UDC such as dummy_hcd, libcomposite, usb_f_fs) and root, so it runs in the
// VM tier (tests/vm/gs_usb_gadget.sh sets up the gadget around it).
//
// It plays the adapter's firmware on the FunctionFS folder it is given (ep0 mounted there):
//   - writes the descriptors (full and high speed: one vendor interface ff/ff/ff, number 0, with
//     bulk IN 0x81 and bulk OUT 0x02, as candleLight has) and the interface string;
//   - answers the control requests of interface 0: HOST_FORMAT, DEVICE_CONFIG (one channel),
//     BT_CONST (48 MHz, tseg1 1..16, tseg2 1..8, sjw 4, brp 1..1024, no features), BITTIMING,
//     MODE start and reset, TIMESTAMP; stalls the rest;
//   - while the channel is started, a frame from the host (bulk OUT) goes to the bus and comes
//     back to the host with its echo id (bulk IN), and the bus's frames go to the host with echo
//     id 0xffffffff; while it is not, both are dropped.
// Faults, counted in frames from the host: bus-off (error frame 0x20000040; the channel then
// takes no frames until the host resets or starts it again; with `restart`, it reports 0x20000100
// after 100 ms and goes on, as candleLight's firmware does), error-passive (an error frame, frames
// go on), no echo, and pulled out (every FunctionFS file closed: the kernel unbinds the gadget and
// the host sees the device go).
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace vbus {

struct GsUsbFaults {
    std::uint64_t bus_off_after = 0;  // 0: never
    bool bus_off_restarts = false;    // reports the restart 100 ms after the bus-off
    std::uint64_t passive_after = 0;  // 0: never
    std::uint64_t pull_after = 0;     // 0: never (Pull() still pulls it out)
    bool no_echo = false;
};

class GsUsbGadget {
  public:
    GsUsbGadget(std::string ffs_dir, GsUsbFaults faults, std::ostream* log);
    ~GsUsbGadget();  // stops
    GsUsbGadget(const GsUsbGadget&) = delete;
    GsUsbGadget& operator=(const GsUsbGadget&) = delete;

    // Joins the bus on 127.0.0.1:port (bus: empty for the host's own), writes the descriptors
    // and strings on ep0 and serves on threads of its own; once it returns, ep1 and ep2 exist and
    // the gadget may be bound to its UDC. False with a reason.
    bool Start(std::uint16_t port, const std::string& bus, std::string* error);
    // As a stick pulled out: every FunctionFS file is closed.
    void Pull();
    // Stops serving and closes everything. Idempotent.
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vbus
