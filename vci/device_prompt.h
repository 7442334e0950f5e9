// The library's device selection (3001), on the console: a numbered list of the devices on
// stdout and one line read from stdin. This prompt is the only thing the library ever writes to
// stdout.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "vci/backend.h"

namespace vci {

// The index of the device the operator chose; nullopt when the answer is an empty line, the end
// of input or anything but a listed number. `devices` is not empty.
std::optional<std::size_t> AskForDevice(const std::vector<DeviceEntry>& devices);

}  // namespace vci
