// The DEVICE arguments resolved against the devices the CAN library lists, before any load: each
// argument must be exactly one listed device, and no device may be named twice.
#pragma once

#include <string>
#include <vector>

namespace station {

struct ListedDevice {
    std::string name;
    std::string description;  // as the library gives it: "..., serial X", "(taken from can0 ..."
};

// A listed device answers to its name, its serial number and the kernel interface it was taken
// from while that is down (a gs_usb adapter listed as gsusb-...).
bool AnswersTo(const ListedDevice& device, const std::string& argument);

// The listed names for the arguments (in their order); false with the reason in error for an
// empty argument, one that names no device or several, or two that name one device. Without
// arguments, every listed device.
bool ResolveDevices(const std::vector<std::string>& arguments,
                    const std::vector<ListedDevice>& listed, std::vector<std::string>& names,
                    std::string& error);

}  // namespace station
