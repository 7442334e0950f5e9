// timer-floor: what 250 waits of 1 ms cost on this machine with nothing else, the floor under an
// address claim (250 empty 1-ms reads). Each wait is a ppoll on an idle socket with a 1-ms
// time-out and a timer slack of 1 ns, as the CAN library's reads.
//
// usage: timer-floor [ROUNDS]   prints one line per round: "claim_ms T"
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        std::perror("timer-floor: socketpair");
        return 1;
    }
    for (int round = 0; round < rounds; ++round) {
        const auto began = std::chrono::steady_clock::now();
        for (int read = 0; read < 250; ++read) {
            pollfd entry{pair[0], POLLIN, 0};
            const timespec one_ms{0, 1000000};
            ::ppoll(&entry, 1, &one_ms, nullptr);
        }
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - began;
        std::printf("claim_ms %.3f\n", took.count());
    }
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}
