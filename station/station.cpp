// korvane-station: one korvane-loader per CAN device at the same time, a live line for each, a
// table at the end and one JSON line per load in the record file.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "station/console_lines.h"
#include "station/sha256.h"
#include "station/system.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::system_clock;

constexpr int kUsageError = 2;
constexpr auto kStopGrace = std::chrono::seconds(5);  // after Ctrl-C, before a hard stop
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

struct Options {
    std::string record = "korvane-loads.jsonl";
    int address = 0xC3;
    std::string image;
    std::vector<std::string> devices;
};

struct Load {
    std::string device;
    Child child;
    std::string console;  // as a terminal shows it (see AppendAsShown)
    bool after_cr = false;
    std::string pending;  // the console since the last line end
    std::string stage = "waiting";
    std::string loader_version;
    std::optional<std::int64_t> result;
    std::optional<std::int64_t> port_error;
    std::string meaning;
    std::int64_t acknowledged = 0;
    std::int64_t total = 0;
    bool rebooted = false;
    bool recorded = false;
    system_clock::time_point started_wall;
    system_clock::time_point ended_wall;
    Clock::time_point started;
    Clock::time_point data_started;
    Clock::time_point ended;
};

void PrintUsage(std::FILE* stream) {
    std::fprintf(stream,
                 "usage: korvane-station [--record FILE] [--address 0xNN] IMAGE [DEVICE...]\n");
}

int ParseAddress(const std::string& text) {
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    if (text.size() != 4 || text[0] != '0' || text[1] != 'x' || !hex(text[2]) || !hex(text[3])) {
        return -1;
    }
    return std::stoi(text.substr(2), nullptr, 16);
}

bool ParseOptions(int argc, char** argv, Options& options) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        bool has_value = i + 1 < arguments.size();
        if (argument == "--record" && has_value) {
            options.record = arguments[++i];
        } else if (argument == "--address" && has_value) {
            options.address = ParseAddress(arguments[++i]);
            if (options.address < 0) {
                std::fprintf(stderr, "korvane-station: the address is 0xNN, as 0xC3\n");
                return false;
            }
        } else if (argument == "--") {
            positional.insert(positional.end(), arguments.begin() + static_cast<long>(i) + 1,
                              arguments.end());
            break;
        } else if (argument.starts_with("--")) {
            return false;
        } else {
            positional.push_back(argument);
        }
    }
    if (positional.empty()) {
        return false;
    }
    options.image = positional[0];
    options.devices.assign(positional.begin() + 1, positional.end());
    return true;
}

std::string IsoTime(system_clock::time_point when) {
    auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds % 1000));
    return text;
}

