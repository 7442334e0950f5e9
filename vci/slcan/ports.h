// The serial ports where the library looks for SLCAN adapters (see ports.cpp), and the numbers
// that the device identifiers give them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vci::slcan {

// USB vendor and product IDs of adapters that speak SLCAN and nothing else.
struct UsbId {
    std::uint16_t vendor;
    std::uint16_t product;
    const char* product_name;
};
extern const std::vector<UsbId> kSlcanUsbIds;

// The baud rate of a port named without one, and of every recognised USB port (a USB adapter
// ignores it).
inline constexpr std::uint32_t kDefaultBaud = 115200;

// A port to list: its device path or COM name, its baud rate, and what recognised it (null when
// it is named in KORVANE_SLCAN_PORTS).
struct SlcanPort {
    std::string port;
    std::uint32_t baud = kDefaultBaud;
    const UsbId* id = nullptr;
    bool baud_given = false;  // named with "@BAUD"
};

// One entry of KORVANE_SLCAN_PORTS: "PATH" or "PATH@BAUD" (BAUD: decimal digits).
SlcanPort ParsePort(const std::string& text);
// The entry that ParsePort reads back (the device's locator).
std::string PortText(const SlcanPort& port);

// Whether the port is there now, found without opening it (on Windows, always true).
bool PortPresent(const std::string& port);

// The ports to list, named ones first, each once (a link and its target are one port). Nothing
// is opened to find them.
std::vector<SlcanPort> SlcanPorts();

// The serial ports named in KORVANE_SLCAN_PORTS (value as given: `text`), in order, without
// empty entries and repeats.
std::vector<std::string> SplitPortList(const std::string& text);

// A port's number: given by this process the first time it lists the port (1, 2, ... in order of
// discovery), it keeps meaning that port for the life of the process; it means nothing to
// another process.
std::uint32_t PortNumber(const std::string& port);

// The device's short name: the last part of the path ("/dev/ttyACM0" -> "ttyACM0"), or the COM
// name itself, at most 31 characters.
std::string PortName(const std::string& port);

}  // namespace vci::slcan
