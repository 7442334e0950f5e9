// The loader's console, line by line: which of its fixed lines a line is, and what it carries.
// The lines themselves are the loader's (app/); this is the one place that knows them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace station {

enum class LineKind {
    kUnknown,       // not a line of the loader's (the library's notes on stderr, blank lines)
    kBanner,        // text: the loader's version
    kNote,          // a line that changes nothing here
    kStage,         // stage: the new stage
    kData,          // count of total bytes acknowledged
    kReboot,        // the bootloader was told to reboot (a stage too)
    kSuccess,       // the load succeeded: result 0
    kLoadError,     // count: the load result (negative)
    kPortError,     // count: the library's code at the port step
    kLoaderError,   // text: the loader refused the image or the command line
    kPrompt,        // the loader waits for Enter
    kFileSize,      // count: the image's size as the loader read it
    kDevicePrompt,  // the CAN library asks which device to use (no line end: it waits)
};

struct ConsoleLine {
    LineKind kind = LineKind::kUnknown;
    const char* stage = "";  // for kStage, kData and kReboot
    std::int64_t count = 0;
    std::int64_t total = 0;
    std::string text;
};

// One line without its line end (the loader ends lines in "\n" or "\r\n" and rewrites its data
// line after a "\r": each piece between those is a line here).
ConsoleLine ParseConsoleLine(std::string_view line);

// The meaning of a load result (0 or negative) or, with port_step, of a library code.
std::string ResultMeaning(std::int64_t code, bool port_step);

}  // namespace station
