#include "virtual_bus/trace.h"

#include <cerrno>
#include <cstring>

#include "wire/socketcand_protocol.h"

namespace vbus {

std::string FormatTraceLine(std::uint64_t seconds, std::uint32_t microseconds, std::string_view bus,
                            const Frame& frame) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "(%llu.%06u) ", static_cast<unsigned long long>(seconds),
                  static_cast<unsigned>(microseconds % 1000000u));
    std::string line = stamp;
    line += bus;
    line += ' ';
    line += wire::socketcand::FormatIdentifier(frame);
    line += '#';
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < frame.length && i < frame.data.size(); ++i) {
        line.push_back(kHex[frame.data[i] >> 4]);
        line.push_back(kHex[frame.data[i] & 0x0F]);
    }
    line.push_back('\n');
    return line;
}

bool TraceWriter::Open(const std::string& path, std::string* error) {
    file_.reset(std::fopen(path.c_str(), "w"));
    if (!file_) {
        *error = "cannot write trace " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void TraceWriter::Write(std::uint64_t seconds, std::uint32_t microseconds, std::string_view bus,
                        const Frame& frame) {
    if (!file_) {
        return;
    }
    const std::string line = FormatTraceLine(seconds, microseconds, bus, frame);
    std::fwrite(line.data(), 1, line.size(), file_.get());
}

void TraceWriter::Flush() {
    if (file_) {
        std::fflush(file_.get());
    }
}

}  // namespace vbus
