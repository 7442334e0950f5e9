// The command line of korvane-station.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace station {

struct Options {
    std::string record = "korvane-loads.jsonl";
    int address = 0xC3;
    int watchdog_seconds = 120;  // a loader silent this long is stopped
    bool help = false;
    std::string image;
    std::vector<std::string> devices;
};

// Parses argv (getopt_long, which reorders argv). False on a usage error, with the reason in
// error when there is more to say than the usage line.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

void PrintUsage(std::FILE* stream);

}  // namespace station
