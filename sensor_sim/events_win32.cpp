// The simulator's wait on Windows, where standard input (a console or a pipe) cannot be waited on
// beside a socket: a thread reads it into a buffer and wakes the loop through a loopback socket
// (base::net::Waker). Ctrl-C and the console's close button request a stop; the loop looks at
// that request at least every 20 ms.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "sensor_sim/events.h"

namespace sensor_sim {
namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    g_stop = true;
    if (event == CTRL_CLOSE_EVENT) {
        // Windows ends the process as soon as this returns: the loop gets the time to write the
        // flash and exit first.
        Sleep(2000);
    }
    return TRUE;  // handled: the loop ends and writes the flash
}

constexpr Micros kStopCheck{20'000};

}  // namespace

struct Events::State {
    base::net::Waker waker;
    std::mutex mutex;
    std::string input;  // read, not yet taken
    bool input_ended = false;
    std::vector<base::net::PollEntry> entries;
};

Events::~Events() {
    // The reader thread may sit in ReadFile for ever: it is detached and ends with the process,
    // so the state it uses is left to the process's end too.
}

bool Events::Start(std::string* error) {
    state_ = new State;
    if (!state_->waker.Open(error)) {
        return false;
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    State* state = state_;
    std::thread([state] {
        const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        char buffer[4096];
        for (;;) {
            DWORD n = 0;
            const bool ok = in != nullptr && in != INVALID_HANDLE_VALUE &&
                            ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0;
            {
                const std::lock_guard<std::mutex> lock(state->mutex);
                if (ok) {
                    state->input.append(buffer, n);
                } else {
                    state->input_ended = true;  // end of the pipe, or no console at all
                }
            }
            state->waker.Notify();
            if (!ok) {
                return;
            }
        }
    }).detach();
    return true;
}

bool Events::stop_requested() const {
    return g_stop;
}

bool Events::Wait(base::net::NativeSocket bus, bool watch_input, std::optional<Micros> timeout,
                  Woken* woken) {
    *woken = Woken{};
    auto& entries = state_->entries;
    entries.assign(1, base::net::PollEntry{bus, true, false});
    if (watch_input) {
        entries.push_back(base::net::PollEntry{state_->waker.handle(), true, false});
    }
    const Micros limit = timeout ? std::min(*timeout, kStopCheck) : kStopCheck;
    if (base::net::Poll(entries, limit.count()) < 0) {
        return false;
    }
    woken->bus = entries[0].readable;
    if (watch_input) {
        if (entries[1].readable) {
            state_->waker.Drain();
        }
        // Also what an earlier ReadInput left for want of room.
        const std::lock_guard<std::mutex> lock(state_->mutex);
        woken->input = !state_->input.empty() || state_->input_ended;
    }
    return true;
}

long Events::ReadInput(char* buffer, std::size_t size) {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->input.empty()) {
        return state_->input_ended ? 0 : -1;
    }
    const std::size_t n = std::min(size, state_->input.size());
    std::copy_n(state_->input.data(), n, buffer);
    state_->input.erase(0, n);
    return static_cast<long>(n);
}

}  // namespace sensor_sim