// A JSON string. Bytes that are no UTF-8 are taken as Latin-1.
std::string Json(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t follow = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 0;
        bool utf8 = c >= 0x80 && follow != 0 && i + follow < text.size() &&
                    std::all_of(text.begin() + static_cast<long>(i) + 1,
                                text.begin() + static_cast<long>(i + follow) + 1, [](char f) {
                                    return (static_cast<unsigned char>(f) & 0xC0) == 0x80;
                                });
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || (c >= 0x80 && !utf8)) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (utf8) {
            out.append(text.substr(i, follow + 1));
            i += follow;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string HexCode(std::int64_t code) {
    char text[12];
    std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(code));
    return text;
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

std::string RecordLine(const Load& load, const Options& options, std::int64_t image_size,
                       const std::string& image_hash) {
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", static_cast<unsigned>(options.address));
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", Seconds(load.ended - load.started));
    std::ostringstream line;
    line << "{\"started\":" << Json(IsoTime(load.started_wall))
         << ",\"ended\":" << Json(IsoTime(load.ended_wall)) << ",\"device\":" << Json(load.device)
         << ",\"address\":" << Json(address) << ",\"image\":" << Json(options.image)
         << ",\"image_size\":" << image_size << ",\"image_sha256\":" << Json(image_hash)
         << ",\"result\":" << (load.result ? std::to_string(*load.result) : "null")
         << ",\"meaning\":" << Json(load.meaning)
         << ",\"port_error\":" << (load.port_error ? Json(HexCode(*load.port_error)) : "null")
         << ",\"bytes_acknowledged\":" << load.acknowledged << ",\"seconds\":" << seconds
         << ",\"rebooted\":" << (load.rebooted ? "true" : "false") << ",\"loader_version\":"
         << (load.loader_version.empty() ? "null" : Json(load.loader_version))
         << ",\"console\":" << Json(load.console) << "}\n";
    return line.str();
}

bool Finished(const Load& load) {
    return load.result || load.port_error || !load.meaning.empty();
}

std::string Outcome(const Load& load) {
    if (load.result) {
        return *load.result == 0 ? "SUCCESS" : "Error " + std::to_string(*load.result);
    }
    if (load.port_error) {
        return "Error " + HexCode(*load.port_error);
    }
    return load.meaning == "interrupted" ? "interrupted" : "failed";
}

// One console line of the loader (line ends taken off).
void TakeLine(Load& load, std::string_view text, bool plain) {
    ConsoleLine line = ParseConsoleLine(text);
    std::string before = load.stage;
    switch (line.kind) {
        case LineKind::kBanner:
            load.loader_version = line.text;
            break;
        case LineKind::kData:
            if (load.stage != line.stage) {
                load.data_started = Clock::now();
            }
            load.acknowledged = line.count;
            load.total = line.total;
            load.stage = line.stage;
            break;
        case LineKind::kReboot:
            load.rebooted = true;
            load.stage = line.stage;
            break;
        case LineKind::kStage:
            load.stage = line.stage;
            break;
        case LineKind::kSuccess:
        case LineKind::kLoadError:
            load.result = line.count;
            load.meaning = ResultMeaning(line.count, false);
            break;
        case LineKind::kPortError:
            load.port_error = line.count;
            load.meaning = ResultMeaning(line.count, true);
            break;
        case LineKind::kLoaderError:
            load.meaning = line.text;
            break;
        case LineKind::kPrompt:
            SendEnter(load.child);
            break;
        case LineKind::kNote:
        case LineKind::kUnknown:
            break;
    }
    if (plain && load.stage != before) {
        std::printf("%s: %s\n", load.device.c_str(), load.stage.c_str());
        std::fflush(stdout);
    }
}

// The console as a terminal shows it, for the record: the loader rewrites its data line in
// place after a carriage return (once per block, some 45 bytes each: megabytes for a large image),
// so only the last rewrite is kept; line ends become LF.
void AppendAsShown(std::string& console, bool& after_cr, std::string_view data) {
    for (const char c : data) {
        if (after_cr) {
            after_cr = false;
            if (c != '\n') {
                const std::size_t line_end = console.rfind('\n');
                console.erase(line_end == std::string::npos ? 0 : line_end + 1);
            }
        }
        if (c == '\r') {
            after_cr = true;
        } else {
            console.push_back(c);
        }
    }
}

void TakeOutput(Load& load, std::string_view data, bool plain) {
    AppendAsShown(load.console, load.after_cr, data);
    load.pending.append(data);
    std::string_view rest = load.pending;
    std::size_t end = 0;
    while ((end = rest.find_first_of("\r\n")) != std::string_view::npos) {
        if (end != 0) {
            TakeLine(load, rest.substr(0, end), plain);
        }
        rest.remove_prefix(end + 1);
    }
    load.pending.erase(0, load.pending.size() - rest.size());
    // The data line is rewritten in place: its latest count has no line end yet.
    if (ParseConsoleLine(load.pending).kind == LineKind::kData) {
        TakeLine(load, load.pending, plain);
    }
}

std::string LiveLine(const Load& load, std::size_t device_width) {
    char text[160];
    std::string status = Finished(load) ? Outcome(load) : load.stage;
    int length = std::snprintf(text, sizeof text, "%-*s  %-19s %8lld/%lld bytes",
                               static_cast<int>(device_width), load.device.c_str(), status.c_str(),
                               static_cast<long long>(load.acknowledged),
                               static_cast<long long>(load.total));
    double elapsed = Seconds(Clock::now() - load.data_started);
    if (load.stage == "sending" && !Finished(load) && elapsed > 0.2 && load.acknowledged > 0) {
        double rate = static_cast<double>(load.acknowledged) / elapsed;
        double left = static_cast<double>(load.total - load.acknowledged) / rate;
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                      "  %6.1f KiB/s  %3.0f s left", rate / 1024, left);
    }
    return text;
}

void Redraw(const std::vector<Load>& loads, std::size_t device_width, bool first) {
    if (!first) {
        std::printf("\x1b[%zuA", loads.size());
    }
    for (const Load& load : loads) {
        std::printf("\r\x1b[2K%s\n", LiveLine(load, device_width).c_str());
    }
    std::fflush(stdout);
}

