// What both stand-ins of the makers' libraries share: their environment, and a fault that
// happens once per working folder (a file there remembers it for the scenario's next load).
#pragma once

#include <fcntl.h>
#if defined(_WIN32)
#include <io.h>
#define STANDIN_API __declspec(dllexport) __stdcall
#else
#include <unistd.h>
#define STANDIN_API
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace standin {

inline std::string Env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value != nullptr ? value : "";
}

// True when `fault` is "KIND:ID" for this frame's identifier and it has not happened here yet.
inline bool FaultOnce(const std::string& fault, const char* kind, std::uint32_t id) {
    const std::string prefix = std::string(kind) + ":";
    if (fault.rfind(prefix, 0) != 0 ||
        std::strtoul(fault.c_str() + prefix.size(), nullptr, 16) != id) {
        return false;
    }
    const int marker = ::open("standin-fault-happened", O_CREAT | O_EXCL | O_WRONLY, 0644);
    if (marker < 0) {
        return false;
    }
    ::close(marker);
    std::fprintf(stderr, "stand-in: %s at a frame to %08X\n", kind, static_cast<unsigned>(id));
    return true;
}

}  // namespace standin
