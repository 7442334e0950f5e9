// korvane-station: one korvane-loader per CAN device at the same time, a live line for each, a
// table at the end and one JSON line per load in the record file.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "station/devices.h"
#include "station/display.h"
#include "station/load.h"
#include "station/options.h"
#include "station/record.h"
#include "station/sha256.h"
#include "station/system.h"

namespace station {

namespace {

constexpr int kUsageError = 2;
constexpr auto kStopGrace = std::chrono::seconds(5);  // after a stop request, before a hard stop
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

// The whole image; only a regular file is one (as for the loader).
bool ReadImage(const std::string& path, std::string& bytes) {
    std::error_code error;
    bytes.clear();
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

// The devices to load on (the library's names, and as the user named them); 0 or the exit
// status of a usage error.
int ChooseDevices(Options& options, std::vector<std::string>& listed_names, bool& library_chooses) {
    std::vector<ListedDevice> listed;
    CanLibrary library = ListDevices(&listed);
    if (library == CanLibrary::kMissing) {
        std::fprintf(stderr, "korvane-station: VCINPL.dll not found\n");
        return kUsageError;
    }
    library_chooses = library == CanLibrary::kAdapterMakers;
    if (library_chooses) {
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
        listed_names = options.devices;
        return 0;
    }
    if (options.devices.empty() && listed.empty()) {
        std::fprintf(stderr, "korvane-station: no CAN device found\n");
        return kUsageError;
    }
    std::string error;
    if (!ResolveDevices(options.devices, listed, listed_names, error)) {
        std::fprintf(stderr, "korvane-station: %s\n", error.c_str());
        return kUsageError;
    }
    if (options.devices.empty()) {
        options.devices = listed_names;
    }
    return 0;
}

// Says a record that could not be written, and prints it where it is not lost.
void SayLostRecord(const Load& load, const std::string& file, const std::string& error,
                   const std::string& line) {
    std::fflush(stdout);
    std::fprintf(stderr, "korvane-station: %s: the record could not be written to %s: %s\n",
                 load.device.c_str(), file.c_str(), error.c_str());
    std::printf("korvane-station: the record not written: %s", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int Run(int argc, char** argv) {
    PrepareSignals();
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        if (!error.empty()) {
            std::fprintf(stderr, "korvane-station: %s\n", error.c_str());
        }
        PrintUsage(stderr);
        return kUsageError;
    }
    if (options.help) {
        PrintUsage(stdout);
        return 0;
    }
    std::string image;
    if (!ReadImage(options.image, image)) {
        std::fprintf(stderr, "korvane-station: cannot read the image %s\n", options.image.c_str());
        return kUsageError;
    }
    std::vector<std::string> listed_names;
    bool library_chooses = false;
    if (int refused = ChooseDevices(options, listed_names, library_chooses); refused != 0) {
        return refused;
    }
    std::string loader = FindLoader();
    if (loader.empty()) {
        std::fprintf(stderr,
                     "korvane-station: korvane-loader is neither beside this program nor "
                     "on PATH\n");
        return kUsageError;
    }
    RecordFile record;
    if (!OpenRecordFile(options.record, record, error)) {
        std::fprintf(stderr, "korvane-station: cannot append to %s: %s\n", options.record.c_str(),
                     error.c_str());
        return kUsageError;
    }

    RecordImage record_image;
    record_image.path = ArgumentText(options.image);
    record_image.size = static_cast<std::int64_t>(image.size());
    record_image.sha256 = Sha256Hex(image);
    record_image.address = options.address;
    char address[8];
    std::snprintf(address, sizeof address, "0x%02x", static_cast<unsigned>(options.address));
    // A file name that begins with 0 would be taken for an address.
    std::string image_argument =
        options.image.starts_with("0") ? "./" + options.image : options.image;

    std::vector<Load> loads(options.devices.size());
    std::size_t columns = 0;
    std::size_t rows = 0;
    bool live = StdoutIsTerminal();
    if (live) {
        TerminalSize(columns, rows);
        // More loads than the terminal has rows cannot be drawn in place: plain lines then.
        live = loads.size() + 1 < rows;
    }
    std::vector<Child*> children;
    for (std::size_t i = 0; i < loads.size(); ++i) {
        Load& load = loads[i];
        load.device = options.devices[i];
        load.listed = listed_names[i];
        load.total = record_image.size;
        load.started_wall = WallClock::now();
        load.started = Clock::now();
        load.last_output = load.started;
        if (!StartChild(loader, {image_argument, address}, library_chooses ? "" : load.listed,
                        load.child, error)) {
            load.meaning = "the loader could not be started: " + error;
        }
        children.push_back(&load.child);
    }

    const auto watchdog = std::chrono::seconds(options.watchdog_seconds);
    int interrupts_seen = 0;
    Clock::time_point interrupted_at;
    Clock::time_point last_redraw = Clock::now();
    bool write_failed = false;
    bool image_changed = false;
    LiveDisplay display(DeviceWidth(loads, columns), columns);
    if (live) {
        display.Draw(loads);
    }
    std::vector<std::string> stages;
    for (;;) {
        Pump(children, 100, [&](std::size_t index, std::string_view data) {
            Load& load = loads[index];
            load.last_output = Clock::now();
            stages.clear();
            TakeOutput(load, data, &stages);
            for (std::size_t i = 0; !live && i < stages.size(); ++i) {
                std::printf("%s: %s\n", load.device.c_str(), stages[i].c_str());
                std::fflush(stdout);
            }
            if (load.wants_enter) {
                load.wants_enter = false;
                SendEnter(load.child);
            }
        });
        const Clock::time_point now = Clock::now();
        int interrupts = InterruptCount();
        if (interrupts > interrupts_seen) {
            if (interrupts_seen == 0) {
                interrupted_at = now;
            }
            interrupts_seen = interrupts;
            for (Load& load : loads) {
                StopChild(load.child, interrupts > 1);
            }
        }
        for (Load& load : loads) {
            if (!load.child.running) {
                continue;
            }
            // A loader that waits for a device choice, or is silent too long, waits for ever.
            if (load.stopped_because.empty() &&
                (load.asked_for_device || now - load.last_output > watchdog)) {
                load.stopped_because = load.asked_for_device
                                           ? "stopped: the CAN library asked which device to use"
                                           : "stopped: no output from the loader for " +
                                                 std::to_string(options.watchdog_seconds) + " s";
                load.stop_requested = now;
                StopChild(load.child, false);
            } else if (!load.stopped_because.empty() && now - load.stop_requested > kStopGrace) {
                StopChild(load.child, true);
            }
            if (interrupts_seen != 0 && now - interrupted_at > kStopGrace) {
                StopChild(load.child, true);
            }
        }
        bool all_recorded = true;
        for (Load& load : loads) {
            if (!load.recorded && !load.child.running) {
                Conclude(load, interrupts_seen != 0);
                load.console = ConsoleText(load.console);
                // The image the loader read: its size as the loader said it, and the file as it
                // is now (it may have been replaced since it was hashed).
                std::string now_image;
                if (!image_changed && (!ReadImage(options.image, now_image) ||
                                       Sha256Hex(now_image) != record_image.sha256)) {
                    image_changed = true;
                    std::fflush(stdout);
                    std::fprintf(stderr,
                                 "korvane-station: %s has changed since the run began: the "
                                 "records from here on are marked image_changed\n",
                                 options.image.c_str());
                    display.Forget();
                }
                load.image_changed =
                    image_changed || (load.file_size && *load.file_size != record_image.size);
                if (load.image_changed && !image_changed) {
                    std::fflush(stdout);
                    std::fprintf(stderr,
                                 "korvane-station: %s: the loader read %lld bytes, not the %lld "
                                 "hashed: its record is marked image_changed\n",
                                 load.device.c_str(), static_cast<long long>(*load.file_size),
                                 static_cast<long long>(record_image.size));
                    display.Forget();
                }
                const std::string line = RecordLine(load, record_image);
                if (!AppendRecordLine(record, line, error)) {
                    write_failed = true;
                    SayLostRecord(load, options.record, error, line);
                    display.Forget();
                }
                load.recorded = true;
                if (!live) {
                    std::printf("%s: %s\n", load.device.c_str(), Outcome(load).c_str());
                    std::fflush(stdout);
                }
            }
            all_recorded &= load.recorded;
        }
        if (live && (all_recorded || Clock::now() - last_redraw >= kRedrawInterval)) {
            display.Draw(loads);
            last_redraw = Clock::now();
        }
        if (all_recorded) {
            break;
        }
    }

    PrintTable(loads);
    std::fflush(stdout);
    StationDone();
    if (write_failed) {
        std::fprintf(stderr, "korvane-station: could not write every record to %s\n",
                     options.record.c_str());
    }
    bool all_succeeded = std::all_of(loads.begin(), loads.end(), [](const Load& load) {
        return load.result && *load.result == 0 && !load.image_changed;
    });
    return all_succeeded && !write_failed ? 0 : 1;
}

}  // namespace station

int main(int argc, char** argv) {
    return station::Run(argc, argv);
}