void PrintTable(const std::vector<Load>& loads, std::size_t device_width) {
    std::size_t meaning_width = 7;
    for (const Load& load : loads) {
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

// What the load ended with, once the loader has ended.
void Conclude(Load& load, bool interrupted) {
    load.ended = Clock::now();
    load.ended_wall = system_clock::now();
    if (!Finished(load)) {
        load.meaning = interrupted || load.child.stopped_by_signal
                           ? "interrupted"
                           : "the loader ended without a result";
    }
}

// The whole image; only a regular file is one (as for the loader).
bool ReadImage(const std::string& path, std::string& bytes) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[1 << 16];
    std::size_t size = 0;
    while ((size = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, size);
    }
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return !failed;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        PrintUsage(stdout);
        return 0;
    }
    if (!ParseOptions(argc, argv, options)) {
        PrintUsage(stderr);
        return kUsageError;
    }
    std::string image;
    if (!ReadImage(options.image, image)) {
        std::fprintf(stderr, "korvane-station: cannot read the image %s\n", options.image.c_str());
        return kUsageError;
    }
    std::vector<std::string> listed;
    // The library's device scan takes a moment: only when no device is named.
    CanLibrary library = ListDevices(options.devices.empty() ? &listed : nullptr);
    if (library == CanLibrary::kMissing) {
        std::fprintf(stderr, "korvane-station: VCINPL.dll not found\n");
        return kUsageError;
    }
    if (library == CanLibrary::kAdapterMakers) {
        // That library neither reads KORVANE_DEVICE nor names its devices: it chooses one.
        std::printf(
            "korvane-station: VCINPL.dll is the adapter maker's, which chooses the "
            "device itself: one load\n");
        if (options.devices.size() > 1) {
            std::fprintf(stderr, "korvane-station: name one device at most with this VCINPL.dll\n");
            return kUsageError;
        }
        if (options.devices.empty()) {
            options.devices.push_back("VCINPL.dll");
        }
    } else if (options.devices.empty()) {
        options.devices = listed;
    }
    // The adapter maker's library is given no device name: its choice is its own.
    const bool library_chooses = library == CanLibrary::kAdapterMakers;
    if (options.devices.empty()) {
        std::fprintf(stderr, "korvane-station: no CAN device found\n");
        return kUsageError;
    }
    for (std::size_t i = 0; i < options.devices.size(); ++i) {
        if (std::count(options.devices.begin(), options.devices.end(), options.devices[i]) > 1) {
            std::fprintf(stderr, "korvane-station: %s named twice\n", options.devices[i].c_str());
            return kUsageError;
        }
    }
    std::string loader = FindLoader();
    if (loader.empty()) {
        std::fprintf(stderr,
                     "korvane-station: korvane-loader is neither beside this program nor "
                     "on PATH\n");
        return kUsageError;
    }
    std::intptr_t record = OpenRecordFile(options.record);
    if (record < 0) {
        std::fprintf(stderr, "korvane-station: cannot append to %s\n", options.record.c_str());
        return kUsageError;
    }

    const std::string image_hash = Sha256Hex(image);
    const auto image_size = static_cast<std::int64_t>(image.size());
    char address[8];
    std::snprintf(address, sizeof address, "0x%02x", static_cast<unsigned>(options.address));
    // A file name that begins with 0 would be taken for an address.
    std::string image_argument =
        options.image.starts_with("0") ? "./" + options.image : options.image;
    const bool live = StdoutIsTerminal();
    InstallInterruptHandler();

    std::vector<Load> loads(options.devices.size());
    std::vector<Child*> children;
    std::size_t device_width = 6;
    for (std::size_t i = 0; i < loads.size(); ++i) {
        Load& load = loads[i];
        load.device = options.devices[i];
        load.total = image_size;
        device_width = std::max(device_width, load.device.size());
        load.started_wall = system_clock::now();
        load.started = Clock::now();
        std::string error;
        if (!StartChild(loader, {image_argument, address}, library_chooses ? "" : load.device,
                        load.child, error)) {
            load.meaning = "the loader could not be started: " + error;
        }
        children.push_back(&load.child);
    }

    int interrupts_seen = 0;
    Clock::time_point interrupted_at;
    Clock::time_point last_redraw = Clock::now();
    bool write_failed = false;
    if (live) {
        Redraw(loads, device_width, true);
    }
    for (;;) {
        Pump(children, 100, [&](std::size_t index, std::string_view data) {
            TakeOutput(loads[index], data, !live);
        });
        int interrupts = InterruptCount();
        if (interrupts > interrupts_seen) {
            if (interrupts_seen == 0) {
                interrupted_at = Clock::now();
            }
            interrupts_seen = interrupts;
            for (Load& load : loads) {
                StopChild(load.child, interrupts > 1);
            }
        }
        if (interrupts_seen != 0 && Clock::now() - interrupted_at > kStopGrace) {
            for (Load& load : loads) {
                StopChild(load.child, true);
            }
        }
        bool all_recorded = true;
        for (Load& load : loads) {
            if (!load.recorded && !load.child.running) {
                Conclude(load, interrupts_seen != 0);
                write_failed |=
                    !AppendRecordLine(record, RecordLine(load, options, image_size, image_hash));
                load.recorded = true;
                if (!live) {
                    std::printf("%s: %s\n", load.device.c_str(), Outcome(load).c_str());
                    std::fflush(stdout);
                }
            }
            all_recorded &= load.recorded;
        }
        if (live && (all_recorded || Clock::now() - last_redraw >= kRedrawInterval)) {
            Redraw(loads, device_width, false);
            last_redraw = Clock::now();
        }
        if (all_recorded) {
            break;
        }
    }

    PrintTable(loads, device_width);
    if (write_failed) {
        std::fprintf(stderr, "korvane-station: could not write every record to %s\n",
                     options.record.c_str());
    }
    bool all_succeeded = std::all_of(loads.begin(), loads.end(), [](const Load& load) {
        return load.result && *load.result == 0;
    });
    return all_succeeded && !write_failed ? 0 : 1;
}
