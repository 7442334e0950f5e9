// The simulator's wait on Linux: one ppoll over the bus socket and standard input, with SIGINT
// and SIGTERM blocked everywhere but inside it, so that a stop request can never slip in between
// the check and the wait.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "sensor_sim/events.h"

namespace sensor_sim {
namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void OnStopSignal(int) {
    g_stop = 1;
}

}  // namespace

struct Events::State {
    sigset_t wait_mask;
};

Events::~Events() {
    delete state_;
}

bool Events::Start(std::string*) {
    state_ = new State;
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &state_->wait_mask);
    sigdelset(&state_->wait_mask, SIGINT);
    sigdelset(&state_->wait_mask, SIGTERM);
    return true;
}

bool Events::stop_requested() const {
    return g_stop != 0;
}

bool Events::Wait(base::net::NativeSocket bus, bool watch_input, std::optional<Micros> timeout,
                  Woken* woken) {
    *woken = Woken{};
    pollfd fds[2] = {{bus, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    timespec limit{};
    if (timeout) {
        limit.tv_sec = static_cast<time_t>(timeout->count() / 1'000'000);
        limit.tv_nsec = static_cast<long>(timeout->count() % 1'000'000) * 1000;
    }
    if (ppoll(fds, watch_input ? 2 : 1, timeout ? &limit : nullptr, &state_->wait_mask) < 0) {
        return errno == EINTR;
    }
    woken->bus = fds[0].revents != 0;
    woken->input = watch_input && fds[1].revents != 0;
    return true;
}

long Events::ReadInput(char* buffer, std::size_t size) {
    const ssize_t n = read(STDIN_FILENO, buffer, size);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? -1 : 0;
    }
    return static_cast<long>(n);
}

}  // namespace sensor_sim
