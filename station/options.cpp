#include "station/options.h"
#include "base/parse.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>

namespace station {

namespace {

// 0xNN, two hex digits.
int ParseAddress(const std::string& text) {
    const auto value = text.size() == 4 && text.starts_with("0x")
                           ? base::ParseNumber<std::uint8_t>(std::string_view(text).substr(2), 16)
                           : std::nullopt;
    return value ? int{*value} : -1;
}

// 1 to 86400 seconds, decimal digits only.
int ParseSeconds(const std::string& text) {
    const auto value = base::ParseNumber<unsigned>(text);
    return value && *value >= 1 && *value <= 86400 ? static_cast<int>(*value) : -1;
}

enum : int { kRecord = 1000, kAddress, kWatchdog, kHelp };  // above every character

}  // namespace

void PrintUsage(std::FILE* stream) {
    std::fprintf(stream,
                 "usage: korvane-station [--record FILE] [--address 0xNN] [--watchdog SECONDS] "
                 "IMAGE [DEVICE...]\n");
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    static const option kLong[] = {
        {"record", required_argument, nullptr, kRecord},
        {"address", required_argument, nullptr, kAddress},
        {"watchdog", required_argument, nullptr, kWatchdog},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the messages are ours
    optind = 0;  // a whole new scan (glibc and mingw-w64 both take 0 so)
    for (;;) {
        int found = getopt_long(argc, argv, ":", kLong, nullptr);
        if (found == -1) {
            break;
        }
        switch (found) {
            case kRecord:
                options.record = optarg;
                break;
            case kAddress:
                options.address = ParseAddress(optarg);
                if (options.address < 0) {
                    error = "the address is 0xNN, as 0xC3";
                    return false;
                }
                break;
            case kWatchdog:
                options.watchdog_seconds = ParseSeconds(optarg);
                if (options.watchdog_seconds < 0) {
                    error = "the watchdog is 1 to 86400 seconds";
                    return false;
                }
                break;
            case kHelp:
                options.help = true;
                break;
            default:  // ':' a value missing, '?' an unknown option or a value where none is
                error = std::string(found == ':'        ? "a value is missing after "
                                    : optopt >= kRecord ? "no value is taken by "
                                                        : "unknown option ") +
                        argv[optind - 1];
                return false;
        }
    }
    if (options.help) {
        return true;
    }
    if (optind >= argc) {
        return false;
    }
    options.image = argv[optind];
    options.devices.assign(argv + optind + 1, argv + argc);
    return true;
}

}  // namespace station
