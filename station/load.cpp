#include "station/load.h"

#include <cstdio>

#include "station/console_lines.h"

namespace station {

namespace {

// One console line of the loader (line ends taken off).
void TakeLine(Load& load, std::string_view text, std::vector<std::string>* stages) {
    ConsoleLine line = ParseConsoleLine(text);
    std::string before = load.stage;
    switch (line.kind) {
        case LineKind::kBanner:
            load.loader_version = line.text;
            break;
        case LineKind::kFileSize:
            load.file_size = line.count;
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
            load.wants_enter = true;
            break;
        case LineKind::kDevicePrompt:
            load.asked_for_device = true;
            break;
        case LineKind::kNote:
        case LineKind::kUnknown:
            break;
    }
    if (stages != nullptr && load.stage != before) {
        stages->push_back(load.stage);
    }
}

}  // namespace

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

void TakeOutput(Load& load, std::string_view data, std::vector<std::string>* stages) {
    AppendAsShown(load.console, load.after_cr, data);
    load.pending.append(data);
    std::string_view rest = load.pending;
    std::size_t end = 0;
    while ((end = rest.find_first_of("\r\n")) != std::string_view::npos) {
        if (end != 0) {
            TakeLine(load, rest.substr(0, end), stages);
        }
        rest.remove_prefix(end + 1);
    }
    load.pending.erase(0, load.pending.size() - rest.size());
    // The data line is rewritten in place: its latest count has no line end yet. Nor has the
    // library's device prompt, which waits for an answer.
    LineKind kind = ParseConsoleLine(load.pending).kind;
    if (kind == LineKind::kData || kind == LineKind::kDevicePrompt) {
        TakeLine(load, load.pending, stages);
    }
}

bool Finished(const Load& load) {
    return load.result || load.port_error || !load.meaning.empty();
}

void Conclude(Load& load, bool interrupted) {
    load.ended = Clock::now();
    load.ended_wall = WallClock::now();
    if (!load.pending.empty()) {
        // The last line without its line end (the loader died, or ended without one).
        std::string last = std::move(load.pending);
        load.pending.clear();
        if (ParseConsoleLine(last).kind != LineKind::kData) {
            TakeLine(load, last, nullptr);
        }
    }
    if (!load.stopped_because.empty() && !load.result && !load.port_error) {
        load.meaning = load.stopped_because;
    } else if (!Finished(load)) {
        load.meaning = interrupted || load.child.stopped_by_signal
                           ? "interrupted"
                           : "the loader ended without a result";
    }
}

std::string Outcome(const Load& load) {
    if (load.result) {
        return *load.result == 0 ? "SUCCESS" : "Error " + std::to_string(*load.result);
    }
    if (load.port_error) {
        return "Error " + HexCode(*load.port_error);
    }
    if (!load.stopped_because.empty()) {
        return "stopped";
    }
    return load.meaning == "interrupted" ? "interrupted" : "failed";
}

std::string HexCode(std::int64_t code) {
    char text[24];
    std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(code));
    return text;
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

}  // namespace station
