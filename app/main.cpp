#include <cstdio>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "app/entry.h"

int main(int argc, char** argv) {
#if !defined(_WIN32)
    // The data line is rewritten after every block and flushed at most every 50 ms: a buffer of
    // 64 KiB holds what comes in between, so that the console is written only at those flushes
    // (the default buffer, 1 KiB on a terminal, would cost a write every two dozen blocks). The
    // buffering mode stays the one the C library would choose.
    static char buffer[1 << 16];
    std::setvbuf(stdout, buffer, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, sizeof buffer);
#endif
    return LoaderMain(argc, argv);
}
