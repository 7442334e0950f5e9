#include "virtual_bus/deadline_timer.h"

#if defined(__linux__)
#include <sys/timerfd.h>
#include <unistd.h>

#include <ctime>
#endif

namespace vbus {

#if defined(__linux__)

DeadlineTimer::~DeadlineTimer() {
    if (handle_ != net::kInvalidSocket) {
        ::close(handle_);
    }
}

bool DeadlineTimer::valid() {
    if (!tried_) {
        tried_ = true;
        handle_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    }
    return handle_ != net::kInvalidSocket;
}

bool DeadlineTimer::ExpireBy(std::int64_t deadline_us, std::int64_t now_us) {
    // Kept while it fires in time and not too early: an expiry in the first half of this wait
    // would wake the waiter for nothing more often than re-arming costs.
    if (armed_ && expiry_us_ <= deadline_us && 2 * (expiry_us_ - now_us) >= deadline_us - now_us) {
        return true;
    }
    // steady_clock is CLOCK_MONOTONIC on Linux: the deadline is an absolute time on it.
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(deadline_us / 1000000);
    when.it_value.tv_nsec = static_cast<long>(deadline_us % 1000000) * 1000;
    if (when.it_value.tv_sec == 0 && when.it_value.tv_nsec == 0) {
        when.it_value.tv_nsec = 1;  // zero would disarm it
    }
    armed_ = ::timerfd_settime(handle_, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
    expiry_us_ = deadline_us;
    return armed_;
}

#else

DeadlineTimer::~DeadlineTimer() = default;

bool DeadlineTimer::valid() {
    return false;
}

bool DeadlineTimer::ExpireBy(std::int64_t, std::int64_t) {
    return false;
}

#endif

bool WaitUntil(DeadlineTimer& timer, net::NativeSocket socket, std::int64_t deadline_us, bool write,
               std::vector<net::PollEntry>& entries) {
    for (;;) {
        const std::int64_t now = SteadyNowUs();
        if (now >= deadline_us) {
            return false;
        }
        entries.assign(1, net::PollEntry{socket, true, write});
        std::int64_t timeout = deadline_us - now;
        if (timer.valid() && timer.ExpireBy(deadline_us, now)) {
            entries.push_back(net::PollEntry{timer.handle(), true, false});
            timeout = -1;
        }
        const int ready = net::Poll(entries, timeout);
        if (ready < 0 || entries[0].readable || entries[0].writable) {
            return true;
        }
        if (timeout >= 0) {
            return false;
        }
        // The timer fired (or a signal came): at this deadline, or at an earlier wait's expiry.
    }
}

}  // namespace vbus
