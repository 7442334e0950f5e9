// One load: what the station knows of it, as the loader's console moves it on.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station/system.h"

namespace station {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

struct Load {
    std::string device;  // as named on the command line, or as listed
    std::string listed;  // the name of the device in the library's list (KORVANE_DEVICE)
    Child child;
    std::string console;  // as a terminal shows it (see AppendAsShown)
    bool after_cr = false;
    std::string pending;  // the console since the last line end
    std::string stage = "waiting";
    std::string loader_version;
    std::optional<std::int64_t> result;
    std::optional<std::int64_t> port_error;
    std::optional<std::int64_t> file_size;  // the loader's "File is N bytes."
    std::string meaning;
    std::string stopped_because;  // why the station stopped the loader (not Ctrl-C)
    std::int64_t acknowledged = 0;
    std::int64_t total = 0;
    bool rebooted = false;
    // The loader read another image than the one hashed (another size, or the file changed by
    // the end of the load).
    bool image_changed = false;
    bool wants_enter = false;       // the loader's closing prompt, not yet answered
    bool asked_for_device = false;  // the library's device prompt: it waits for ever
    bool recorded = false;
    WallClock::time_point started_wall;
    WallClock::time_point ended_wall;
    Clock::time_point started;
    Clock::time_point data_started;
    Clock::time_point last_output;
    Clock::time_point stop_requested;  // when stopped_because was set
    Clock::time_point ended;
};

// The loader's output as it came (any piece: lines, parts of lines, several lines). The stages
// it moved to are added to stages (in order).
void TakeOutput(Load& load, std::string_view data, std::vector<std::string>* stages = nullptr);

// The console as a terminal shows it, for the record: the loader rewrites its data line in
// place after a carriage return, so only the last rewrite is kept; line ends become LF.
void AppendAsShown(std::string& console, bool& after_cr, std::string_view data);

// What the load ended with, once the loader has ended: a last line without its line end is
// taken as a line; without a result, why there is none.
void Conclude(Load& load, bool interrupted);

bool Finished(const Load& load);

// SUCCESS, Error N, Error XXXXXXXX, interrupted, stopped or failed.
std::string Outcome(const Load& load);

std::string HexCode(std::int64_t code);

double Seconds(Clock::duration duration);

}  // namespace station
