// A timer that a wait loop polls beside its sockets (net::Poll with no time-out), for waits that
// must end at a deadline but usually end much earlier, when data arrives.
//
// Why: a poll with a time-out arms and cancels a kernel timer on every call, and on a virtual
// machine programming the timer hardware is expensive, several microseconds per wait. This timer
// is armed lazily: a wait keeps the pending expiry when it falls in the second half of the wait
// (not after its deadline), so a stream of short waits (one per frame) re-arms it about twice per
// time-out, not once per wait. When it fires before the waiter's own deadline, the waiter
// re-arms it for that deadline and waits on.
//
// On Linux the timer also keeps an epoll set that holds it and the socket last waited on, so that
// a wait registers nothing anew: one epoll_wait, where a poll would add and remove both handles
// on every call. Elsewhere valid() is false and callers wait with a time-out instead.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "base/socket.h"

namespace base {

// The steady clock in microseconds: the time base of the deadlines below.
inline std::int64_t SteadyNowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class DeadlineTimer {
  public:
    DeadlineTimer() = default;
    ~DeadlineTimer();
    DeadlineTimer(const DeadlineTimer&) = delete;
    DeadlineTimer& operator=(const DeadlineTimer&) = delete;

    // Creates the timer on first use; false where there is none.
    bool valid();
    // The handle to poll for reading: readable once the pending expiry has passed.
    net::NativeSocket handle() const { return handle_; }

    // Makes sure the timer fires no later than deadline_us (steady clock, microseconds), given
    // the time now_us: keeps a pending expiry between the middle of the wait and its deadline,
    // else arms it at the deadline. Arming clears the readable state. False when the timer could
    // not be armed (the caller must then wait with a time-out).
    bool ExpireBy(std::int64_t deadline_us, std::int64_t now_us);

    // Waits (without a time-out of its own) until `socket` is readable (or, with `write`,
    // writable) or the timer fires: 1 when the socket is ready or the wait failed, 0 when the
    // timer fired, -1 when the epoll set cannot hold the socket (the caller polls instead).
    int Wait(net::NativeSocket socket, bool write);
    // Forgets the socket waited on last: its owner calls this before closing it, so that a new
    // socket that gets the same number is registered afresh.
    void Forget();

  private:
    net::NativeSocket handle_ = net::kInvalidSocket;
    int epoll_ = -1;
    net::NativeSocket watched_ = net::kInvalidSocket;
    bool watched_write_ = false;
    bool tried_ = false;
    bool armed_ = false;
    std::int64_t expiry_us_ = 0;
};

// Waits until `socket` is readable (or, with `write`, writable) or deadline_us (steady clock)
// passes, with `timer` polled beside it, or a poll with a time-out where there is no timer.
// True when the socket is ready or the poll failed (the failure shows at the next read or
// write), false at the deadline. `entries` is the caller's, so that waiting does not allocate.
bool WaitUntil(DeadlineTimer& timer, net::NativeSocket socket, std::int64_t deadline_us, bool write,
               std::vector<net::PollEntry>& entries);

}  // namespace base
