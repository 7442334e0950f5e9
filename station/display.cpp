#include "station/display.h"

#include <algorithm>
#include <cstdio>

namespace station {

namespace {

constexpr std::size_t kMinDeviceWidth = 6;
// The rest of a line that the device column leaves room for: the stage, the bytes of an image of
// up to 8 digits and the rate (the time left is cut off first).
constexpr std::size_t kRestWidth = 2 + 19 + 1 + 8 + 1 + 8 + 6 + 2 + 6 + 6;

// A name shortened to width: its end is kept, which tells adapters apart (a serial number, the
// end of a path).
std::string Shortened(const std::string& name, std::size_t width) {
    if (name.size() <= width) {
        return name;
    }
    if (width <= 3) {
        return name.substr(name.size() - width);
    }
    return "..." + name.substr(name.size() - (width - 3));
}

}  // namespace

std::size_t DeviceWidth(const std::vector<Load>& loads, std::size_t columns) {
    std::size_t width = kMinDeviceWidth;
    for (const Load& load : loads) {
        width = std::max(width, load.device.size());
    }
    std::size_t room = columns > kRestWidth + 1 ? columns - kRestWidth - 1 : 0;
    return std::min(width, std::max(room, kMinDeviceWidth));
}

std::string LiveLine(const Load& load, std::size_t device_width, std::size_t columns) {
    std::string line = Shortened(load.device, device_width);
    line.resize(device_width, ' ');
    std::string status = Finished(load) ? Outcome(load) : load.stage;
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "  %-19s %8lld/%lld bytes", status.c_str(),
                  static_cast<long long>(load.acknowledged), static_cast<long long>(load.total));
    line += numbers;
    double elapsed = Seconds(Clock::now() - load.data_started);
    if (load.stage == "sending" && !Finished(load) && elapsed > 0.2 && load.acknowledged > 0) {
        double rate = static_cast<double>(load.acknowledged) / elapsed;
        double left = static_cast<double>(load.total - load.acknowledged) / rate;
        std::snprintf(numbers, sizeof numbers, "  %6.1f KiB/s  %3.0f s left", rate / 1024, left);
        line += numbers;
    }
    if (columns > 0 && line.size() >= columns) {
        line.resize(columns - 1);
    }
    return line;
}

void LiveDisplay::Draw(const std::vector<Load>& loads) {
    if (drawn_ != 0) {
        std::printf("\x1b[%zuA", drawn_);
    }
    for (const Load& load : loads) {
        std::printf("\r\x1b[2K%s\n", LiveLine(load, device_width_, columns_).c_str());
    }
    drawn_ = loads.size();
    std::fflush(stdout);
}

void PrintTable(const std::vector<Load>& loads) {
    std::size_t device_width = kMinDeviceWidth;
    std::size_t meaning_width = 7;
    for (const Load& load : loads) {
        device_width = std::max(device_width, load.device.size());
        meaning_width = std::max(meaning_width, load.meaning.size());
    }
    std::printf("\n%-*s  %-14s  %-*s  %s\n", static_cast<int>(device_width), "device", "result",
                static_cast<int>(meaning_width), "meaning", "time");
    for (const Load& load : loads) {
        std::printf("%-*s  %-14s  %-*s  %.2f s\n", static_cast<int>(device_width),
                    load.device.c_str(), Outcome(load).c_str(), static_cast<int>(meaning_width),
                    load.meaning.c_str(), Seconds(load.ended - load.started));
    }
}

}  // namespace station
