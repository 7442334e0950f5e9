// Preloaded into the tool (LD_PRELOAD) to make a firmware file shrink at the worst moment: right
// after the tool has taken its size and before it reads it, as when another program truncates
// the file meanwhile. Only the file named by KORVANE_SHRINK_FILE is touched; it is cut to half
// its size the first time its size is taken.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The tool opens the file for reading only, so it is cut by name.
bool IsTheFile(std::FILE* stream, char (&resolved)[PATH_MAX]) {
    const char* wanted = std::getenv("KORVANE_SHRINK_FILE");
    if (wanted == nullptr) {
        return false;
    }
    char link[PATH_MAX];
    const std::string fd_path = "/proc/self/fd/" + std::to_string(fileno(stream));
    const ssize_t length = readlink(fd_path.c_str(), link, sizeof link - 1);
    if (length <= 0 || realpath(wanted, resolved) == nullptr) {
        return false;
    }
    link[length] = '\0';
    return std::strcmp(link, resolved) == 0;
}

off_t ShrinkAfter(std::FILE* stream, off_t position) {
    static bool done = false;
    char resolved[PATH_MAX];
    if (!done && position > 0 && IsTheFile(stream, resolved)) {
        done = true;
        if (truncate(resolved, position / 2) != 0) {
            std::perror("shrink_after_sizing: truncate");
        }
    }
    return position;
}

}  // namespace

extern "C" off_t ftello(std::FILE* stream) {
    using Real = off_t (*)(std::FILE*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ftello"));
    return ShrinkAfter(stream, real(stream));
}

extern "C" off_t ftello64(std::FILE* stream) {
    using Real = off_t (*)(std::FILE*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ftello64"));
    return ShrinkAfter(stream, real(stream));
}
