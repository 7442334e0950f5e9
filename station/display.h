// What the station shows: a live line per load on a terminal, the table at the end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "station/load.h"

namespace station {

// The device column's width for these loads on a terminal this wide: the longest name, but no
// wider than leaves the rest of a line room.
std::size_t DeviceWidth(const std::vector<Load>& loads, std::size_t columns);

// A load's line: device, stage or outcome, bytes, and while it streams the rate and the time
// left; at most columns - 1 characters (a full line would make the terminal wrap).
std::string LiveLine(const Load& load, std::size_t device_width, std::size_t columns);

// The live lines, drawn again in place.
class LiveDisplay {
  public:
    LiveDisplay(std::size_t device_width, std::size_t columns)
        : device_width_(device_width), columns_(columns) {}
    void Draw(const std::vector<Load>& loads);
    // Other lines were printed below the live lines: draw them anew below those.
    void Forget() { drawn_ = 0; }

  private:
    std::size_t device_width_;
    std::size_t columns_;
    std::size_t drawn_ = 0;
};

void PrintTable(const std::vector<Load>& loads);

}  // namespace station
