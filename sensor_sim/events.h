// What the simulator's one loop waits for besides its timer: the bus socket, standard input (the
// operator's commands) and a request to stop (Ctrl-C, SIGTERM). One file per system behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "base/socket.h"

namespace sensor_sim {

using Micros = std::chrono::microseconds;

struct Woken {
    bool bus = false;    // the bus socket is readable (or failed: the next read says so)
    bool input = false;  // standard input has bytes or has ended
};

class Events {
  public:
    Events() = default;
    ~Events();
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;

    // From here on a stop request only ends a Wait and sets stop_requested(). Call it before any
    // other thread starts, so that the signals reach this one. False with the reason.
    bool Start(std::string* error);
    bool stop_requested() const;

    // Waits until the bus socket is readable, standard input has something (while watch_input),
    // a stop is requested or `timeout` passes (none: no limit). False when the wait failed.
    bool Wait(base::net::NativeSocket bus, bool watch_input, std::optional<Micros> timeout,
              Woken* woken);

    // What standard input holds now: the number of bytes read, 0 at its end, -1 when nothing is
    // there yet.
    long ReadInput(char* buffer, std::size_t size);

  private:
    struct State;
    State* state_ = nullptr;
};

}  // namespace sensor_sim
