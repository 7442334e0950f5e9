#include "vci/device_prompt.h"

#include <cstdio>
#include <string>

namespace vci {

namespace {

// Reads one line from stdin; false at end of input. Over-long input is consumed to its end.
bool ReadLine(std::string* line) {
    line->clear();
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        *line += buffer;
        if (!line->empty() && line->back() == '\n') {
            line->pop_back();
            return true;
        }
    }
    return !line->empty();
}

// "3" -> 3; anything but blanks around a decimal number of at most 6 digits -> 0.
std::size_t ParseChoice(const std::string& line) {
    std::size_t begin = line.find_first_not_of(" \t\r");
    std::size_t end = line.find_last_not_of(" \t\r");
    if (begin == std::string::npos || end - begin >= 6) {
        return 0;
    }
    std::size_t value = 0;
    for (std::size_t i = begin; i <= end; ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return 0;
        }
        value = value * 10 + static_cast<std::size_t>(line[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<std::size_t> AskForDevice(const std::vector<DeviceEntry>& devices) {
    std::printf("CAN devices:\n");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::printf("  %zu  %-8s %s\n", i + 1, devices[i].name.c_str(),
                    devices[i].description.c_str());
    }
    std::printf("Choose a device (1-%zu, Enter to cancel): ", devices.size());
    std::fflush(stdout);
    std::string line;
    if (!ReadLine(&line)) {
        std::printf("\n");
        return std::nullopt;
    }
    const std::size_t choice = ParseChoice(line);
    if (choice < 1 || choice > devices.size()) {
        return std::nullopt;
    }
    return choice - 1;
}

}  // namespace vci
