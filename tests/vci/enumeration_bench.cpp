// Times device enumeration (2000 open, 2002 until the end, 2001 close), as the loader runs it
// up to four times at start. Not a test: prints the mean over the repetitions.
//   vci_enumeration_bench [REPETITIONS]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "can/can_library.h"

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::atoi(argv[1]) : 100;
    int devices = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < repetitions; ++i) {
        VciHandle list = nullptr;
        if (VciDeviceListOpen(&list) != kVciOk) {
            return 1;
        }
        VciDeviceInfo info{};
        devices = 0;
        while (VciDeviceListNext(list, &info) == kVciOk) {
            ++devices;
        }
        VciDeviceListClose(list);
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d devices; enumeration takes %.1f us on average over %d runs\n", devices,
                us / repetitions, repetitions);
    return 0;
}
