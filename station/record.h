// The record of a load: one JSON object on one line (JSON Lines), valid UTF-8 whatever bytes
// the image's path or the loader's console held.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "station/load.h"

namespace station {

// What every record of one run shares.
struct RecordImage {
    std::string path;  // as given (UTF-8, or bytes taken as Latin-1 where they are no UTF-8)
    std::int64_t size = 0;
    std::string sha256;
    int address = 0;
};

// A JSON string: valid UTF-8 is kept, each byte of anything else is taken as Latin-1 (so no
// byte is lost); control characters, '"' and '\' are escaped.
std::string JsonString(std::string_view text);

// UTC, ISO 8601 with milliseconds: 2026-12-08T09:14:03.127Z
std::string IsoTime(WallClock::time_point when);

// The whole line, its line end included.
std::string RecordLine(const Load& load, const RecordImage& image);

}  // namespace station
