#include <cstdio>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "app/entry.h"

int main(int argc, char** argv) {
    // The data line is rewritten after every block and flushed at most every 50 ms: a buffer of
    // 64 KiB holds what comes in between, so that the console is written only at those flushes
    // (unbuffered, or with the default buffer of 1 KiB on a terminal, it would be written every
    // block or every two dozen blocks). Every line that must be seen at once (each stage, the
    // prompt) is flushed where it is printed.
    static char buffer[1 << 16];
#if defined(_WIN32)
    // Windows' C library has no line buffering (_IOLBF buffers fully there) and leaves a console
    // unbuffered: buffered fully, on a console as in a pipe.
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
#else
    // The buffering mode stays the one the C library would choose.
    std::setvbuf(stdout, buffer, isatty(STDOUT_FILENO) != 0 ? _IOLBF : _IOFBF, sizeof buffer);
#endif
    return LoaderMain(argc, argv);
}
