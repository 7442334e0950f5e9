#include "base/deadline_timer.h"

#if defined(__linux__)
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#endif

namespace base {

#if defined(__linux__)

DeadlineTimer::~DeadlineTimer() {
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
    if (handle_ != net::kInvalidSocket) {
        ::close(handle_);
    }
}

bool DeadlineTimer::valid() {
    if (!tried_) {
        tried_ = true;
        handle_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        epoll_ = handle_ == net::kInvalidSocket ? -1 : ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = handle_;
        if (epoll_ >= 0 && ::epoll_ctl(epoll_, EPOLL_CTL_ADD, handle_, &event) != 0) {
            ::close(epoll_);
            epoll_ = -1;
        }
    }
    return handle_ != net::kInvalidSocket;
}

int DeadlineTimer::Wait(net::NativeSocket socket, bool write) {
    if (epoll_ < 0) {
        return -1;
    }
    epoll_event event{};
    event.events = write ? EPOLLIN | EPOLLOUT : EPOLLIN;
    event.data.fd = socket;
    if (socket != watched_) {
        Forget();
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, socket, &event) != 0) {
            return -1;
        }
        watched_ = socket;
        watched_write_ = write;
    } else if (write != watched_write_) {
        if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, socket, &event) != 0) {
            Forget();
            return -1;
        }
        watched_write_ = write;
    }
    epoll_event events[2];
    const int ready = ::epoll_wait(epoll_, events, 2, -1);
    if (ready < 0) {
        return errno == EINTR ? 0 : 1;  // a signal: the caller looks at the clock and waits on
    }
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.fd == socket) {
            return 1;
        }
    }
    return 0;
}

void DeadlineTimer::Forget() {
    if (watched_ != net::kInvalidSocket) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, watched_, nullptr);  // fails once it is closed: fine
        watched_ = net::kInvalidSocket;
    }
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

int DeadlineTimer::Wait(net::NativeSocket, bool) {
    return -1;
}

void DeadlineTimer::Forget() {}

#endif

bool WaitUntil(DeadlineTimer& timer, net::NativeSocket socket, std::int64_t deadline_us, bool write,
               std::vector<net::PollEntry>& entries) {
    for (;;) {
        const std::int64_t now = SteadyNowUs();
        if (now >= deadline_us) {
            return false;
        }
        const bool timed = timer.valid() && timer.ExpireBy(deadline_us, now);
        if (timed) {
            const int ready = timer.Wait(socket, write);
            if (ready > 0) {
                return true;
            }
            if (ready == 0) {
                continue;  // the timer fired: at this deadline, or at an earlier wait's expiry
            }
        }
        entries.assign(1, net::PollEntry{socket, true, write});
        std::int64_t timeout = deadline_us - now;
        if (timed) {
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

}  // namespace base
